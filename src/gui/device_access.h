#pragma once
// Reading a block device this user may not open, as Linux desktop tools do: udisks2 opens it
// read-only for us over the system bus (polkit asks for the password); where udisks2 is not
// there or refuses, the program offers to start again as root through pkexec.

#include <QDBusConnection>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace relicta::platform {
class FileDescriptor;
}

namespace relicta::gui {

class UdisksOpener {
  public:
    // udisks2 on `bus`: the system bus but in tests.
    explicit UdisksOpener(QDBusConnection bus = QDBusConnection::systemBus());

    // A read-only descriptor of block device `device`; nullptr, with `error` saying why, when
    // udisks2 is not there, knows no such device or is refused.
    std::shared_ptr<const platform::FileDescriptor> Open(const QString& device, QString& error);

  private:
    QDBusConnection bus_;
};

// Starts pkexec with `arguments`; false when it could not be started.
using RestartLauncher = std::function<bool(const QStringList& arguments)>;
bool LaunchPkexec(const QStringList& arguments);

enum class DeviceAccess { Opened, Denied, Restarting };

// Opens block device `path`, which this user may not open, through `opener`, and reads every
// drive on it through that from now on. When udisks2 cannot, offers to start the program
// again as root with `arguments` (Restarting: the user took the offer and `launch` started it).
DeviceAccess GainDeviceAccess(const std::string& path, UdisksOpener& opener,
                              const QStringList& arguments,
                              const RestartLauncher& launch = LaunchPkexec);

// Makes drives `letters` readable: GainDeviceAccess for each block device on them this user
// cannot read. False at the first that stays unreadable (`restart` is set when the program
// starts again as root).
bool EnsureDriveAccess(const std::vector<char>& letters, UdisksOpener& opener,
                       const QStringList& arguments, bool& restart,
                       const RestartLauncher& launch = LaunchPkexec);

// pkexec's command line that starts `program` again as root with `arguments`. pkexec keeps
// DISPLAY and XAUTHORITY for the program (its action allows a GUI); a Wayland-only session's
// variables are passed on through env.
QStringList PkexecArguments(const QString& program, const QStringList& arguments);

}  // namespace relicta::gui
