// A device this user may not open, opened by udisks2: against a stand-in of the service on a
// private bus.

#include <fcntl.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <fstream>
#include <span>
#include <vector>

#include "app/recording_dialogs.h"
#include "gui/device_access.h"
#include "platform/drive_table.h"
#include "platform/file_io.h"
#include "platform/platform.h"

using namespace relicta;

Q_DECLARE_METATYPE(relicta::app::MbResult)
Q_DECLARE_METATYPE(relicta::gui::DeviceAccess)

namespace {

constexpr const char* kServiceConnection = "standin-udisks";
constexpr const char* kClientConnection = "standin-client";
constexpr const char* kBlockPath = "/org/freedesktop/UDisks2/block_devices/standin";
constexpr std::size_t kImageBytes = 64 * 1024;

// ResolveDevice knows one device.
class StandInManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.UDisks2.Manager")

  public:
    QString device;

  public slots:
    QList<QDBusObjectPath> ResolveDevice(const QVariantMap& devspec, const QVariantMap&) {
        if (devspec.value("path").toString() != device) {
            return {};
        }
        return {QDBusObjectPath(kBlockPath)};
    }
};

// OpenForBackup opens `image` read-only, or refuses as polkit does when the user cancels.
class StandInBlock : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.UDisks2.Block")

  public:
    QString image;
    bool refuse = false;

  public slots:
    QDBusUnixFileDescriptor OpenForBackup(const QVariantMap&) {
        if (refuse) {
            sendErrorReply("org.freedesktop.UDisks2.Error.NotAuthorizedDismissed",
                           "Not authorized to perform operation");
            return {};
        }
        const platform::FileDescriptor fd(::open(image.toLocal8Bit().constData(), O_RDONLY));
        return QDBusUnixFileDescriptor(fd.get());
    }
};

QString WriteImage(const QTemporaryDir& dir, const char* name, char fill) {
    const QString path = dir.filePath(name);
    std::ofstream(path.toStdString(), std::ios::binary) << std::string(kImageBytes, fill);
    return path;
}

}  // namespace

class UdisksTest : public QObject {
    Q_OBJECT

  private:
    QProcess daemon_;
    QTemporaryDir dir_;
    StandInManager manager_;
    StandInBlock block_;
    std::unique_ptr<gui::UdisksOpener> opener_;
    QString device_;  // what the drive is attached from
    QString image_;   // what udisks2 opens for it, with other bytes

  private slots:
    void initTestCase() {
        daemon_.start("dbus-daemon", {"--session", "--print-address", "--nofork"});
        if (!daemon_.waitForStarted() || !daemon_.waitForReadyRead(5000)) {
            QSKIP("no dbus-daemon can run here: the udisks2 path is not tried");
        }
        const QString address = QString::fromUtf8(daemon_.readLine()).trimmed();
        QDBusConnection service = QDBusConnection::connectToBus(address, kServiceConnection);
        QVERIFY(service.registerService("org.freedesktop.UDisks2"));
        QVERIFY(service.registerObject("/org/freedesktop/UDisks2/Manager", &manager_,
                                       QDBusConnection::ExportAllSlots));
        QVERIFY(service.registerObject(kBlockPath, &block_, QDBusConnection::ExportAllSlots));
        opener_ = std::make_unique<gui::UdisksOpener>(
            QDBusConnection::connectToBus(address, kClientConnection));
        device_ = WriteImage(dir_, "device.img", 'd');
        image_ = WriteImage(dir_, "opened.img", 'o');
        manager_.device = device_;
        block_.image = image_;
    }

    void cleanupTestCase() {
        opener_.reset();
        QDBusConnection::disconnectFromBus(kClientConnection);
        QDBusConnection::disconnectFromBus(kServiceConnection);
        daemon_.kill();
        daemon_.waitForFinished();
    }

    void init() { block_.refuse = false; }
    void cleanup() { platform::Drives().Clear(); }

    void opensTheDeviceReadOnly() {
        QString error;
        const auto fd = opener_->Open(device_, error);
        QVERIFY2(fd != nullptr, qPrintable(error));
        QCOMPARE(::fcntl(fd->get(), F_GETFL) & O_ACCMODE, O_RDONLY);
        std::string head(16, '\0');
        QCOMPARE(::pread(fd->get(), head.data(), head.size(), 0), 16);
        QCOMPARE(head, std::string(16, 'o'));

        QVERIFY(opener_->Open("/dev/unknown", error) == nullptr);
        QVERIFY(error.contains("/dev/unknown"));
    }

    // Once opened, the drive is read through udisks2's descriptor, never by its path again.
    void aDriveOnTheDeviceReadsThroughIt() {
        QCOMPARE(platform::AttachVolumes({"Q=" + device_.toStdString()}, true), std::string());
        app::RecordingDialogs dialogs;
        const app::ScopedDialogs scoped(dialogs);
        QCOMPARE(gui::GainDeviceAccess(device_.toStdString(), *opener_, {}),
                 gui::DeviceAccess::Opened);
        QVERIFY(dialogs.shown.empty());

        platform::Platform& os = platform::CurrentPlatform();
        const platform::Handle handle = os.OpenVolume('Q');
        QVERIFY(platform::IsOpenHandle(handle));
        std::vector<uint8_t> bytes(16);
        std::size_t read = 0;
        QVERIFY(os.ReadAt(handle, kImageBytes - bytes.size(), bytes, read));
        os.CloseHandle(handle);
        QCOMPARE(read, bytes.size());
        QCOMPARE(std::string(bytes.begin(), bytes.end()), std::string(16, 'o'));
    }

    void aRefusalOffersToStartAgainAsRoot_data() {
        QTest::addColumn<app::MbResult>("answer");
        QTest::addColumn<gui::DeviceAccess>("access");
        QTest::newRow("taken") << app::MbResult::Yes << gui::DeviceAccess::Restarting;
        QTest::newRow("declined") << app::MbResult::No << gui::DeviceAccess::Denied;
    }
    void aRefusalOffersToStartAgainAsRoot() {
        QFETCH(app::MbResult, answer);
        QFETCH(gui::DeviceAccess, access);
        block_.refuse = true;
        app::RecordingDialogs dialogs;
        dialogs.answers = {answer};
        const app::ScopedDialogs scoped(dialogs);
        QStringList launched;
        const auto launch = [&launched](const QStringList& arguments) {
            launched = arguments;
            return true;
        };

        QCOMPARE(
            gui::GainDeviceAccess(device_.toStdString(), *opener_, {"--volume", device_}, launch),
            access);
        QCOMPARE(dialogs.shown.size(), 1u);
        QCOMPARE(dialogs.shown[0].buttons, app::MbButtons::YesNoCancel);
        QVERIFY(QString::fromStdString(dialogs.shown[0].text).contains("Not authorized"));
        if (access == gui::DeviceAccess::Restarting) {
            QVERIFY(launched.contains(QCoreApplication::applicationFilePath()));
            QCOMPARE(launched.mid(launched.size() - 2), QStringList({"--volume", device_}));
        } else {
            QVERIFY(launched.isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(UdisksTest)
#include "udisks_test.moc"
