#include "app/system_error.h"

#include "platform/last_error.h"

namespace relicta::app {

int ShowSystemError() {
    return ShowSystemError(std::string());
}

int ShowSystemError(const std::string& subject) {
    const int code = platform::GetLastError();
    if (code == 0) {
        return 0;
    }
    std::string text = platform::SystemErrorText(code);
    if (text.empty()) {
        text = "Unknown System Error";
    }
    if (!subject.empty()) {
        text = subject + ": " + text;
    }
    return static_cast<int>(MessageBox(text, "System Error")) + 1;
}

}  // namespace relicta::app
