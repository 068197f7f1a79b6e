#include "gui/drive_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>

#include "app/dialogs.h"
#include "app/drive_choices.h"
#include "gui/about.h"
#include "platform/drive_table.h"
#include "platform/platform.h"
#include "platform/rescue_map.h"
#include "scan/filters.h"

namespace relicta::gui {
namespace {

constexpr const char* kIntroduction =
    "Tarnwick\u00ae Relicta will scan your drives to find deleted files, and then can attempt "
    "to recover those files. Please select which drive you want to scan:";

constexpr const char* kDeepScanTip =
    "Reads the whole drive, or the part of its volume not in use, to find the files of a "
    "formatted volume, of one whose boot sector is lost, or of a lost partition. It takes as "
    "long as reading the drive.";
constexpr const char* kMapFileTip =
    "An image GNU ddrescue made of a failing disk: after the image, choose the map file "
    "ddrescue wrote with it. What ddrescue could not rescue is then read as unreadable "
    "sectors, never as the zeros the image holds there.";
constexpr const char* kDeepScanOnly =
    "This drive holds no FAT, exFAT or NTFS file system: only a deep scan can read it.";

bool HoldsUnknownFileSystem(char letter) {
    return platform::ListedFileSystemName(platform::CurrentPlatform(), letter) ==
           platform::kUnknownFileSystem;
}

// The fixed drives the scan list leaves out for want of a known file system, which a deep
// scan reads: each in its place by letter, marked.
void AddDeepScanOnlyDrives(std::vector<app::DriveChoice>& entries) {
    platform::Platform& os = platform::CurrentPlatform();
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        const auto at =
            std::find_if(entries.begin(), entries.end(),
                         [letter](const app::DriveChoice& c) { return c.itemData >= letter; });
        if ((at != entries.end() && at->itemData == letter) ||
            os.GetDriveType(letter) != platform::DriveType::Fixed ||
            !HoldsUnknownFileSystem(letter)) {
            continue;
        }
        entries.insert(at, {std::string(1, letter) + ":\\ (unknown: deep scan only)", letter});
    }
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += (text.empty() ? "" : "\n") + line;
    }
    return text;
}

}  // namespace

CDriveDialog::CDriveDialog(QWidget* parent)
    : QDialog(parent),
      drives_(new QComboBox(this)),
      allFiles_(new QRadioButton("All deleted files", this)),
      matching_(new QRadioButton("Deleted files matching this pattern:", this)),
      patternEdit_(new QLineEdit("*", this)),
      withMapFile_(new QCheckBox("It has a GNU ddrescue map file...", this)),
      skipTemp_(new QCheckBox("Skip files in temp directories and .tmp files", this)),
      deepScanBox_(new QCheckBox("Deep scan (reads the whole drive; slower)", this)),
      ok_(new QPushButton("OK", this)) {
    setObjectName("driveDialog");
    setWindowTitle("Choose Drive(s) to scan for deleted files");
    auto* intro = new QLabel(kIntroduction, this);
    intro->setWordWrap(true);
    drives_->setObjectName("driveList");
    drives_->setMinimumWidth(300);
    auto* add = new QPushButton("Add image or device...", this);
    add->setObjectName("addImage");
    connect(add, &QPushButton::clicked, this, &CDriveDialog::ChooseImageOrDevice);
    withMapFile_->setObjectName("withMapFile");
    withMapFile_->setToolTip(kMapFileTip);

    auto* group = new QGroupBox("Select file(s) to scan for", this);
    patternEdit_->setObjectName("pattern");
    patternEdit_->setEnabled(false);
    allFiles_->setChecked(true);
    connect(allFiles_, &QRadioButton::clicked, this, [this] {
        patternEdit_->setText("*");
        patternEdit_->setEnabled(false);
    });
    connect(matching_, &QRadioButton::clicked, this, [this] { patternEdit_->setEnabled(true); });
    auto* groupLayout = new QVBoxLayout(group);
    groupLayout->addWidget(allFiles_);
    auto* patternRow = new QHBoxLayout;
    patternRow->addWidget(matching_);
    patternRow->addWidget(patternEdit_, 1);
    groupLayout->addLayout(patternRow);
    skipTemp_->setChecked(true);
    deepScanBox_->setObjectName("deepScan");
    deepScanBox_->setToolTip(kDeepScanTip);

    auto* cancel = new QPushButton("Cancel", this);
    auto* about = new QPushButton("About", this);
    ok_->setDefault(true);
    connect(ok_, &QPushButton::clicked, this, &CDriveDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &CDriveDialog::reject);
    connect(about, &QPushButton::clicked, this, [this] { ShowAboutBox(this); });

    auto* driveRow = new QHBoxLayout;
    driveRow->addWidget(drives_, 1);
    driveRow->addWidget(add);
    auto* mapRow = new QHBoxLayout;
    mapRow->addStretch();
    mapRow->addWidget(withMapFile_);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cancel);
    buttons->addStretch();
    buttons->addWidget(about);
    buttons->addStretch();
    buttons->addWidget(ok_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(intro);
    layout->addLayout(driveRow);
    layout->addLayout(mapRow);
    layout->addWidget(group);
    layout->addWidget(skipTemp_);
    layout->addWidget(deepScanBox_);
    layout->addSpacing(12);
    layout->addLayout(buttons);
    setMinimumWidth(560);
    FillDriveList();
}

