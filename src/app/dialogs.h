#pragma once
// Message boxes: the one way the core tells the user something or asks a question.

#include <string>

namespace relicta::app {

// What the messages on Administrator rights add on Linux, where "Administrator" means root.
inline constexpr const char* kLinuxAdministratorLine =
    "\r\nOn Linux: run it as root, with sudo, or as a member of the disk group.";

enum class MbButtons { Ok, OkCancel, YesNoCancel, AbortRetryIgnore };
enum class MbIcon { None, Warning, Error, Information, Question };
enum class MbOwner { None, MainWindow };
enum class MbResult { Ok, Cancel, Yes, No, Abort, Retry, Ignore };

struct MessageBoxRequest {
    std::string text;
    std::string caption;
    MbButtons buttons = MbButtons::Ok;
    MbIcon icon = MbIcon::None;
    MbOwner owner = MbOwner::None;
    bool foreground = true;
    bool taskModal = false;
};

class Dialogs {
  public:
    virtual ~Dialogs() = default;
    virtual MbResult Show(const MessageBoxRequest& request) = 0;
};

// The front end's dialogs; a console implementation until one is installed.
Dialogs& CurrentDialogs();
// nullptr restores the default; returns the dialogs installed before (nullptr: the default).
Dialogs* SetDialogs(Dialogs* dialogs);

MbResult MessageBox(const std::string& text, const std::string& caption,
                    MbButtons buttons = MbButtons::Ok, MbIcon icon = MbIcon::None,
                    MbOwner owner = MbOwner::None);

// Installs dialogs for the life of a scope.
class ScopedDialogs {
  public:
    explicit ScopedDialogs(Dialogs& dialogs) { SetDialogs(&dialogs); }
    ~ScopedDialogs() { SetDialogs(nullptr); }
    ScopedDialogs(const ScopedDialogs&) = delete;
    ScopedDialogs& operator=(const ScopedDialogs&) = delete;
};

}  // namespace relicta::app
