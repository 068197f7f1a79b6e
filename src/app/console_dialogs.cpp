#include "app/console_dialogs.h"

#include <unistd.h>

#include <cctype>
#include <optional>
#include <string>

namespace relicta::app {
namespace {

std::string ForConsole(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c != '\r') {
            out += c;
        }
    }
    return out;
}

const char* Prompt(MbButtons buttons) {
    switch (buttons) {
        case MbButtons::OkCancel:
            return "[O]K or [C]ancel? ";
        case MbButtons::YesNoCancel:
            return "[Y]es, [N]o or [C]ancel? ";
        case MbButtons::AbortRetryIgnore:
            return "[A]bort, [R]etry or [I]gnore? ";
        case MbButtons::Ok:
            break;
    }
    return "";
}

std::optional<MbResult> Parse(MbButtons buttons, char answer) {
    switch (std::tolower(static_cast<unsigned char>(answer))) {
        case 'o':
            if (buttons == MbButtons::OkCancel)
                return MbResult::Ok;
            break;
        case 'c':
            if (buttons != MbButtons::AbortRetryIgnore)
                return MbResult::Cancel;
            break;
        case 'y':
            if (buttons == MbButtons::YesNoCancel)
                return MbResult::Yes;
            break;
        case 'n':
            if (buttons == MbButtons::YesNoCancel)
                return MbResult::No;
            break;
        case 'a':
            if (buttons == MbButtons::AbortRetryIgnore)
                return MbResult::Abort;
            break;
        case 'r':
            if (buttons == MbButtons::AbortRetryIgnore)
                return MbResult::Retry;
            break;
        case 'i':
            if (buttons == MbButtons::AbortRetryIgnore)
                return MbResult::Ignore;
            break;
        default:
            break;
    }
    return std::nullopt;
}

}  // namespace

ConsoleDialogs ConsoleDialogs::ForTerminal(CheckPolicy policy) {
    return ConsoleDialogs(policy, stdin, stderr, ::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO));
}

MbResult UnattendedAnswer(MbButtons buttons, CheckPolicy policy) {
    switch (buttons) {
        case MbButtons::Ok:
            return MbResult::Ok;
        case MbButtons::OkCancel:
        case MbButtons::YesNoCancel:
            return MbResult::Cancel;
        case MbButtons::AbortRetryIgnore:
            return policy == CheckPolicy::Abort ? MbResult::Abort : MbResult::Ignore;
    }
    return MbResult::Cancel;
}

MbResult ConsoleDialogs::Show(const MessageBoxRequest& request) {
    std::fprintf(out_, "%s: %s\n", request.caption.c_str(), ForConsole(request.text).c_str());
    if (request.buttons == MbButtons::Ok) {
        return MbResult::Ok;
    }
    if (answerYes_ && request.buttons != MbButtons::AbortRetryIgnore) {
        return request.buttons == MbButtons::YesNoCancel ? MbResult::Yes : MbResult::Ok;
    }
    const bool ask = interactive_ && (request.buttons != MbButtons::AbortRetryIgnore ||
                                      policy_ == CheckPolicy::Ask);
    return ask ? Ask(request) : Unattended(request);
}

MbResult ConsoleDialogs::Ask(const MessageBoxRequest& request) {
    for (;;) {
        std::fputs(Prompt(request.buttons), out_);
        std::fflush(out_);
        char line[64];
        if (std::fgets(line, sizeof line, in_) == nullptr) {
            // No answer will come: Abort for a failed check, Cancel for anything else.
            return request.buttons == MbButtons::AbortRetryIgnore ? MbResult::Abort
                                                                  : MbResult::Cancel;
        }
        if (std::optional<MbResult> answer = Parse(request.buttons, line[0])) {
            return *answer;
        }
    }
}

MbResult ConsoleDialogs::Unattended(const MessageBoxRequest& request) const {
    return UnattendedAnswer(request.buttons,
                            policy_ == CheckPolicy::Ask ? CheckPolicy::Ignore : policy_);
}

}  // namespace relicta::app
