#include "gui/main_frame.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPageSetupDialog>
#include <QPainter>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <ctime>

#include "app/beep.h"
#include "app/progress.h"
#include "app/scan_state.h"
#include "deep/checkpoint.h"
#include "deep/deep_scan.h"
#include "gui/about.h"
#include "gui/filter_bar.h"
#include "gui/folder_pane.h"
#include "gui/preview_pane.h"
#include "gui/progress_window.h"
#include "ntfs/ntfs_volume.h"
#include "recover/content_pass.h"
#include "scan/found_files.h"
#include "view/folder_tree.h"
#include "view/saved_list.h"

namespace relicta::gui {
namespace {

// Events are processed at most this often during a scan: often enough that the window
// repaints and Cancel answers at once, rarely enough that pumping costs nothing.
constexpr int kPumpIntervalMs = 15;
constexpr int kClockIntervalMs = 1000;
constexpr int kPrintFontHeight = 62;  // layout units: a 10-point font at 600 dpi
constexpr int kPrintLineHeight = 240;
constexpr uint64_t kMiB = uint64_t{1024} * 1024;
constexpr int kFolderPaneWidth = 240;
constexpr int kListWidth = 800;
constexpr int kPreviewWidth = 360;

std::string LocalTimeText() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[64];
    return std::strftime(text, sizeof text, "%X", &local) > 0 ? text : "";
}

}  // namespace

CMainFrame::CMainFrame(CSalvexDoc& doc)
    : doc_(doc),
      view_(new CSalvexView(this)),
      filters_(new FilterBar(this)),
      folders_(new FolderPane(this)),
      preview_(new PreviewPane(this)),
      prompts_(this) {
    setObjectName("mainFrame");
    setWindowTitle(kCaption);
    setWindowIcon(RelictaIcon());
    setCentralWidget(CreateCentralArea());
    CreateCommands();
    CreateMenus();
    CreateToolBar();
    CreateStatusBar();
    AddViewToggle("foldersToggle", "&Folders", folders_);
    AddViewToggle("previewToggle", "&Preview", preview_);
    resize(1200, 700);
    recoverSettings_.lastDestination = recover::DefaultDestination();
    recoverSettings_.checkContent = true;

    connect(view_, &CSalvexView::recoverRequested, this, &CMainFrame::RecoverSelected);
    connect(filters_, &FilterBar::filterChanged, this, &CMainFrame::ApplyFilter);
    connect(folders_, &FolderPane::folderChosen, this, &CMainFrame::ApplyFilter);
    connect(folders_, &FolderPane::recoverFolderRequested, this, &CMainFrame::RecoverFolder);
    connect(view_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &CMainFrame::PreviewCurrentRow);
    connect(preview_, &PreviewPane::contentChecked, this,
            [this] { view_->Model().RefreshContent(); });
    app::SetPumpMessagesHook([this] { return PumpMessages(); });
    app::SetProgressFactory([this] { return std::make_unique<CProgressWindow>(this); });
    app::SetBeepHook([](unsigned, unsigned) { QApplication::beep(); });
}

CMainFrame::~CMainFrame() {
    ClosePreviewedDrive();
    app::SetPumpMessagesHook(nullptr);
    app::SetProgressFactory(nullptr);
    app::SetBeepHook(nullptr);
}

QWidget* CMainFrame::CreateCentralArea() {
    auto* area = new QWidget(this);
    auto* layout = new QVBoxLayout(area);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(filters_);
    splitter_ = new QSplitter(Qt::Horizontal, area);
    splitter_->setObjectName("listSplitter");
    splitter_->setChildrenCollapsible(false);
    splitter_->addWidget(folders_);
    splitter_->addWidget(view_);
    splitter_->addWidget(preview_);
    splitter_->setStretchFactor(1, 1);
    splitter_->setSizes({kFolderPaneWidth, kListWidth, kPreviewWidth});
    layout->addWidget(splitter_, 1);
    return area;
}

void CMainFrame::AddViewToggle(const char* objectName, const QString& text, QWidget* pane) {
    auto* toggle = new QAction(text, this);
    toggle->setObjectName(objectName);
    toggle->setCheckable(true);
    toggle->setChecked(true);
    connect(toggle, &QAction::toggled, pane, &QWidget::setVisible);
    findChild<QMenu*>("viewMenu")->addAction(toggle);
}

