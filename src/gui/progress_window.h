#pragma once
// The modeless window a scanner shows for one volume pass; Cancel (or Esc) only asks the
// scan to stop.

#include <QDialog>

#include "app/progress.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace relicta::gui {

class CProgressWindow : public QDialog, public app::ProgressWindow {
    Q_OBJECT

  public:
    explicit CProgressWindow(QWidget* parent);

    void SetText(const std::string& text) override;
    void SetRange(int lower, int upper) override;
    void SetStep(int step) override;
    void SetPos(int position) override;
    void StepIt() override;

    QPushButton* CancelButton() const { return cancel_; }

  protected:
    void reject() override;  // Esc

  private:
    QLabel* text_;
    QProgressBar* bar_;
    QPushButton* cancel_;
    int step_ = 1;
};

}  // namespace relicta::gui
