#pragma once
// The drive and scan-options dialog: one drive or all hard drives, all deleted files or a
// pattern, whether to skip temporary files, and whether to scan deeply.

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace relicta::gui {

class CDriveDialog : public QDialog {
    Q_OBJECT

  public:
    explicit CDriveDialog(QWidget* parent = nullptr);

    // The item data of the chosen entry (app::kAllHardDrives or a letter's code), or
    // app::kDriveDialogCancel.
    int RunModal();
    // Valid after OK; empty after Cancel.
    const std::string& PatternText() const { return pattern_; }
    bool SkipTempFiles() const { return skipTempFiles_; }
    // Whether the scan reads the whole drive (the deep scan); valid after OK.
    bool DeepScan() const { return deepScan_; }

    QComboBox* DriveList() const { return drives_; }

    void accept() override;
    // Attaches an image file or a block device as the next free letter and lists it; with
    // `mapfile`, as GNU ddrescue's map of the image says it may be read.
    void AddImageOrDevice(const QString& path, const QString& mapfile = QString());

  private:
    // True when the entry with item data `select` is listed (and selected).
    bool FillDriveList(int select = -1);
    void ChooseImageOrDevice();

    QComboBox* drives_;
    QRadioButton* allFiles_;
    QRadioButton* matching_;
    QLineEdit* patternEdit_;
    QCheckBox* withMapFile_;
    QCheckBox* skipTemp_;
    QCheckBox* deepScanBox_;
    QPushButton* ok_;
    std::string pattern_;
    bool skipTempFiles_ = false;
    bool deepScan_ = false;
    int result_ = 0;
    bool unreadableReported_ = false;
};

}  // namespace relicta::gui
