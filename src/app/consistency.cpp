#include "app/consistency.h"

#include "app/dialogs.h"
#include "app/process_exit.h"

namespace relicta::app {
namespace {
int ignoredFailures = 0;
}

std::string ConsistencyMessage(std::string_view module, int line, std::string_view text) {
    std::string message = "Internal Program consistency check failed.\n";
    message += "In ";
    message += module;
    message += " at ";
    message += std::to_string(line);
    message += ": ";
    message += text;
    message += "\n";
    message += "Abort the program, or Ignore and continue?";
    return message;
}

int ReportConsistencyFailure(std::string_view module, int line, std::string_view text) {
    MessageBoxRequest request;
    request.text = ConsistencyMessage(module, line, text);
    request.caption = "Application Internal Error";
    request.buttons = MbButtons::AbortRetryIgnore;
    request.icon = MbIcon::Warning;
    request.taskModal = true;
    const MbResult answer = CurrentDialogs().Show(request);
    // Retry re-evaluates nothing; anything but Retry or Ignore counts as Abort.
    return answer == MbResult::Retry || answer == MbResult::Ignore ? 0 : 1;
}

bool CheckConsistency(bool holds, const char* module, int line, const char* text) {
    if (holds) {
        return true;
    }
    if (ReportConsistencyFailure(module, line, text) == 1) {
        ExitProcess(1);
    }
    ++ignoredFailures;
    return false;
}

int IgnoredConsistencyFailures() {
    return ignoredFailures;
}
void ResetConsistencyFailures() {
    ignoredFailures = 0;
}

}  // namespace relicta::app