QAction* CMainFrame::AddCommand(const char* objectName, const QString& text, const char* prompt,
                                const QList<QKeySequence>& keys) {
    auto* action = new QAction(text, this);
    action->setObjectName(objectName);
    // A prompt is "status-bar text\ntooltip".
    const QStringList parts = QString(prompt).split('\n');
    action->setStatusTip(parts.value(0));
    if (parts.size() > 1) {
        action->setToolTip(parts.value(1));
        action->setIconText(parts.value(1));
    }
    action->setShortcuts(keys);
    action->setShortcutContext(Qt::WindowShortcut);
    addAction(action);
    return action;
}

void CMainFrame::CreateCommands() {
    using QKS = QKeySequence;
    connect(AddCommand("recover", "&Salvex file(s)...", "Recovers the selected file(s)\nRecover",
                       {QKS(Qt::CTRL | Qt::Key_U)}),
            &QAction::triggered, this, &CMainFrame::RecoverSelected);
    connect(AddCommand("recoverFolder", "Recover &Folder...",
                       "Recovers every file in the chosen folder and below it, under their "
                       "folders\nRecover folder",
                       {QKS(Qt::CTRL | Qt::SHIFT | Qt::Key_U)}),
            &QAction::triggered, this, [this] { RecoverFolder(folders_->ChosenFolder()); });
    connect(AddCommand("saveList", "&Save File List...",
                       "Saves the list of deleted files\nSave list", {QKS(Qt::CTRL | Qt::Key_S)}),
            &QAction::triggered, this,
            [this] { doc_.SaveFileList(this, view_->Model().ShownItems()); });
    connect(
        AddCommand("newScan", "&New Scan", "Scans disks again to locate deleted files\nScan again",
                   {QKS(Qt::CTRL | Qt::Key_N)}),
        &QAction::triggered, this, [this] {
            if (newScan_ && !busy_) {
                newScan_();
            }
        });
    connect(AddCommand("print", "&Print...", "Prints the list of deleted files\nPrint",
                       {QKS(Qt::CTRL | Qt::Key_P)}),
            &QAction::triggered, this, &CMainFrame::Print);
    connect(AddCommand("printPreview", "Print Pre&view", "Shows the printed pages\nPrint Preview"),
            &QAction::triggered, this, &CMainFrame::PrintPreview);
    connect(AddCommand("printSetup", "P&rint Setup...",
                       "Changes the printer and printing options\nPrint Setup"),
            &QAction::triggered, this, &CMainFrame::PrintSetup);
    connect(AddCommand("exit", "E&xit", "Quits the program\nExit"), &QAction::triggered, this,
            &QWidget::close);
    AddCommand("undo", "&Undo", "Undoes the last action\nUndo",
               {QKS(Qt::CTRL | Qt::Key_Z), QKS(Qt::ALT | Qt::Key_Backspace)})
        ->setEnabled(false);
    AddCommand("cut", "Cu&t", "Cuts the selection and puts it on the Clipboard\nCut",
               {QKS(Qt::CTRL | Qt::Key_X), QKS(Qt::SHIFT | Qt::Key_Delete)})
        ->setEnabled(false);
    connect(AddCommand("copy", "&Copy", "Copies the list of deleted files to the Clipboard\nCopy",
                       {QKS(Qt::CTRL | Qt::Key_C), QKS(Qt::CTRL | Qt::Key_Insert)}),
            &QAction::triggered, this,
            [this] { doc_.CopyListToClipboard(view_->Model().ShownItems()); });
    AddCommand("paste", "&Paste", "Inserts Clipboard contents\nPaste",
               {QKS(Qt::CTRL | Qt::Key_V), QKS(Qt::SHIFT | Qt::Key_Insert)})
        ->setEnabled(false);
    connect(AddCommand("selectAll", "Select &All", "Selects every file in the list\nSelect All",
                       {QKS(Qt::CTRL | Qt::Key_A)}),
            &QAction::triggered, view_, &QTableView::selectAll);
    connect(AddCommand("find", "&Find...", "Searches the names and folders of the list\nFind",
                       {QKS(Qt::CTRL | Qt::Key_F)}),
            &QAction::triggered, this, [this] {
                filters_->SearchField()->setFocus(Qt::ShortcutFocusReason);
                filters_->SearchField()->selectAll();
            });
    connect(AddCommand("checkContent", "Check &Content",
                       "Checks whether the selected files' data holds what their names "
                       "promise\nCheck Content"),
            &QAction::triggered, this, &CMainFrame::CheckContent);
    connect(AddCommand("helpContents", "Contents", "Opens the help\nHelp", {QKS(Qt::Key_F1)}),
            &QAction::triggered, this, [this] { ShowHelpContents(this); });
    connect(
        AddCommand("about", "&About salvex...", "Displays program information and version\nAbout"),
        &QAction::triggered, this, [this] { ShowAboutBox(this); });
}

