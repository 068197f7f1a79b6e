#include "app/dialogs.h"

#include <utility>

#include "app/console_dialogs.h"

namespace relicta::app {
namespace {
Dialogs* current = nullptr;
}

Dialogs& CurrentDialogs() {
    if (current == nullptr) {
        static ConsoleDialogs console = ConsoleDialogs::ForTerminal(CheckPolicy::Ask);
        return console;
    }
    return *current;
}

Dialogs* SetDialogs(Dialogs* dialogs) {
    return std::exchange(current, dialogs);
}

MbResult MessageBox(const std::string& text, const std::string& caption, MbButtons buttons,
                    MbIcon icon, MbOwner owner) {
    MessageBoxRequest request;
    request.text = text;
    request.caption = caption;
    request.buttons = buttons;
    request.icon = icon;
    request.owner = owner;
    return CurrentDialogs().Show(request);
}

}  // namespace relicta::app
