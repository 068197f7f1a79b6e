// Screenshots of the desktop program for README, taken on a real X display (Xvfb):
// relicta-gui-screenshot OUTDIR IMAGE. The progress window is taken during the scan of a
// large generated volume, the main window once the list of IMAGE is filled.

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <cstdio>

#include "app/dialogs.h"
#include "gui/preview_pane.h"
#include "gui/progress_window.h"
#include "gui/salvex_app.h"
#include "support/large_fat.h"

namespace {

void Settle() {
    for (int i = 0; i < 20; ++i) {
        QApplication::processEvents();
        QThread::msleep(20);
    }
}

bool ShootProgressWindow(const QString& file) {
    QTemporaryDir dir;
    const std::string image = dir.path().toStdString() + "/large.img";
    if (!relicta::test::MakeLargeFat32(image)) {
        return false;
    }
    relicta::gui::CSalvexApp salvex({QString::fromStdString(image)});
    salvex.SetSplashEnabled(false);
    bool taken = false;
    QElapsedTimer shown;  // a moment into the scan, so rows are listed behind the window
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        auto* progress = salvex.Frame() != nullptr
                             ? salvex.Frame()->findChild<relicta::gui::CProgressWindow*>()
                             : nullptr;
        if (progress != nullptr && !shown.isValid()) {
            shown.start();
        }
        if (progress != nullptr && shown.elapsed() > 400) {
            watch.stop();
            Settle();
            // The main window with the progress window over it, not the whole screen.
            const QRect area = salvex.Frame()->frameGeometry();
            taken = QGuiApplication::primaryScreen()
                        ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                        .save(file);
            progress->CancelButton()->click();
        }
    });
    watch.start(5);
    return salvex.StartUp() && taken;
}

// The list sorted by folder, the folder tree, and the preview of the first picture.
bool ShootMainWindow(const QString& file, const char* image) {
    relicta::gui::CSalvexApp salvex({image});
    salvex.SetSplashEnabled(false);
    if (!salvex.StartUp()) {
        return false;
    }
    relicta::gui::CMainFrame& frame = *salvex.Frame();
    frame.resize(1280, 720);
    frame.View().OnHeaderClick(1);
    frame.View().OnHeaderClick(1);
    relicta::gui::FileListModel& model = frame.View().Model();
    int row = 0;
    while (row + 1 < model.RowCount() &&
           !QString::fromStdString(model.CellText(row, 0)).endsWith(".jpg")) {
        ++row;
    }
    QSignalSpy ready(&frame.Preview(), &relicta::gui::PreviewPane::previewReady);
    frame.View().selectRow(row);
    if (ready.count() == 0) {
        ready.wait(5000);
    }
    Settle();
    return frame.grab().save(file);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: relicta-gui-screenshot OUTDIR IMAGE\n");
        return 2;
    }
    const QString out = argv[1];
    relicta::gui::QtDialogs dialogs;
    const relicta::app::ScopedDialogs installed(dialogs);
    bool ok = true;
    for (const auto& [name, taken] :
         {std::pair{"/progress.png", ShootProgressWindow(out + "/progress.png")},
          std::pair{"/main-window.png", ShootMainWindow(out + "/main-window.png", argv[2])}}) {
        std::printf("%s%s%s\n", argv[1], name, taken ? "" : " NOT written");
        ok = ok && taken;
    }
    return ok ? 0 : 1;
}
