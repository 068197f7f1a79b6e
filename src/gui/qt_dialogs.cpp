#include "gui/qt_dialogs.h"

#include <QApplication>
#include <QMessageBox>

namespace relicta::gui {
namespace {

QMessageBox::StandardButtons ButtonsOf(app::MbButtons buttons) {
    switch (buttons) {
        case app::MbButtons::OkCancel:
            return QMessageBox::Ok | QMessageBox::Cancel;
        case app::MbButtons::YesNoCancel:
            return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
        case app::MbButtons::AbortRetryIgnore:
            return QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore;
        case app::MbButtons::Ok:
            break;
    }
    return QMessageBox::Ok;
}

QMessageBox::Icon IconOf(app::MbIcon icon) {
    switch (icon) {
        case app::MbIcon::Warning:
            return QMessageBox::Warning;
        case app::MbIcon::Error:
            return QMessageBox::Critical;
        case app::MbIcon::Information:
            return QMessageBox::Information;
        case app::MbIcon::Question:
            return QMessageBox::Question;
        case app::MbIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

app::MbResult ResultOf(int button, app::MbButtons buttons) {
    switch (button) {
        case QMessageBox::Ok:
            return app::MbResult::Ok;
        case QMessageBox::Yes:
            return app::MbResult::Yes;
        case QMessageBox::No:
            return app::MbResult::No;
        case QMessageBox::Abort:
            return app::MbResult::Abort;
        case QMessageBox::Retry:
            return app::MbResult::Retry;
        case QMessageBox::Ignore:
            return app::MbResult::Ignore;
        default:
            break;
    }
    // A box closed from its title bar: the consistency report counts that as Abort.
    return buttons == app::MbButtons::AbortRetryIgnore ? app::MbResult::Abort
                                                       : app::MbResult::Cancel;
}

}  // namespace

app::MbResult QtDialogs::Show(const app::MessageBoxRequest& request) {
    // An open modal dialog owns the box in any case, so the box is never hidden behind it.
    QWidget* parent = QApplication::activeModalWidget();
    if (parent == nullptr && request.owner == app::MbOwner::MainWindow) {
        parent = mainWindow_;
    }
    QMessageBox box(IconOf(request.icon), QString::fromStdString(request.caption),
                    QString::fromStdString(request.text), ButtonsOf(request.buttons), parent);
    box.setObjectName("messageBox");
    if (request.taskModal) {
        box.setWindowModality(Qt::ApplicationModal);
    }
    if (request.foreground) {
        box.raise();
        box.activateWindow();
    }
    return ResultOf(box.exec(), request.buttons);
}

}  // namespace relicta::gui