int CDriveDialog::RunModal() {
    result_ = app::kDriveDialogCancel;
    exec();
    return result_;
}

bool CDriveDialog::FillDriveList(int select) {
    app::DriveChoices choices = app::ListScanDrives();
    AddDeepScanOnlyDrives(choices.entries);
    drives_->clear();
    int selected = 0;
    bool found = false;
    for (const app::DriveChoice& choice : choices.entries) {
        if (choice.itemData == select) {
            selected = drives_->count();
            found = true;
        }
        drives_->addItem(QString::fromStdString(choice.text), choice.itemData);
    }
    drives_->setCurrentIndex(choices.entries.empty() ? -1 : selected);
    // Without an entry there is nothing OK could return.
    ok_->setEnabled(!choices.entries.empty());
    if (!choices.unreadable.empty() && !unreadableReported_) {
        unreadableReported_ = true;
        app::MessageBox(Joined(choices.unreadable), "Error", app::MbButtons::Ok,
                        app::MbIcon::Warning, app::MbOwner::MainWindow);
    }
    return found;
}

void CDriveDialog::ChooseImageOrDevice() {
    const auto options = QFileDialog::DontUseNativeDialog | QFileDialog::DontResolveSymlinks;
    const QString path = QFileDialog::getOpenFileName(this, "Add image or device", QString(),
                                                      QString(), nullptr, options);
    if (path.isEmpty()) {
        return;
    }
    QString mapfile;
    if (withMapFile_->isChecked()) {
        mapfile = QFileDialog::getOpenFileName(
            this, "GNU ddrescue map file of " + QFileInfo(path).fileName(),
            QFileInfo(path).absolutePath(),
            "ddrescue map files (*.map *.mapfile *.log);;All files (*)", nullptr,
            QFileDialog::DontUseNativeDialog);
        if (mapfile.isEmpty()) {
            return;
        }
    }
    AddImageOrDevice(path, mapfile);
}

void CDriveDialog::AddImageOrDevice(const QString& path, const QString& mapfile) {
    const std::string source = path.toStdString();
    std::string problem = platform::PermissionProblem(source);
    platform::LoadedRescueMap loaded;
    if (problem.empty() && !mapfile.isEmpty()) {
        loaded = platform::LoadRescueMap(mapfile.toStdString());
        problem = loaded.error;
    }
    if (problem.empty()) {
        const platform::AttachResult attached =
            platform::Drives().Attach(source, std::nullopt, loaded.map);
        if (attached.ok() && FillDriveList(attached.letters.front())) {
            return;
        }
        problem = attached.ok() ? source + " holds no NTFS or FAT volume" : attached.error;
    }
    app::MessageBox(problem, "Error", app::MbButtons::Ok, app::MbIcon::Warning,
                    app::MbOwner::MainWindow);
}

void CDriveDialog::accept() {
    const std::string pattern = patternEdit_->text().toStdString();
    if (!scan::CompiledPattern(scan::PatternToRegex(pattern)).ok()) {
        app::MessageBox("File search pattern is invalid.  Re-enter, or select 'all files'", "Error",
                        app::MbButtons::Ok, app::MbIcon::None, app::MbOwner::MainWindow);
        return;
    }
    if (drives_->currentIndex() < 0) {
        return;
    }
    const int chosen = drives_->currentData().toInt();
    if (!deepScanBox_->isChecked() && chosen >= 'A' && chosen <= 'Z' &&
        HoldsUnknownFileSystem(static_cast<char>(chosen))) {
        // The user checks the box: a read of the whole drive is never started unasked.
        app::MessageBox(kDeepScanOnly, "Deep scan", app::MbButtons::Ok, app::MbIcon::Information,
                        app::MbOwner::MainWindow);
        return;
    }
    pattern_ = pattern;
    skipTempFiles_ = skipTemp_->isChecked();
    deepScan_ = deepScanBox_->isChecked();
    result_ = chosen;
    QDialog::accept();
}

}  // namespace relicta::gui
