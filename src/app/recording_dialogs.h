#pragma once
// Dialogs for tests: every message is kept, answers come from a script.

#include <deque>
#include <vector>

#include "app/console_dialogs.h"
#include "app/dialogs.h"

namespace relicta::app {

class RecordingDialogs : public Dialogs {
  public:
    MbResult Show(const MessageBoxRequest& request) override {
        shown.push_back(request);
        if (!answers.empty()) {
            const MbResult answer = answers.front();
            answers.pop_front();
            return answer;
        }
        return UnattendedAnswer(request.buttons, CheckPolicy::Ignore);
    }

    std::vector<std::string> Texts() const {
        std::vector<std::string> texts;
        for (const MessageBoxRequest& r : shown) {
            texts.push_back(r.text);
        }
        return texts;
    }
    std::vector<std::string> Captions() const {
        std::vector<std::string> captions;
        for (const MessageBoxRequest& r : shown) {
            captions.push_back(r.caption);
        }
        return captions;
    }

    std::vector<MessageBoxRequest> shown;
    std::deque<MbResult> answers;
};

}  // namespace relicta::app
