#pragma once
// The main window: menu, accelerators, toolbar, status bar with its clock, the list view,
// and the scans and commands that run in it.

#include <QElapsedTimer>
#include <QMainWindow>
#include <functional>
#include <memory>

#include "gui/recover_prompts.h"
#include "gui/salvex_doc.h"
#include "gui/salvex_view.h"
#include "recover/recover_command.h"

class QLabel;
class QPrinter;
class QSplitter;

namespace relicta::gui {

class FilterBar;
class FolderPane;
class PreviewPane;

class CMainFrame : public QMainWindow {
    Q_OBJECT

  public:
    explicit CMainFrame(CSalvexDoc& doc);
    ~CMainFrame() override;

    CSalvexView& View() { return *view_; }
    // The command named `objectName` ("recover", "saveList", "newScan", ...).
    QAction* Command(const char* objectName) const;
    void SetNewScanHandler(std::function<void()> handler) { newScan_ = std::move(handler); }

    // Runs a scan (`deep`: the deep scan) in this window; the commands that would disturb it
    // are disabled meanwhile.
    void RunScan(scan::ScanSettings& settings, bool deep);
    bool Busy() const { return busy_; }
    bool QuitRequested() const { return quitRequested_; }

    void RecoverSelected();
    // Recovers every listed file in folder `path` and below it, each under its old folder.
    void RecoverFolder(const QString& path);
    FilterBar& Filters() { return *filters_; }
    FolderPane& Folders() { return *folders_; }
    PreviewPane& Preview() { return *preview_; }
    // Shows the rows the filter bar and the chosen folder let through.
    void ApplyFilter();
    // View > Check Content: the content check of the selected files.
    void CheckContent();
    // The list as the printer's pages: the layout's units scaled to the page.
    void PrintList(QPrinter& printer);
    void RefreshStatusBar();
    QLabel* ClockPane() const { return clock_; }

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void CreateCommands();
    void CreateMenus();
    void CreateToolBar();
    void CreateStatusBar();
    QWidget* CreateCentralArea();
    void AddViewToggle(const char* objectName, const QString& text, QWidget* pane);
    void RefreshFolders();
    void PreviewCurrentRow();
    void ClosePreviewedDrive();
    void RecoverRows(const scan::FileListControl& rows, const recover::RecoverSettings& settings);
    QAction* AddCommand(const char* objectName, const QString& text, const char* prompt,
                        const QList<QKeySequence>& keys = {});
    void SetBusy(bool busy);
    bool PumpMessages();
    QPrinter& Printer();  // made when first needed, kept for the printer set-up
    void Print();
    void PrintPreview();
    void PrintSetup();

    CSalvexDoc& doc_;
    CSalvexView* view_;
    FilterBar* filters_;
    FolderPane* folders_;
    PreviewPane* preview_;
    QSplitter* splitter_ = nullptr;
    QToolBar* toolBar_ = nullptr;
    QLabel* message_ = nullptr;
    QLabel* shown_ = nullptr;
    QLabel* clock_ = nullptr;
    std::unique_ptr<QPrinter> printer_;
    QtRecoverPrompts prompts_;
    recover::RecoverSettings recoverSettings_;
    std::function<void()> newScan_;
    QElapsedTimer pumpClock_;
    bool busy_ = false;
    bool quitRequested_ = false;
};

}  // namespace relicta::gui
