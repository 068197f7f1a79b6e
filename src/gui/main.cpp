#include <QApplication>
#include <clocale>

#include "app/dialogs.h"
#include "gui/about.h"
#include "gui/salvex_app.h"
#include "volume/filetime.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    std::setlocale(LC_ALL, "");
    relicta::volume::PinLocalTimeZone();
    QApplication::setApplicationName("relicta-gui");
    QApplication::setApplicationDisplayName("Relicta");
    QApplication::setWindowIcon(relicta::gui::RelictaIcon());
    QApplication::setDesktopFileName("relicta-gui");

    relicta::gui::CSalvexApp salvex(QApplication::arguments().mid(1));
    const relicta::app::ScopedDialogs dialogs(salvex.Dialogs());
    if (!salvex.StartUp()) {
        return salvex.ExitStatus();
    }
    if (salvex.Frame()->QuitRequested()) {
        return 0;
    }
    return QApplication::exec();
}
