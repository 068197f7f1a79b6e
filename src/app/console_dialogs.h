#pragma once
// Message boxes on a console: "caption: text" on stderr; questions are asked on a
// terminal and otherwise answered by policy.

#include <cstdio>

#include "app/dialogs.h"

namespace relicta::app {

// How a failed consistency check (Abort/Retry/Ignore) is answered.
enum class CheckPolicy { Ask, Abort, Ignore };

class ConsoleDialogs : public Dialogs {
  public:
    ConsoleDialogs(CheckPolicy policy, std::FILE* in, std::FILE* out, bool interactive)
        : policy_(policy), in_(in), out_(out), interactive_(interactive) {}

    // Asks when stdin and stderr are terminals.
    static ConsoleDialogs ForTerminal(CheckPolicy policy);

    MbResult Show(const MessageBoxRequest& request) override;
    void SetPolicy(CheckPolicy policy) { policy_ = policy; }
    // Every question but a failed check answered with its affirmative button, unasked.
    void SetAnswerYes(bool answerYes) { answerYes_ = answerYes; }

  private:
    MbResult Ask(const MessageBoxRequest& request);
    MbResult Unattended(const MessageBoxRequest& request) const;

    CheckPolicy policy_;
    std::FILE* in_;
    std::FILE* out_;
    bool interactive_;
    bool answerYes_ = false;
};

// The default answer of a question nobody can be asked: never one that repeats the
// question, so an unattended run cannot loop.
MbResult UnattendedAnswer(MbButtons buttons, CheckPolicy policy);

}  // namespace relicta::app
