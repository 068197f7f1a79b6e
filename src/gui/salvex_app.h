#pragma once
// The start of the desktop program: its command line, the one document, the main window
// and the first scan.

#include <QStringList>
#include <memory>
#include <string>

#include "gui/device_access.h"
#include "gui/main_frame.h"
#include "gui/qt_dialogs.h"
#include "gui/salvex_doc.h"

class QSplashScreen;

namespace relicta::gui {

class CSalvexApp {
  public:
    // `arguments` without the program name: [--volume [L=]PATH]... [DRIVE|PATH]; other
    // flags are ignored.
    explicit CSalvexApp(QStringList arguments);
    ~CSalvexApp();
    CSalvexApp(const CSalvexApp&) = delete;
    CSalvexApp& operator=(const CSalvexApp&) = delete;

    // False ends the program before its event loop, with ExitStatus().
    bool StartUp();
    int ExitStatus() const { return exitStatus_; }

    // Fills the scan settings from the command line or the drive dialog; false: no scan.
    bool ChooseScanSettings();
    // Compiles the pattern and runs the scan in the main window.
    void StartScan();

    CMainFrame* Frame() const { return frame_.get(); }
    CSalvexDoc& Doc() { return doc_; }
    // The message boxes of this program, for the caller to install.
    QtDialogs& Dialogs() { return dialogs_; }
    const std::string& CommandLineDrive() const { return commandLineDrive_; }
    // The pause before the drive dialog at start, while the splash screen shows.
    void SetStartDelay(int milliseconds) { startDelayMs_ = milliseconds; }
    void SetSplashEnabled(bool enabled) { splashEnabled_ = enabled; }
    // Where devices this user may not read are opened (udisks2 on the system bus by default).
    void SetDeviceOpener(std::unique_ptr<UdisksOpener> opener) { opener_ = std::move(opener); }

  private:
    void TakeParameters();
    bool AttachSources();
    bool DriveArgumentAccepted() const;
    void Wait(int milliseconds);

    QStringList arguments_;
    std::vector<std::string> volumes_;
    // The --mapfile of each of `volumes_` ("" for none), and of an image named as the drive.
    std::vector<std::string> volumeMapfiles_;
    std::string commandLineMapfile_;
    std::string commandLineDrive_;
    CSalvexDoc doc_;
    QtDialogs dialogs_;
    std::unique_ptr<CMainFrame> frame_;
    std::unique_ptr<UdisksOpener> opener_;
    int startDelayMs_ = 1800;
    bool splashEnabled_ = true;
    int exitStatus_ = 0;
};

}  // namespace relicta::gui