QAction* CMainFrame::Command(const char* objectName) const {
    return findChild<QAction*>(objectName);
}

void CMainFrame::CreateMenus() {
    QMenu* file = menuBar()->addMenu("&File");
    file->addAction(Command("recover"));
    file->addAction(Command("recoverFolder"));
    file->addAction(Command("saveList"));
    file->addAction(Command("newScan"));
    file->addSeparator();
    file->addAction(Command("print"));
    file->addAction(Command("printPreview"));
    file->addAction(Command("printSetup"));
    file->addSeparator();
    file->addAction(Command("exit"));
    QMenu* edit = menuBar()->addMenu("&Edit");
    edit->addAction(Command("undo"));
    edit->addSeparator();
    edit->addAction(Command("cut"));
    edit->addAction(Command("copy"));
    edit->addAction(Command("paste"));
    edit->addSeparator();
    edit->addAction(Command("selectAll"));
    edit->addAction(Command("find"));
    QMenu* viewMenu = menuBar()->addMenu("&View");
    viewMenu->setObjectName("viewMenu");
    viewMenu->addAction(Command("checkContent"));
    viewMenu->addSeparator();
    QMenu* help = menuBar()->addMenu("&Help");
    help->addAction(Command("helpContents"));
    help->addSeparator();
    help->addAction(Command("about"));
    // View's toggles are added once the bars exist.
}

void CMainFrame::CreateToolBar() {
    toolBar_ = addToolBar("Toolbar");
    toolBar_->setObjectName("toolBar");
    toolBar_->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    // Icons of the desktop's theme, or Qt's own where the theme has none.
    const std::pair<const char*, std::pair<const char*, QStyle::StandardPixmap>> icons[] = {
        {"recover", {"document-save", QStyle::SP_DialogSaveButton}},
        {"exit", {"application-exit", QStyle::SP_DialogCloseButton}},
        {"copy", {"edit-copy", QStyle::SP_FileDialogDetailedView}},
        {"print", {"document-print", QStyle::SP_FileIcon}},
        {"about", {"help-about", QStyle::SP_MessageBoxInformation}},
    };
    for (const auto& [command, icon] : icons) {
        Command(command)->setIcon(QIcon::fromTheme(icon.first, style()->standardIcon(icon.second)));
    }
    toolBar_->setMovable(true);
    toolBar_->addAction(Command("recover"));
    toolBar_->addSeparator();
    toolBar_->addAction(Command("exit"));
    toolBar_->addSeparator();
    toolBar_->addAction(Command("copy"));
    toolBar_->addSeparator();
    toolBar_->addAction(Command("print"));
    toolBar_->addSeparator();
    toolBar_->addAction(Command("about"));
    for (QAction* action : toolBar_->actions()) {
        if (QWidget* button = toolBar_->widgetForAction(action)) {
            button->setMinimumWidth(68);
        }
    }
    QAction* toggle = toolBar_->toggleViewAction();
    toggle->setText("&Toolbar");
    findChild<QMenu*>("viewMenu")->addAction(toggle);
}

