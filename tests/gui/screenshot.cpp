// Screenshots of the desktop program for README, taken on a real X display (Xvfb):
// relicta-gui-screenshot OUTDIR IMAGE. The progress window is taken during the scan, the
// main window once the list is filled.

#include <QApplication>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <cstdio>

#include "app/dialogs.h"
#include "gui/salvex_app.h"

namespace {

void Settle() {
    for (int i = 0; i < 20; ++i) {
        QApplication::processEvents();
        QThread::msleep(20);
    }
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: relicta-gui-screenshot OUTDIR IMAGE\n");
        return 2;
    }
    const QString out = argv[1];
    relicta::gui::CSalvexApp salvex({argv[2]});
    const relicta::app::ScopedDialogs dialogs(salvex.Dialogs());
    salvex.SetSplashEnabled(false);
    bool progressTaken = false;
    // The first event processing of the scan happens with its progress window up.
    QTimer::singleShot(0, [&] {
        Settle();
        progressTaken = QGuiApplication::primaryScreen()->grabWindow(0).save(out + "/progress.png");
    });
    if (!salvex.StartUp()) {
        return 1;
    }
    relicta::gui::CMainFrame& frame = *salvex.Frame();
    frame.View().OnHeaderClick(1);
    frame.View().OnHeaderClick(1);
    frame.View().selectRow(2);
    Settle();
    const bool mainTaken = frame.grab().save(out + "/main-window.png");
    std::printf("%s/main-window.png%s\n", argv[1], mainTaken ? "" : " NOT written");
    std::printf("%s/progress.png%s\n", argv[1], progressTaken ? "" : " NOT written");
    return mainTaken && progressTaken ? 0 : 1;
}
