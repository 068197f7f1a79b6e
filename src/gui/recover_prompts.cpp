#include "gui/recover_prompts.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace relicta::gui {
namespace {

constexpr int kMaxPathCharacters = 260;

QLabel* WrappedText(const char* text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    return label;
}

}  // namespace

CRecoverToPathDialog::CRecoverToPathDialog(const QString& proposedDirectory, QWidget* parent)
    : QDialog(parent),
      path_(new QLineEdit(proposedDirectory, this)),
      partial_(new QCheckBox("Write partial files (unreadable sectors as zeros)", this)) {
    setObjectName("recoverToPathDialog");
    setWindowTitle("Recover file(s) to path");
    path_->setObjectName("destination");
    path_->setMaxLength(kMaxPathCharacters);
    auto* browse = new QPushButton("Browse...", this);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString chosen = QFileDialog::getExistingDirectory(
            this, "Recover file(s) to path", path_->text(), QFileDialog::DontUseNativeDialog);
        if (!chosen.isEmpty()) {
            path_->setText(chosen);
        }
    });
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* pathRow = new QHBoxLayout;
    pathRow->addWidget(path_, 1);
    pathRow->addWidget(browse);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(WrappedText(
        "You have selected multiple files to recover.  Specify what drive and directory you "
        "would like the files to be recovered into.",
        this));
    layout->addLayout(pathRow);
    partial_->setObjectName("writePartialFiles");
    partial_->setToolTip(
        "A file that crosses sectors the disk cannot read is left out unless this is checked; "
        "then it is written at full size with zeros where those sectors were.");
    layout->addWidget(partial_);
    layout->addWidget(WrappedText(
        "Note: If possible, it is best to specify a directory on a different drive letter "
        "(partition) from where the deleted file currently exist.  Recovering files back to "
        "the same partition can overwrite data in deleted files that have not yet been "
        "recoved.",
        this));
    layout->addWidget(buttons);
    setMinimumWidth(460);
}

QString CRecoverToPathDialog::Directory() const {
    return path_->text();
}

bool CRecoverToPathDialog::WritePartialFiles() const {
    return partial_->isChecked();
}

std::optional<std::string> QtRecoverPrompts::SaveAs(const std::string& proposedPath) {
    QFileDialog dialog(parent_, "Save As", QString::fromStdString(proposedPath));
    dialog.setObjectName("saveAsDialog");
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.selectFile(QString::fromStdString(proposedPath));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().first().toStdString();
}

std::optional<std::string> QtRecoverPrompts::RecoverToPath(const std::string& proposedDirectory) {
    CRecoverToPathDialog dialog(QString::fromStdString(proposedDirectory), parent_);
    if (dialog.exec() != QDialog::Accepted) {
        return std::nullopt;
    }
    partial_ = dialog.WritePartialFiles();
    return dialog.Directory().toStdString();
}

}  // namespace relicta::gui