void CMainFrame::CreateStatusBar() {
    message_ = new QLabel(this);
    message_->setObjectName("messagePane");
    clock_ = new QLabel(this);
    clock_->setObjectName("clockPane");
    shown_ = new QLabel(this);
    shown_->setObjectName("shownPane");
    statusBar()->addWidget(message_, 1);
    statusBar()->addPermanentWidget(shown_);
    statusBar()->addPermanentWidget(clock_);
    auto* toggle = new QAction("&Status Bar", this);
    toggle->setObjectName("statusBarToggle");
    toggle->setCheckable(true);
    toggle->setChecked(true);
    connect(toggle, &QAction::toggled, statusBar(), &QWidget::setVisible);
    findChild<QMenu*>("viewMenu")->addAction(toggle);
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &CMainFrame::RefreshStatusBar);
    timer->start(kClockIntervalMs);
    RefreshStatusBar();
}

void CMainFrame::RefreshStatusBar() {
    // The clock pane is exactly as wide as its text.
    const QString time = QString::fromStdString(LocalTimeText());
    clock_->setFixedWidth(clock_->fontMetrics().horizontalAdvance(time) + 2 * clock_->margin() + 4);
    clock_->setText(time);
    message_->setText(QString::fromStdString(app::StatusText));
    const FileListModel& model = view_->Model();
    shown_->setText(
        QString("%1 of %2 files shown").arg(model.ShownCount()).arg(model.ListedCount()));
}

void CMainFrame::ClosePreviewedDrive() {
    preview_->CancelAndWait();
    ntfs::CloseNtfsVolumeIfOpen();
}

void CMainFrame::PreviewCurrentRow() {
    const QModelIndex current = view_->currentIndex();
    FileListModel& model = view_->Model();
    if (busy_ || preview_->isHidden() || !current.isValid() || current.row() >= model.RowCount()) {
        return;
    }
    preview_->ShowFile(model.ItemData(current.row()));
}

void CMainFrame::ApplyFilter() {
    view::ListFilter filter = filters_->Filter();
    filter.folder = folders_->ChosenFolder().toStdString();
    view_->Model().SetFilter(std::move(filter));
    RefreshStatusBar();
}

void CMainFrame::RefreshFolders() {
    folders_->Show(view::BuildFolderTree(view_->Model().ListedItems()));
    if (folders_->ChosenFolder().toStdString() != view_->Model().Filter().folder) {
        ApplyFilter();
    }
}

void CMainFrame::SetBusy(bool busy) {
    if (busy) {
        // Scans, checks and recovery open the drives they need; the preview's is closed.
        ClosePreviewedDrive();
    }
    busy_ = busy;
    for (const char* name :
         {"newScan", "recover", "recoverFolder", "saveList", "copy", "print", "printPreview"}) {
        Command(name)->setEnabled(!busy);
    }
}

bool CMainFrame::PumpMessages() {
    if (!quitRequested_ && pumpClock_.isValid() && pumpClock_.elapsed() < kPumpIntervalMs) {
        return false;
    }
    pumpClock_.start();
    view_->Model().Flush();
    RefreshStatusBar();
    QApplication::processEvents(QEventLoop::AllEvents);
    if (quitRequested_) {
        app::StopScan = true;
        return true;
    }
    return false;
}

void CMainFrame::RunScan(scan::ScanSettings& settings, bool deep) {
    std::unique_ptr<deep::DeepCheckpoint> checkpoint;
    if (deep) {
        // A deep scan that stopped before its end may go on where it stood.
        bool cancelled = false;
        checkpoint = deep::OfferCheckpoint(settings.scanDrive, cancelled);
        if (cancelled) {
            return;
        }
    }
    SetBusy(true);
    pumpClock_.invalidate();
    if (deep) {
        deep::RunDeepScan(settings, view_->Model(), deep::Carving::On, checkpoint.get());
        if (checkpoint) {
            checkpoint->Finish();
        }
    } else {
        scan::RunScan(settings, view_->Model());
    }
    view_->Model().Flush();
    SetBusy(false);
    RefreshFolders();
    RefreshStatusBar();
    if (quitRequested_) {
        close();
    }
}

void CMainFrame::RecoverSelected() {
    RecoverRows(view_->Model(), recoverSettings_);
}

