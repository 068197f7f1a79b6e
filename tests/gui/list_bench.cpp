// How the desktop list keeps up with a million rows: relicta-gui-bench [ROWS [IMAGE]]. Lists
// ROWS made-up files (default 1,000,000) in the main window, then times what a user does to
// them: scrolling a page and across the list, typing a search a letter at a time, choosing a
// kind, a folder, a sort, each until the window has painted. With IMAGE, scans it and times
// the preview of each file listed, from its selection until shown. bench/run gui prints its
// lines.

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTreeWidgetItemIterator>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/dialogs.h"
#include "app/recording_dialogs.h"
#include "gui/filter_bar.h"
#include "gui/folder_pane.h"
#include "gui/main_frame.h"
#include "gui/preview_pane.h"
#include "gui/salvex_app.h"
#include "scan/found_files.h"
#include "view/folder_tree.h"
#include "volume/filetime.h"

namespace {

using relicta::gui::CMainFrame;

constexpr const char* kWords[] = {"holiday", "report", "invoice", "IMG",  "DSC",  "letter",
                                  "budget",  "notes",  "scan",    "song", "clip", "backup"};
constexpr const char* kExtensions[] = {".jpg", ".docx", ".pdf", ".JPG", ".mp3",
                                       ".mp4", ".xlsx", ".txt", ".png", ".zip"};
constexpr const char* kConditions[] = {"Excellent", "Good", "Good", "Poor", "Hopeless"};
constexpr int kFolders = 2000;

// A deterministic spread of names, folders three deep, sizes and dates.
void ListFiles(CMainFrame& frame, int rows) {
    uint64_t seed = 88172645463325252ULL;
    const auto next = [&seed] {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        return seed;
    };
    const uint64_t start = relicta::volume::FileTimeFromCalendar({2015, 1, 1, 0, 0, 0});
    for (int i = 0; i < rows; ++i) {
        const int folder = static_cast<int>(next() % kFolders);
        std::string dir = "C:\\Users\\user" + std::to_string(folder % 7) + "\\" +
                          kWords[folder % std::size(kWords)] + std::to_string(folder % 50) + "\\" +
                          std::to_string(folder);
        std::string name = std::string(kWords[next() % std::size(kWords)]) + "_" +
                           std::to_string(next() % 100000) +
                           kExtensions[next() % std::size(kExtensions)];
        relicta::scan::AddFoundFile(frame.View().Model(), std::move(name), std::move(dir),
                                    static_cast<int64_t>(next() % (64 << 20)), 0x20,
                                    start + next() % (uint64_t{10} * 365 * 86400 * 10000000),
                                    kConditions[next() % 5], static_cast<uint32_t>(i + 16));
    }
}

double Painted(CMainFrame& frame, QElapsedTimer& clock) {
    frame.repaint();
    QApplication::processEvents();
    return static_cast<double>(clock.nsecsElapsed()) / 1e6;
}

void Report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%-40s median %7.1f ms  max %7.1f ms  (%zu)\n", what, ms[ms.size() / 2], ms.back(),
                ms.size());
}

// Selects each file of IMAGE's scan and waits for its preview.
void TimePreviews(const char* image) {
    relicta::gui::CSalvexApp salvex({image});
    salvex.SetSplashEnabled(false);
    salvex.SetStartDelay(0);
    if (!salvex.StartUp()) {
        std::printf("preview: %s cannot be scanned\n", image);
        return;
    }
    CMainFrame& frame = *salvex.Frame();
    frame.resize(1400, 800);
    frame.show();
    relicta::gui::FileListModel& model = frame.View().Model();
    for (int row = 0; row < model.RowCount(); ++row) {
        const relicta::scan::FoundFile& file = relicta::scan::foundFiles[model.ItemData(row)];
        QSignalSpy ready(&frame.Preview(), &relicta::gui::PreviewPane::previewReady);
        QElapsedTimer clock;
        clock.start();
        frame.View().selectRow(row);
        if (ready.count() == 0) {
            ready.wait(10000);
        }
        const double shown = Painted(frame, clock);
        std::printf("%-40s %7.1f ms (%s, %.1f MB)\n", "preview shown", shown,
                    file.name.Str().c_str(), static_cast<double>(file.size) / 1e6);
    }
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const int rows = argc > 1 ? std::atoi(argv[1]) : 1'000'000;
    relicta::app::RecordingDialogs dialogs;
    const relicta::app::ScopedDialogs installed(dialogs);
    relicta::gui::CSalvexDoc doc;
    CMainFrame frame(doc);
    frame.resize(1400, 800);
    frame.show();
    QApplication::processEvents();

    QElapsedTimer clock;
    clock.start();
    ListFiles(frame, rows);
    const double made = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    clock.restart();
    frame.View().Model().Flush();
    std::printf("%-40s %7.1f ms (%d rows made in %.0f ms)\n", "list shown", Painted(frame, clock),
                rows, made);

    // A page at a time from the top, then jumps across the whole list.
    QScrollBar& bar = *frame.View().verticalScrollBar();
    std::vector<double> pages;
    for (int i = 0; i < 100; ++i) {
        clock.restart();
        bar.setValue(bar.value() + bar.pageStep());
        pages.push_back(Painted(frame, clock));
    }
    Report("scrolled a page", pages);
    constexpr int kJumps = 20;
    std::vector<double> jumps;
    for (int i = 1; i <= kJumps; ++i) {
        clock.restart();
        bar.setValue(bar.maximum() / kJumps * i);
        jumps.push_back(Painted(frame, clock));
    }
    Report("scrolled across the list", jumps);
    bar.setValue(0);

    std::vector<double> keys;
    const QString typed = "holiday_12";
    for (int i = 1; i <= typed.size(); ++i) {
        clock.restart();
        frame.Filters().SearchField()->setText(typed.left(i));
        keys.push_back(Painted(frame, clock));
    }
    Report("search, a keystroke", keys);
    std::printf("%-40s %d of %d rows\n", "  shown after \"holiday_12\"",
                frame.View().Model().ShownCount(), frame.View().Model().ListedCount());
    std::vector<double> erase;
    for (int i = typed.size() - 1; i >= 0; --i) {
        clock.restart();
        frame.Filters().SearchField()->setText(typed.left(i));
        erase.push_back(Painted(frame, clock));
    }
    Report("search, a backspace", erase);

    std::vector<double> kinds;
    auto* kind = frame.Filters().findChild<QComboBox*>("kindFilter");
    for (int k = 1; k < kind->count(); ++k) {
        clock.restart();
        kind->setCurrentIndex(k);
        kinds.push_back(Painted(frame, clock));
    }
    kind->setCurrentIndex(0);
    Report("kind chosen", kinds);

    clock.restart();
    frame.View().OnHeaderClick(0);
    std::printf("%-40s %7.1f ms\n", "sorted by name", Painted(frame, clock));
    clock.restart();
    frame.Folders().Show(relicta::view::BuildFolderTree(frame.View().Model().ListedItems()));
    std::printf("%-40s %7.1f ms\n", "folder tree made", Painted(frame, clock));
    std::vector<double> folders;
    for (QTreeWidgetItemIterator it(&frame.Folders()); *it != nullptr && folders.size() < 8; ++it) {
        clock.restart();
        frame.Folders().setCurrentItem(*it);
        folders.push_back(Painted(frame, clock));
    }
    Report("folder chosen", folders);
    if (argc > 2) {
        TimePreviews(argv[2]);
    }
    return 0;
}
