// The desktop program driven as a user drives it, on the offscreen platform.

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "app/dialogs.h"
#include "app/recording_dialogs.h"
#include "app/scan_state.h"
#include "gui/drive_dialog.h"
#include "gui/filter_bar.h"
#include "gui/folder_pane.h"
#include "gui/preview_pane.h"
#include "gui/progress_window.h"
#include "gui/recover_prompts.h"
#include "gui/salvex_app.h"
#include "platform/drive_table.h"
#include "platform/last_error.h"
#include "platform/scripted_platform.h"
#include "scan/found_files.h"
#include "support/large_fat.h"
#include "support/paths.h"
#include "view/list_texts.h"
#include "view/saved_list.h"

using namespace relicta;

namespace {

// Answers the modal windows the code under test opens, in order, from a script; every
// message box seen is kept as "caption|text".
class ModalScript : public QObject {
  public:
    using Step = std::function<bool(QWidget*)>;  // true when it handled the window

    ModalScript() {
        connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
        timer_.start(10);
    }
    void Then(Step step) { steps_.push_back(std::move(step)); }
    // The next message box is recorded and answered with its first affirmative button.
    void AcceptBox() {
        Then([this](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            if (box == nullptr) {
                return false;
            }
            boxes.push_back(box->windowTitle() + "|" + box->text());
            for (auto button : {QMessageBox::Ok, QMessageBox::Yes}) {
                if (QAbstractButton* b = box->button(button)) {
                    b->click();
                    return true;
                }
            }
            box->accept();
            return true;
        });
    }
    bool Done() const { return steps_.empty(); }

    QStringList boxes;

  private:
    void Poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal != nullptr && !steps_.empty() && modal != lastHandled_ && steps_.front()(modal)) {
            lastHandled_ = modal;
            steps_.pop_front();
        }
        if (modal == nullptr) {
            lastHandled_ = nullptr;
        }
    }

    QTimer timer_;
    std::deque<Step> steps_;
    QWidget* lastHandled_ = nullptr;
};

QString Fixture(const char* name) {
    return QString::fromStdString(test::FixturePath(name));
}

std::unique_ptr<gui::CSalvexApp> StartOn(const QStringList& arguments) {
    auto salvex = std::make_unique<gui::CSalvexApp>(arguments);
    salvex->SetSplashEnabled(false);
    salvex->SetStartDelay(0);
    return salvex;
}

