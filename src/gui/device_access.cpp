#include "gui/device_access.h"

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QProcess>
#include <QProcessEnvironment>
#include <set>

#include "app/dialogs.h"
#include "platform/drive_table.h"
#include "platform/file_io.h"

namespace relicta::gui {
namespace {

constexpr const char* kService = "org.freedesktop.UDisks2";
constexpr const char* kManagerPath = "/org/freedesktop/UDisks2/Manager";
constexpr const char* kManagerInterface = "org.freedesktop.UDisks2.Manager";
constexpr const char* kBlockInterface = "org.freedesktop.UDisks2.Block";
// Long enough for the user to type a password into polkit's dialog.
constexpr int kCallTimeoutMs = 5 * 60 * 1000;
// What a program started by pkexec needs to reach a Wayland display (pkexec keeps only X's).
constexpr const char* kWaylandVariables[] = {"WAYLAND_DISPLAY", "XDG_RUNTIME_DIR",
                                             "QT_QPA_PLATFORM"};

QDBusMessage Call(QDBusConnection& bus, const QString& path, const char* interface,
                  const char* method, const QVariantList& arguments) {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, path, interface, method);
    call.setArguments(arguments);
    return bus.call(call, QDBus::BlockWithGui, kCallTimeoutMs);
}

bool Readable(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno != EACCES && errno != EPERM;  // other failures are told where they happen
    }
    ::close(fd);
    return true;
}

}  // namespace

UdisksOpener::UdisksOpener(QDBusConnection bus) : bus_(std::move(bus)) {}

std::shared_ptr<const platform::FileDescriptor> UdisksOpener::Open(const QString& device,
                                                                   QString& error) {
    if (!bus_.isConnected()) {
        error = "the system bus cannot be reached";
        return nullptr;
    }
    const QVariantMap devspec{{"path", device}};
    const QDBusMessage resolved =
        Call(bus_, kManagerPath, kManagerInterface, "ResolveDevice", {devspec, QVariantMap()});
    if (resolved.type() != QDBusMessage::ReplyMessage || resolved.arguments().isEmpty()) {
        error =
            resolved.errorMessage().isEmpty() ? "udisks2 does not answer" : resolved.errorMessage();
        return nullptr;
    }
    const auto objects = qdbus_cast<QList<QDBusObjectPath>>(resolved.arguments().first());
    if (objects.isEmpty()) {
        error = "udisks2 knows no device " + device;
        return nullptr;
    }
    const QDBusMessage opened =
        Call(bus_, objects.first().path(), kBlockInterface, "OpenForBackup", {QVariantMap()});
    if (opened.type() != QDBusMessage::ReplyMessage || opened.arguments().isEmpty()) {
        error = opened.errorMessage().isEmpty() ? "udisks2 did not open it" : opened.errorMessage();
        return nullptr;
    }
    const auto descriptor = qdbus_cast<QDBusUnixFileDescriptor>(opened.arguments().first());
    // The reply's descriptor is closed with it: keep a copy, read-only as udisks2 opened it.
    const int fd =
        descriptor.isValid() ? ::fcntl(descriptor.fileDescriptor(), F_DUPFD_CLOEXEC, 0) : -1;
    if (fd < 0) {
        error = "udisks2 gave no descriptor";
        return nullptr;
    }
    if ((::fcntl(fd, F_GETFL) & O_ACCMODE) != O_RDONLY) {
        ::close(fd);
        error = "udisks2 gave a descriptor that may write";
        return nullptr;
    }
    return std::make_shared<const platform::FileDescriptor>(fd);
}

QStringList PkexecArguments(const QString& program, const QStringList& arguments) {
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (environment.contains("DISPLAY")) {
        return QStringList{program} << arguments;
    }
    QStringList command{"env"};
    for (const char* name : kWaylandVariables) {
        if (environment.contains(name)) {
            command << QString("%1=%2").arg(name, environment.value(name));
        }
    }
    return command << program << arguments;
}

bool LaunchPkexec(const QStringList& arguments) {
    return QProcess::startDetached("pkexec", arguments);
}

DeviceAccess GainDeviceAccess(const std::string& path, UdisksOpener& opener,
                              const QStringList& arguments, const RestartLauncher& launch) {
    QString error;
    if (std::shared_ptr<const platform::FileDescriptor> device =
            opener.Open(QString::fromStdString(path), error)) {
        platform::Drives().UseOpenedDevice(path, std::move(device));
        return DeviceAccess::Opened;
    }
    const std::string question =
        path + " cannot be read by this user, and udisks2 could not open it (" +
        error.toStdString() +
        ").\r\n\r\nStart Relicta again as administrator (pkexec asks for the password)?";
    if (app::MessageBox(question, "Administrator rights", app::MbButtons::YesNoCancel,
                        app::MbIcon::Question) != app::MbResult::Yes) {
        return DeviceAccess::Denied;
    }
    if (!launch(PkexecArguments(QCoreApplication::applicationFilePath(), arguments))) {
        app::MessageBox("pkexec could not be started.", "Error");
        return DeviceAccess::Denied;
    }
    return DeviceAccess::Restarting;
}

bool EnsureDriveAccess(const std::vector<char>& letters, UdisksOpener& opener,
                       const QStringList& arguments, bool& restart, const RestartLauncher& launch) {
    restart = false;
    std::set<std::string> tried;
    for (const char letter : letters) {
        const platform::DriveSource* source = platform::Drives().Find(letter);
        if (source == nullptr || !source->blockDevice || source->device ||
            !tried.insert(source->path).second || Readable(source->path)) {
            continue;
        }
        // Opening it changes the table `source` lives in: keep the path.
        const std::string path = source->path;
        const DeviceAccess access = GainDeviceAccess(path, opener, arguments, launch);
        if (access != DeviceAccess::Opened) {
            restart = access == DeviceAccess::Restarting;
            return false;
        }
    }
    return true;
}

}  // namespace relicta::gui
