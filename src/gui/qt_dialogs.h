#pragma once
// Message boxes of the desktop program.

#include <QPointer>
#include <QWidget>

#include "app/dialogs.h"

namespace relicta::gui {

class QtDialogs : public app::Dialogs {
  public:
    // The window that owns boxes shown with the main window as owner.
    void SetMainWindow(QWidget* window) { mainWindow_ = window; }
    app::MbResult Show(const app::MessageBoxRequest& request) override;

  private:
    QPointer<QWidget> mainWindow_;
};

}  // namespace relicta::gui
