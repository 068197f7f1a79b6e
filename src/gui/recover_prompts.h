#pragma once
// The recover command's choosers: "Save As" for one file and "Recover file(s) to path" for
// several.

#include <QDialog>

#include "recover/recover_command.h"

class QCheckBox;
class QLineEdit;

namespace relicta::gui {

class CRecoverToPathDialog : public QDialog {
    Q_OBJECT

  public:
    CRecoverToPathDialog(const QString& proposedDirectory, QWidget* parent);
    QString Directory() const;
    bool WritePartialFiles() const;

  private:
    QLineEdit* path_;
    QCheckBox* partial_;
};

class QtRecoverPrompts : public recover::RecoverPrompts {
  public:
    explicit QtRecoverPrompts(QWidget* parent) : parent_(parent) {}
    std::optional<std::string> SaveAs(const std::string& proposedPath) override;
    std::optional<std::string> RecoverToPath(const std::string& proposedDirectory) override;
    std::optional<bool> WritePartialFiles() const override { return partial_; }

  private:
    QWidget* parent_;
    bool partial_ = false;
};

}  // namespace relicta::gui
