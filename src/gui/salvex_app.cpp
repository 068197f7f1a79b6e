#include "gui/salvex_app.h"

#include <sys/stat.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <cstring>
#include <optional>

#include "app/drive_choices.h"
#include "gui/device_access.h"
#include "gui/drive_dialog.h"
#include "gui/splash.h"
#include "platform/drive_table.h"

namespace relicta::gui {
namespace {

constexpr int kExitBadArguments = 2;
constexpr const char* kVolumeOption = "--volume";
constexpr const char* kMapfileOption = "--mapfile";

bool IsExistingSource(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

CSalvexApp::CSalvexApp(QStringList arguments) : arguments_(std::move(arguments)) {}

CSalvexApp::~CSalvexApp() = default;

// A parameter that is not a flag names the drive (the last one counts); flags are ignored
// except --volume, which attaches a source as the drive table does for the command line, and
// --mapfile, the ddrescue map of the --volume before it or else of the image named as the drive.
void CSalvexApp::TakeParameters() {
    const auto valueOf = [this](const char* option, qsizetype& i) -> std::optional<std::string> {
        const QString& argument = arguments_[i];
        if (argument == option && i + 1 < arguments_.size()) {
            return arguments_[++i].toStdString();
        }
        if (argument.startsWith(QString(option) + "=")) {
            return argument.mid(static_cast<qsizetype>(std::strlen(option)) + 1).toStdString();
        }
        return std::nullopt;
    };
    for (qsizetype i = 0; i < arguments_.size(); ++i) {
        const QString& argument = arguments_[i];
        if (std::optional<std::string> volume = valueOf(kVolumeOption, i)) {
            volumes_.push_back(std::move(*volume));
            volumeMapfiles_.emplace_back();
        } else if (std::optional<std::string> mapfile = valueOf(kMapfileOption, i)) {
            (volumes_.empty() ? commandLineMapfile_ : volumeMapfiles_.back()) = std::move(*mapfile);
        } else if (!argument.startsWith('-')) {
            commandLineDrive_ = argument.toStdString();
        }
    }
}

// A drive argument by its length: one character, a letter and a colon, or a letter, a colon
// and a backslash (the first character is not tested).
bool CSalvexApp::DriveArgumentAccepted() const {
    const std::string& d = commandLineDrive_;
    switch (d.size()) {
        case 0:
        case 1:
            return true;
        case 2:
            return d[1] == ':';
        case 3:
            return d[1] == ':' && d[2] == '\\';
        default:
            return false;
    }
}

// Attaches the --volume sources, and an image or device given as the argument; without
// either, the machine's block devices.
bool CSalvexApp::AttachSources() {
    const bool pathArgument = !DriveArgumentAccepted() && IsExistingSource(commandLineDrive_);
    std::string error = platform::AttachVolumes(volumes_, volumeMapfiles_, pathArgument);
    if (!commandLineMapfile_.empty() && !pathArgument) {
        error = "--mapfile " + commandLineMapfile_ +
                " maps no image: give it after the --volume it maps, or with an image path";
    }
    if (error.empty() && pathArgument) {
        const platform::AttachResult attached =
            platform::ResolveDriveArgument(commandLineDrive_, commandLineMapfile_);
        error = attached.error;
        // A partitioned image gives several drives: the dialog lets the user choose.
        commandLineDrive_ = attached.letters.size() == 1
                                ? std::string(1, attached.letters.front()) + ":\\"
                                : std::string();
    }
    if (!error.empty()) {
        app::MessageBox(error, "Error");
        return false;
    }
    return true;
}

void CSalvexApp::Wait(int milliseconds) {
    if (milliseconds <= 0) {
        return;
    }
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

bool CSalvexApp::StartUp() {
    TakeParameters();
    if (!AttachSources()) {
        exitStatus_ = kExitBadArguments;
        return false;
    }
    if (!DriveArgumentAccepted()) {
        app::MessageBox("Command line argument must be a drive letter", "Error");
        exitStatus_ = kExitBadArguments;
        return false;
    }
    frame_ = std::make_unique<CMainFrame>(doc_);
    dialogs_.SetMainWindow(frame_.get());
    frame_->SetNewScanHandler([this] {
        doc_.settings.scanDrive.clear();
        if (ChooseScanSettings()) {
            StartScan();
        }
    });
    frame_->show();
    if (splashEnabled_) {
        ShowSplashScreen(frame_.get());
    }
    frame_->repaint();

    doc_.settings.scanDrive = commandLineDrive_;
    if (commandLineDrive_.empty()) {
        Wait(startDelayMs_);
        if (!ChooseScanSettings()) {
            return true;
        }
    }
    StartScan();
    return true;
}

bool CSalvexApp::ChooseScanSettings() {
    doc_.settings.scanDrive = commandLineDrive_;
    doc_.deepScan = false;
    if (!doc_.settings.scanDrive.empty()) {
        return true;
    }
    CDriveDialog dialog;
    const int result = dialog.RunModal();
    doc_.settings.filePattern = dialog.PatternText();
    doc_.settings.skipTempFiles = dialog.SkipTempFiles();
    doc_.deepScan = dialog.DeepScan();
    if (result == app::kAllHardDrives) {
        return true;
    }
    if (result < 'A' || result > 'Z') {
        return false;
    }
    doc_.settings.scanDrive = std::string(1, static_cast<char>(result)) + ":\\";
    return true;
}

void CSalvexApp::StartScan() {
    const std::string& drive = doc_.settings.scanDrive;
    const std::vector<char> letters =
        drive.empty() ? platform::Drives().Letters() : std::vector<char>{drive[0]};
    if (!opener_) {
        opener_ = std::make_unique<UdisksOpener>();
    }
    bool restart = false;
    if (!EnsureDriveAccess(letters, *opener_, arguments_, restart) && restart) {
        // The program starts again as root; this one ends once its event loop runs.
        frame_->close();
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        return;
    }
    scan::CompileScanPattern(doc_.settings);
    frame_->RunScan(doc_.settings, doc_.deepScan);
}

}  // namespace relicta::gui