std::vector<uint32_t> ListedItems(gui::FileListModel& model) {
    std::vector<uint32_t> items;
    items.reserve(static_cast<std::size_t>(model.RowCount()));
    for (int row = 0; row < model.RowCount(); ++row) {
        items.push_back(model.ItemData(row));
    }
    return items;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

class GuiTest : public QObject {
    Q_OBJECT

  private:
    // Message boxes are recorded unless a test shows the program's own.
    app::RecordingDialogs dialogs_;

  private slots:  // NOLINT(readability-redundant-access-specifiers): QtTest needs slots
    void init() {
        platform::Drives().Clear();
        app::ResetScanState();
        dialogs_.shown.clear();
        app::SetDialogs(&dialogs_);
    }
    void cleanup() { app::SetDialogs(&dialogs_); }

    void commandLineRule_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("starts");
        QTest::addColumn<QString>("drive");
        QTest::newRow("letter") << QStringList{"D"} << true << "D";
        QTest::newRow("letter and colon") << QStringList{"D:"} << true << "D:";
        QTest::newRow("root") << QStringList{"D:\\"} << true << "D:\\";
        QTest::newRow("digit and colon") << QStringList{"1:"} << true << "1:";
        QTest::newRow("flag ignored") << QStringList{"-x", "D:"} << true << "D:";
        QTest::newRow("last counts") << QStringList{"C:", "D:"} << true << "D:";
        QTest::newRow("no colon") << QStringList{"DX"} << false << "";
        QTest::newRow("too long") << QStringList{"D:\\x"} << false << "";
    }
    void commandLineRule() {
        QFETCH(QStringList, arguments);
        QFETCH(bool, starts);
        QFETCH(QString, drive);
        // D is attached, so that no block device of this machine is looked at.
        auto salvex = StartOn(QStringList{"--volume", "D=" + Fixture("fat12.img")} + arguments);
        const bool started = salvex->StartUp();
        QCOMPARE(started, starts);
        QCOMPARE(salvex->Frame() != nullptr, starts);
        if (starts) {
            QCOMPARE(QString::fromStdString(salvex->Doc().settings.scanDrive), drive);
        } else {
            QCOMPARE(dialogs_.Texts().front(), "Command line argument must be a drive letter");
            QCOMPARE(dialogs_.Captions().front(), "Error");
        }
    }

    void sortsByEveryColumn_data() {
        QTest::addColumn<int>("column");
        for (int c = view::kColumnName; c <= view::kColumnNumber; ++c) {
            QTest::newRow(std::to_string(c).c_str()) << c;
        }
    }
    // The first click on a column gives the reverse of its base order, the second flips it;
    // the number column keeps the rows where they are.
    void sortsByEveryColumn() {
        QFETCH(int, column);
        auto salvex = StartOn({Fixture("ntfs4k.img")});
        QVERIFY(salvex->StartUp());
        gui::CSalvexView& view = salvex->Frame()->View();
        gui::FileListModel& model = view.Model();
        QVERIFY(model.RowCount() > 5);
        const std::vector<uint32_t> before = ListedItems(model);
        view.selectRow(2);
        const uint32_t selectedItem = model.ItemData(2);
        const auto key = [column](uint32_t item) {
            const scan::FoundFile& f = scan::foundFiles[item];
            switch (column) {
                case view::kColumnName:
                    return std::make_tuple(f.name.Str(), uint64_t{0});
                case view::kColumnDirectory:
                    return std::make_tuple(f.dir.Str(), uint64_t{0});
                case view::kColumnSize:
                    return std::make_tuple(std::string(), static_cast<uint64_t>(f.size));
                case view::kColumnModified:  // base order is newest first
                    return std::make_tuple(std::string(), ~f.modifiedTime);
                case view::kColumnCondition:
                    return std::make_tuple(std::string(f.condition), uint64_t{0});
                default:
                    return std::make_tuple(std::string(), uint64_t{0});
            }
        };
        QHeaderView* header = view.horizontalHeader();
        for (int click = 1; click <= 2; ++click) {
            QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                              QPoint(header->sectionViewportPosition(column) + 5, 5));
            const std::vector<uint32_t> items = ListedItems(model);
            if (column == view::kColumnNumber) {
                QCOMPARE(items, before);
            }
            for (std::size_t i = 1; i < items.size(); ++i) {
                const bool reversed = click == 1;
                QVERIFY(reversed ? !(key(items[i - 1]) < key(items[i]))
                                 : !(key(items[i]) < key(items[i - 1])));
            }
            QVERIFY(model.IsSelected(static_cast<int>(
                std::find(items.begin(), items.end(), selectedItem) - items.begin())));
        }
        // Another column starts again from its reversed order.
        view.OnHeaderClick((column + 1) % 6);
        QVERIFY(view.SortState().sortReversed);
    }

    void menuCommandsAndShortcuts_data() {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("keys");
        QTest::addColumn<bool>("enabled");
        QTest::newRow("recover") << "recover"
                                 << "&Salvex file(s)..."
                                 << "Ctrl+U" << true;
        QTest::newRow("save") << "saveList"
                              << "&Save File List..."
                              << "Ctrl+S" << true;
        QTest::newRow("new scan") << "newScan"
                                  << "&New Scan"
                                  << "Ctrl+N" << true;
        QTest::newRow("print") << "print"
                               << "&Print..."
                               << "Ctrl+P" << true;
        QTest::newRow("preview") << "printPreview"
                                 << "Print Pre&view"
                                 << "" << true;
        QTest::newRow("setup") << "printSetup"
                               << "P&rint Setup..."
                               << "" << true;
        QTest::newRow("exit") << "exit"
                              << "E&xit"
                              << "" << true;
        QTest::newRow("undo") << "undo"
                              << "&Undo"
                              << "Ctrl+Z, Alt+Backspace" << false;
        QTest::newRow("cut") << "cut"
                             << "Cu&t"
                             << "Ctrl+X, Shift+Del" << false;
        QTest::newRow("copy") << "copy"
                              << "&Copy"
                              << "Ctrl+C, Ctrl+Ins" << true;
        QTest::newRow("paste") << "paste"
                               << "&Paste"
                               << "Ctrl+V, Shift+Ins" << false;
        QTest::newRow("help") << "helpContents"
                              << "Contents"
                              << "F1" << true;
        QTest::newRow("about") << "about"
                               << "&About salvex..."
                               << "" << true;
    }
    void menuCommandsAndShortcuts() {
        QFETCH(QString, command);
        QFETCH(QString, text);
        QFETCH(QString, keys);
        QFETCH(bool, enabled);
        auto salvex = StartOn({Fixture("fat16.img")});
        QVERIFY(salvex->StartUp());
        const QAction* action = salvex->Frame()->Command(command.toUtf8().constData());
        QVERIFY(action != nullptr);
        QCOMPARE(action->text(), text);
        QStringList shortcuts;
        for (const QKeySequence& k : action->shortcuts()) {
            shortcuts << k.toString();
        }
        QCOMPARE(shortcuts.join(", "), keys);
        QCOMPARE(action->isEnabled(), enabled);
    }

    // Keys reach the commands from the list: Ctrl+C copies the list, not the current cell.
    void copyShortcutCopiesTheList() {
        auto salvex = StartOn({Fixture("fat16.img")});
        QVERIFY(salvex->StartUp());
        gui::CSalvexView& view = salvex->Frame()->View();
        salvex->Frame()->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(salvex->Frame()));
        view.setFocus();
        view.selectRow(1);
        QApplication::clipboard()->clear();
        QTest::keyClick(&view, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text().toStdString(), view::ClipboardText());
    }

    void driveDialogListsQualifyingDrives_data() {
        // letter, type (F fixed, R removable), file system ("?": none recognised)
        QTest::addColumn<QString>("drives");
        QTest::addColumn<QStringList>("entries");
        QTest::newRow("one NTFS") << "C F NTFS" << QStringList{"C:\\"};
        QTest::newRow("summary") << "A R -;C F NTFS;D F FAT32"
                                 << QStringList{"All hard drives (C:,D:)", "A:\\", "C:\\", "D:\\"};
        QTest::newRow("removable counts, not summed")
            << "C F NTFS;E R -" << QStringList{"All hard drives (C:)", "C:\\", "E:\\"};
        QTest::newRow("other file systems")
            << "C F NTFS;D F CDFS;E F RAW;F F FAT"
            << QStringList{"All hard drives (C:,F:)", "C:\\", "F:\\"};
        QTest::newRow("none") << "D F EXT4" << QStringList{};
        QTest::newRow("unknown, for the deep scan")
            << "C F NTFS;D F ?;E F FAT"
            << QStringList{"All hard drives (C:,E:)", "C:\\", "D:\\ (unknown: deep scan only)",
                           "E:\\"};
    }
    void driveDialogListsQualifyingDrives() {
        QFETCH(QString, drives);
        QFETCH(QStringList, entries);
        platform::ScriptedPlatform scripted;
        for (const QString& drive : drives.split(';')) {
            const QStringList f = drive.split(' ');
            platform::ScriptedDrive& d = scripted.Drive(f[0][0].toLatin1());
            d.type = f[1] == "F" ? platform::DriveType::Fixed : platform::DriveType::Removable;
            d.fileSystemName = f[2].toStdString();
            d.fileSystemError = f[2] == "?" ? platform::kErrorWrongDisk : 0;
        }
        platform::ScopedPlatform installed(scripted);
        gui::CDriveDialog dialog;
        QStringList listed;
        for (int i = 0; i < dialog.DriveList()->count(); ++i) {
            listed << dialog.DriveList()->itemText(i);
        }
        QCOMPARE(listed, entries);
        QCOMPARE(dialog.DriveList()->currentIndex(), entries.isEmpty() ? -1 : 0);
    }

    void driveDialogChecksThePattern() {
        platform::ScriptedPlatform scripted;
        scripted.Drive('C').type = platform::DriveType::Fixed;
        scripted.Drive('C').fileSystemName = "NTFS";
        platform::ScopedPlatform installed(scripted);
        gui::CDriveDialog dialog;
        auto* pattern = dialog.findChild<QLineEdit*>("pattern");
        QVERIFY(!pattern->isEnabled());
        dialog.findChildren<QRadioButton*>()[1]->click();
        QVERIFY(pattern->isEnabled());
        pattern->setText("(unbalanced");
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(dialogs_.Texts(),
                 std::vector<std::string>{
                     "File search pattern is invalid.  Re-enter, or select 'all files'"});
        pattern->setText("*.txt");
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.PatternText(), "*.txt");
        QVERIFY(dialog.SkipTempFiles());
        dialog.findChildren<QRadioButton*>()[0]->click();
        QCOMPARE(pattern->text(), "*");
    }

    // The deep scan is off unless ticked; a drive of no known file system is refused without it.
    void driveDialogAsksForTheDeepScan() {
        platform::ScriptedPlatform scripted;
        scripted.Drive('D').fileSystemError = platform::kErrorWrongDisk;
        platform::ScopedPlatform installed(scripted);
        gui::CDriveDialog dialog;
        auto* deep = dialog.findChild<QCheckBox*>("deepScan");
        QVERIFY(!deep->isChecked());
        QVERIFY(deep->toolTip().contains("whole drive"));
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
        QCOMPARE(dialogs_.Texts(), std::vector<std::string>{"This drive holds no FAT, exFAT or "
                                                            "NTFS file system: only a deep scan "
                                                            "can read it."});
        deep->setChecked(true);
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.DriveList()->currentData().toInt(), int('D'));
        QVERIFY(dialog.DeepScan());
    }

    // A volume whose boot sector is gone, scanned deeply from the dialog: it is read raw,
    // without the lenient open's messages; its checkpoint, in the state directory, goes when
    // the scan ends.
    void deepScansADriveOfNoKnownFileSystem() {
        QTemporaryDir dir;
        qputenv("XDG_STATE_HOME", dir.path().toUtf8());
        const std::string image = dir.path().toStdString() + "/noboot.img";
        std::filesystem::copy_file(test::FixturePath("fat16.img"), image);
        std::fstream(image, std::ios::in | std::ios::out | std::ios::binary)
            .write(std::string(512, '\0').data(), 512);
        auto salvex = StartOn({"--volume", QString::fromStdString(image)});
        ModalScript script;
        QString listed;
        script.Then([&listed](QWidget* w) {
            auto* dialog = qobject_cast<gui::CDriveDialog*>(w);
            if (dialog == nullptr) {
                return false;
            }
            listed = dialog->DriveList()->currentText();
            dialog->findChild<QCheckBox*>("deepScan")->setChecked(true);
            dialog->accept();
            return true;
        });
        QVERIFY(salvex->StartUp());
        QVERIFY(script.Done());
        QCOMPARE(listed, "C:\\ (unknown: deep scan only)");
        QVERIFY(salvex->Doc().deepScan);
        for (const std::string& text : dialogs_.Texts()) {
            QVERIFY2(text.find("raw file system") == std::string::npos, text.c_str());
        }
        QCOMPARE(static_cast<std::size_t>(salvex->Frame()->View().Model().RowCount()),
                 scan::foundFiles.size());
        QVERIFY(std::filesystem::is_empty(dir.path().toStdString() + "/relicta"));
        qunsetenv("XDG_STATE_HOME");
    }

    // Edit > Select All (Ctrl+A) selects every row; the toolbar's buttons have icons.
    void selectsAllAndShowsIcons() {
        auto salvex = StartOn({Fixture("fat16.img")});
        QVERIFY(salvex->StartUp());
        gui::CMainFrame* frame = salvex->Frame();
        QAction* selectAll = frame->findChild<QAction*>("selectAll");
        QVERIFY(selectAll != nullptr);
        QCOMPARE(selectAll->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_A));
        selectAll->trigger();
        QCOMPARE(frame->View().selectionModel()->selectedRows().size(),
                 frame->View().Model().RowCount());
        for (const char* command : {"recover", "exit", "copy", "print", "about"}) {
            QVERIFY2(!frame->findChild<QAction*>(command)->icon().isNull(), command);
        }
    }

    // An exFAT partition (typed 0x83) is offered by the dialog and listed like any drive.
    void listsAnExFatDrive() {
        gui::CDriveDialog dialog;
        dialog.AddImageOrDevice(Fixture("exfatmbr.img"));
        QCOMPARE(dialog.DriveList()->currentText(), "C:\\");
        auto salvex = StartOn({Fixture("exfatmbr.img")});
        QVERIFY(salvex->StartUp());
        QCOMPARE(salvex->Frame()->View().Model().RowCount(), 161);
    }

    // A file from an emptied Recycle Bin is listed by its original name and folder; its
    // tooltip names where it was found and when it was recycled.
    void listsRecycledFilesUnderTheirOriginalPath() {
        auto salvex = StartOn({Fixture("recyclentfs.img")});
        QVERIFY(salvex->StartUp());
        gui::FileListModel& model = salvex->Frame()->View().Model();
        int row = 0;
        while (row < model.RowCount() &&
               model.data(model.index(row, view::kColumnName), Qt::DisplayRole).toString() !=
                   "holiday.jpg") {
            ++row;
        }
        QVERIFY(row < model.RowCount());
        QCOMPARE(model.data(model.index(row, view::kColumnDirectory), Qt::DisplayRole).toString(),
                 "C:\\Users\\bob\\Pictures\\");
        const QString tip =
            model.data(model.index(row, view::kColumnName), Qt::ToolTipRole).toString();
        QVERIFY(tip.contains("$Recycle.Bin") && tip.contains("$RAB12CD.jpg") &&
                tip.contains("deleted 2024"));
    }

    // View > Check Content fills the Content column of the selected files; its tooltip gives
    // the reason, and sorting on it groups the broken ones.
    void checksTheContentOfTheSelectedFiles() {
        auto salvex = StartOn({Fixture("contentntfs.img")});
        QVERIFY(salvex->StartUp());
        gui::CSalvexView& view = salvex->Frame()->View();
        gui::FileListModel& model = view.Model();
        view.selectAll();
        salvex->Frame()->Command("checkContent")->trigger();
        std::map<QString, int> verdicts;
        for (int row = 0; row < model.RowCount(); ++row) {
            ++verdicts[model.data(model.index(row, view::kColumnContent), Qt::DisplayRole)
                           .toString()];
        }
        QCOMPARE(verdicts["ok"], 12);
        QCOMPARE(verdicts["zeroed"], 3);
        QCOMPARE(verdicts["mismatch"], 13);
        QHeaderView* header = view.horizontalHeader();
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(view::kColumnContent) + 5, 5));
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                          QPoint(header->sectionViewportPosition(view::kColumnContent) + 5, 5));
        QCOMPARE(model.data(model.index(0, view::kColumnContent), Qt::DisplayRole).toString(),
                 "ok");
        QVERIFY(!model.data(model.index(0, view::kColumnContent), Qt::ToolTipRole)
                     .toString()
                     .isEmpty());
    }

    void addImageSaysWhyItCannot() {
        gui::CDriveDialog dialog;
        QCOMPARE(dialog.DriveList()->count(), 0);
        dialog.AddImageOrDevice(Fixture("fat12.img"));
        QCOMPARE(dialog.DriveList()->currentText(), "C:\\");
        dialog.AddImageOrDevice("/nonexistent/image.img");
        QVERIFY(!dialogs_.Texts().empty());
        QVERIFY(dialogs_.Texts().back().find("/nonexistent/image.img") != std::string::npos);
    }

    // Scan, select rows, recover them into a directory through the real dialogs, and the
    // summary.
    void recoversSeveralFiles() {
        auto salvex = StartOn({Fixture("fat32.img")});
        QVERIFY(salvex->StartUp());
        gui::CSalvexView& view = salvex->Frame()->View();
        gui::FileListModel& model = view.Model();
        std::vector<uint32_t> chosen;
        for (int row = 0; row < model.RowCount() && chosen.size() < 3; ++row) {
            const scan::FoundFile& f = scan::foundFiles[model.ItemData(row)];
            if (f.condition == scan::kGood && f.name[0] != '?') {
                view.selectionModel()->select(
                    model.index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
                chosen.push_back(model.ItemData(row));
            }
        }
        QCOMPARE(chosen.size(), std::size_t{3});
        app::SetDialogs(&salvex->Dialogs());
        QTemporaryDir destination;
        const QString target = destination.path() + "/recovered";
        ModalScript script;
        bool partialAsked = true;
        script.Then([&](QWidget* w) {
            auto* dialog = qobject_cast<gui::CRecoverToPathDialog*>(w);
            if (dialog == nullptr) {
                return false;
            }
            // Files over unreadable sectors are left out unless the user asks for them.
            const auto* partial = dialog->findChild<QCheckBox*>("writePartialFiles");
            partialAsked = partial == nullptr || partial->isChecked();
            dialog->findChild<QLineEdit*>("destination")->setText(target);
            dialog->accept();
            return true;
        });
        script.AcceptBox();
        salvex->Frame()->Command("recover")->trigger();
        QVERIFY(script.Done());
        QVERIFY(!partialAsked);
        QCOMPARE(script.boxes,
                 QStringList{"File(s) has been recovered|The program has recovered 3 files to "
                             "directory " +
                             target +
                             ".\n\nIt is possible some or all of the data in the files was "
                             "overwritten, so you should verify that each file is correct."});
        for (uint32_t item : chosen) {
            const scan::FoundFile& f = scan::foundFiles[item];
            const std::filesystem::path file = target.toStdString() + "/" + f.name;
            QVERIFY(std::filesystem::exists(file));
            QCOMPARE(static_cast<int64_t>(std::filesystem::file_size(file)), f.size);
        }
    }

    // The saved list is what `relicta scan` writes; the clipboard holds the full paths.
    void saveAndCopyMatchTheCommandLine() {
        const std::string image = test::FixturePath("ntfs4k.img");
        auto salvex = StartOn({QString::fromStdString(image)});
        QVERIFY(salvex->StartUp());
        QTemporaryDir dir;
        const QString saved = dir.path() + "/list.txt";
        QVERIFY(salvex->Doc().SaveFileListTo(saved));
        const test::CommandResult cli = test::RunCommand(test::RelictaBinary() + " scan " + image);
        QCOMPARE(cli.status, 0);
        QCOMPARE(ReadFile(saved.toStdString()), cli.out);

        std::string paths;
        std::istringstream lines(cli.out);
        for (std::string line; std::getline(lines, line);) {
            const std::string name = line.substr(0, line.find('\t'));
            const std::size_t dirStart = name.size() + 1;
            const std::string dirText = line.substr(dirStart, line.find('\t', dirStart) - dirStart);
            paths += dirText;
            paths += dirText.back() == '\\' ? "" : "\\";
            paths += name + "\r\n";
        }
        salvex->Frame()->Command("copy")->trigger();
        QCOMPARE(QApplication::clipboard()->text().toStdString(), paths);
    }

    // Each filter of the bar narrows the list to its rows and the status bar says so; Copy and
    // Save take the rows shown; the condition's mark has its colour.
    void filtersNarrowTheListAndWhatItsActionsTake_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QList<uint32_t>>("items");
        // fat16: 0-5 in the root (5: 20000 bytes), 6-8 in ?LDDIR and below it, 9-12 JPEGs in
        // PHOTOS, 13 the one file of April 2022; 3 and 13 are Poor.
        QTest::newRow("search") << "searchText"
                                << "MG_0" << QList<uint32_t>{9, 10, 11, 12};
        QTest::newRow("search folder") << "searchText"
                                       << "lddir\\?ub" << QList<uint32_t>{8};
        QTest::newRow("kind") << "kindFilter"
                              << "Pictures" << QList<uint32_t>{9, 10, 11, 12};
        QTest::newRow("condition")
            << "conditionFilter"
            << "At least Good" << QList<uint32_t>{0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12};
        QTest::newRow("size from") << "minSize"
                                   << "10K" << QList<uint32_t>{5};
        QTest::newRow("modified from") << "modifiedFrom"
                                       << "2022-04-01" << QList<uint32_t>{13};
        QTest::newRow("modified to, the day whole")
            << "modifiedTo"
            << "2022-01-02" << QList<uint32_t>{0, 1, 2, 3, 4, 5};
        QTest::newRow("a size that means nothing")
            << "maxSize"
            << "lots" << QList<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
    }
    void filtersNarrowTheListAndWhatItsActionsTake() {
        QFETCH(QString, field);
        QFETCH(QString, value);
        QFETCH(QList<uint32_t>, items);
        qputenv("TZ", "UTC");
        auto salvex = StartOn({Fixture("fat16.img")});
        QVERIFY(salvex->StartUp());
        gui::CMainFrame& frame = *salvex->Frame();
        gui::FilterBar& bar = frame.Filters();
        if (auto* box = bar.findChild<QComboBox*>(field)) {
            box->setCurrentText(value);
        } else {
            bar.findChild<QLineEdit*>(field)->setText(value);
        }
        gui::FileListModel& model = frame.View().Model();
        std::vector<uint32_t> shown = ListedItems(model);
        std::sort(shown.begin(), shown.end());
        QCOMPARE(QList<uint32_t>(shown.begin(), shown.end()), items);
        QCOMPARE(frame.findChild<QLabel*>("shownPane")->text(),
                 QString("%1 of 14 files shown").arg(items.size()));

        frame.Command("copy")->trigger();
        QCOMPARE(QApplication::clipboard()->text().count("\r\n"), items.size());
        QTemporaryDir dir;
        QVERIFY(salvex->Doc().SaveFileListTo(dir.path() + "/list.txt", model.ShownItems()));
        QCOMPARE(QString::fromStdString(ReadFile((dir.path() + "/list.txt").toStdString()))
                     .count("\r\n"),
                 items.size());
        for (int row = 0; row < model.RowCount(); ++row) {
            const QModelIndex condition = model.index(row, view::kColumnCondition);
            const QColor mark = model.data(condition, Qt::DecorationRole).value<QColor>();
            const bool poor = model.data(condition, Qt::DisplayRole).toString() == "Poor";
            QCOMPARE(mark.red() > mark.green(), poor);
        }
        bar.Clear();
        QCOMPARE(model.RowCount(), 14);
        qunsetenv("TZ");
    }

    // The folder tree counts the files in and below each folder; choosing one shows them, and
    // Recover Folder writes them under their old folders.
    void folderTreeChoosesAndRecoversAFolder() {
        auto salvex = StartOn({Fixture("fat16.img")});
        QVERIFY(salvex->StartUp());
        gui::CMainFrame& frame = *salvex->Frame();
        QStringList shownTree;
        QTreeWidgetItem* oldDir = nullptr;
        for (QTreeWidgetItemIterator it(&frame.Folders()); *it != nullptr; ++it) {
            shownTree << (*it)->text(0);
            oldDir = (*it)->text(0).startsWith("?LDDIR") ? *it : oldDir;
        }
        QCOMPARE(shownTree, (QStringList{"All folders (14)", "C: (14)", "?LDDIR (3)", "?UB (1)",
                                         "PHOTOS (4)"}));
        QVERIFY(oldDir != nullptr);
        frame.Folders().setCurrentItem(oldDir);
        QCOMPARE(frame.View().Model().RowCount(), 3);

        app::SetDialogs(&salvex->Dialogs());
        QTemporaryDir destination;
        ModalScript script;
        script.AcceptBox();  // the note on names that lost their first letter
        script.Then([&](QWidget* w) {
            auto* dialog = qobject_cast<gui::CRecoverToPathDialog*>(w);
            if (dialog == nullptr) {
                return false;
            }
            dialog->findChild<QLineEdit*>("destination")->setText(destination.path());
            dialog->accept();
            return true;
        });
        script.AcceptBox();
        frame.Command("recoverFolder")->trigger();
        QVERIFY(script.Done());
        QStringList written;
        for (const auto& entry :
             std::filesystem::recursive_directory_iterator(destination.path().toStdString())) {
            if (entry.is_regular_file()) {
                written << QString::fromStdString(
                    entry.path().lexically_relative(destination.path().toStdString()).string());
            }
        }
        written.sort();
        QCOMPARE(written.size(), 3);
        QVERIFY2(written.filter("/").size() == 3 &&
                     written.filter(QRegularExpression("/.*/")).size() == 1,
                 qPrintable(written.join(", ")));
    }

    // The preview shows a file's data as recovery would write it: a picture's own pixels,
    // a text's words, hex for what is neither, and a line (no crash) for data out of reach.
    void previewShowsWhatRecoveryWouldWrite_data() {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("shown");     // the page's object name
        QTest::addColumn<QString>("original");  // tests/data/content/..., compared as shown
        QTest::addColumn<bool>("error");
        QTest::newRow("JPEG") << "Intact photo.jpg"
                              << "previewImage"
                              << "photo.jpg" << false;
        QTest::newRow("PNG") << "Intact picture.png"
                             << "previewImage"
                             << "picture.png" << false;
        QTest::newRow("PDF") << "Intact document.pdf"
                             << "previewImage"
                             << "" << false;
        QTest::newRow("text") << "Intact notes.txt"
                              << "previewText"
                              << "notes.txt" << false;
        QTest::newRow("zeros named .jpg") << "Zero photo.jpg"
                                          << "previewHex"
                                          << "" << true;
        QTest::newRow("clusters out of range") << "Intact tone.wav"
                                               << "previewHex"
                                               << "" << true;
    }
    void previewShowsWhatRecoveryWouldWrite() {
        QFETCH(QString, name);
        QFETCH(QString, shown);
        QFETCH(QString, original);
        QFETCH(bool, error);
        auto salvex = StartOn({Fixture("contentfat.img")});
        QVERIFY(salvex->StartUp());
        gui::CMainFrame& frame = *salvex->Frame();
        gui::FileListModel& model = frame.View().Model();
        int row = 0;
        while (row < model.RowCount() &&
               scan::foundFiles[model.ItemData(row)].name != name.toStdString()) {
            ++row;
        }
        QVERIFY(row < model.RowCount());
        if (QTest::currentDataTag() == QString("clusters out of range")) {
            scan::foundFiles[model.ItemData(row)].mftOrCluster = 0x0FFFFFF0;
        }
        gui::PreviewPane& preview = frame.Preview();
        QSignalSpy ready(&preview, &gui::PreviewPane::previewReady);
        frame.View().selectRow(row);
        QVERIFY(ready.count() > 0 || ready.wait(5000));
        auto* stack = preview.findChild<QStackedWidget*>();
        QCOMPARE(stack->currentWidget()->objectName(), shown);
        QCOMPARE(!preview.findChild<QLabel*>("previewError")->isHidden(), error);
        const std::string path = test::SourcePath("tests/data/content/" + original.toStdString());
        if (shown == "previewImage") {
            const QPixmap pixmap = preview.findChild<QLabel*>("previewImage")->pixmap();
            QVERIFY(!pixmap.isNull());
            if (!original.isEmpty()) {
                const QImage want(QString::fromStdString(path));
                const QImage got = pixmap.toImage().scaled(want.size());
                const QPoint middle(want.width() / 2, want.height() / 2);
                QVERIFY(qAbs(qGray(got.pixel(middle)) - qGray(want.pixel(middle))) < 24);
            }
        } else if (shown == "previewText") {
            QCOMPARE(preview.findChild<QPlainTextEdit*>("previewText")->toPlainText(),
                     QString::fromStdString(ReadFile(path)).remove('\r'));
        } else {
            QVERIFY(preview.findChild<QPlainTextEdit*>("previewHex")->toPlainText().isEmpty() ==
                    (QTest::currentDataTag() == QString("clusters out of range")));
        }
        // A file never checked is checked on its selection.
        QVERIFY(!scan::foundFiles[model.ItemData(row)].Notes().content.empty() || error);
    }

    void printsThePagesTheLayoutGives() {
        auto salvex = StartOn({Fixture("fat16.img")});
        QVERIFY(salvex->StartUp());
        gui::FileListModel& model = salvex->Frame()->View().Model();
        while (scan::foundFiles.size() < 41) {
            scan::AddFoundFile(model, "extra.txt", "C:\\", 1, 0, 0, scan::kGood, 5);
        }
        model.Flush();
        QTemporaryDir dir;
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(dir.path() + "/list.pdf");
        salvex->Frame()->PrintList(printer);
        const std::string pdf = ReadFile((dir.path() + "/list.pdf").toStdString());
        int pages = 0;
        for (std::size_t at = pdf.find("/Type /Page"); at != std::string::npos;
             at = pdf.find("/Type /Page", at + 1)) {
            pages += pdf.compare(at, 12, "/Type /Pages") != 0 ? 1 : 0;
        }
        QCOMPARE(pages, 3);
    }

    void stopsALargeScan_data() {
        QTest::addColumn<bool>("closeWindow");
        QTest::newRow("Cancel") << false;
        QTest::newRow("closing the main window") << true;
    }
    // Cancel, or closing the main window, is heard during a long scan: the scan stops within
    // a second, cut short; Cancel keeps the rows found so far, closing then closes.
    void stopsALargeScan() {
        QFETCH(bool, closeWindow);
        QTemporaryDir dir;
        const std::string image = dir.path().toStdString() + "/large-fat32.img";
        QVERIFY(test::MakeLargeFat32(image));
        auto salvex = StartOn({QString::fromStdString(image)});
        QElapsedTimer sinceStop;
        bool commandsDisabled = false;
        QTimer watch;
        connect(&watch, &QTimer::timeout, [&] {
            gui::CProgressWindow* progress =
                salvex->Frame() != nullptr ? salvex->Frame()->findChild<gui::CProgressWindow*>()
                                           : nullptr;
            if (progress != nullptr) {
                watch.stop();
                QTimer::singleShot(300, progress, [&, progress] {
                    commandsDisabled = true;
                    for (const char* name :
                         {"newScan", "recover", "saveList", "copy", "print", "printPreview"}) {
                        commandsDisabled &= !salvex->Frame()->Command(name)->isEnabled();
                    }
                    sinceStop.start();
                    if (closeWindow) {
                        salvex->Frame()->close();
                    } else {
                        QTest::mouseClick(progress->CancelButton(), Qt::LeftButton);
                    }
                });
            }
        });
        watch.start(5);
        QVERIFY(salvex->StartUp());
        QVERIFY(sinceStop.isValid());
        const qint64 stoppedAfter = sinceStop.elapsed();
        qInfo("scan stopped %lld ms after the request with %zu files listed", stoppedAfter,
              scan::foundFiles.size());
        QVERIFY(stoppedAfter < 1000);
        QVERIFY(commandsDisabled);
        QVERIFY(salvex->Frame()->Command("recover")->isEnabled());
        QVERIFY(app::StopScan);
        QVERIFY(scan::foundFiles.size() < test::kLargeFat32DeletedFiles);
        QCOMPARE(salvex->Frame()->QuitRequested(), closeWindow);
        QCOMPARE(salvex->Frame()->isVisible(), !closeWindow);
        QCOMPARE(static_cast<std::size_t>(salvex->Frame()->View().Model().rowCount()),
                 scan::foundFiles.size());
    }
};

QTEST_MAIN(GuiTest)
#include "gui_test.moc"