void CMainFrame::RecoverFolder(const QString& path) {
    view::FoundFileList rows;
    const std::string folder = path.toStdString();
    for (uint32_t item : view_->Model().ListedItems()) {
        if (folder.empty() || view::InFolder(scan::foundFiles[item].dir, folder)) {
            rows.rows.push_back({item, true});
        }
    }
    recover::RecoverSettings settings = recoverSettings_;
    settings.keepPaths = true;
    settings.alwaysSeveral = true;
    RecoverRows(rows, settings);
}

void CMainFrame::RecoverRows(const scan::FileListControl& rows,
                             const recover::RecoverSettings& settings) {
    if (busy_) {
        return;
    }
    SetBusy(true);
    recover::RecoverCommand command(prompts_, settings);
    command.SetProgressObserver([this](const recover::RecoverTally& tally) {
        if (pumpClock_.isValid() && pumpClock_.elapsed() < kPumpIntervalMs) {
            return;
        }
        pumpClock_.start();
        statusBar()->showMessage(QString("Recovering: %1 of %2 files, %3 MiB written")
                                     .arg(tally.tried)
                                     .arg(tally.selected)
                                     .arg(tally.bytesWritten / kMiB));
        QApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    });
    command.RecoverSelected(rows);
    view_->Model().RefreshContent();
    recoverSettings_.lastDestination = command.Settings().lastDestination;
    statusBar()->clearMessage();
    SetBusy(false);
    if (quitRequested_) {
        close();
    }
}

void CMainFrame::CheckContent() {
    if (busy_) {
        return;
    }
    FileListModel& model = view_->Model();
    std::vector<uint32_t> items;
    for (int row = 0; row < model.RowCount(); ++row) {
        if (model.IsSelected(row)) {
            items.push_back(model.ItemData(row));
        }
    }
    if (items.empty()) {
        app::MessageBox("You didn't select any file to check", "Huh?");
        return;
    }
    SetBusy(true);
    recover::CheckFoundFiles(items);
    model.RefreshContent();
    SetBusy(false);
    if (quitRequested_) {
        close();
    }
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (busy_) {
        // The scan stops first; the window closes once it has unwound.
        quitRequested_ = true;
        app::StopScan = true;
        event->ignore();
        return;
    }
    event->accept();
}

void CMainFrame::PrintList(QPrinter& printer) {
    QPainter painter;
    if (!painter.begin(&printer)) {
        return;  // the print system has told the user why
    }
    const QRect page = painter.viewport();
    const double scale = std::min(static_cast<double>(page.width()) / view::kPrintWidth,
                                  static_cast<double>(page.height()) / view::kPrintHeight);
    painter.setViewport(page.x(), page.y(), static_cast<int>(view::kPrintWidth * scale),
                        static_cast<int>(view::kPrintHeight * scale));
    painter.setWindow(0, 0, view::kPrintWidth, view::kPrintHeight);
    QFont font = painter.font();
    font.setPixelSize(kPrintFontHeight);
    painter.setFont(font);

    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    // An empty list still prints its dated header on one page.
    const view::ItemList items = view_->Model().ShownItems();
    const int pages = std::max(1, view::PrintPageCount(items.size()));
    for (int p = 1; p <= pages; ++p) {
        if (p > 1) {
            printer.newPage();
        }
        for (const view::PrintedText& text :
             view::PrintPage(p, utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, items)) {
            painter.drawText(QRect(text.x, text.y, view::kPrintWidth - text.x, kPrintLineHeight),
                             Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine | Qt::TextDontClip,
                             QString::fromStdString(text.text));
        }
    }
    painter.end();
}

QPrinter& CMainFrame::Printer() {
    if (!printer_) {
        printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
    }
    return *printer_;
}

void CMainFrame::Print() {
    if (busy_) {
        return;
    }
    QPrintDialog dialog(&Printer(), this);
    if (dialog.exec() == QDialog::Accepted) {
        PrintList(Printer());
    }
}

void CMainFrame::PrintPreview() {
    if (busy_) {
        return;
    }
    QPrintPreviewDialog preview(&Printer(), this);
    connect(&preview, &QPrintPreviewDialog::paintRequested, this,
            [this](QPrinter* printer) { PrintList(*printer); });
    preview.exec();
}

void CMainFrame::PrintSetup() {
    QPageSetupDialog dialog(&Printer(), this);
    dialog.exec();
}

}  // namespace relicta::gui
