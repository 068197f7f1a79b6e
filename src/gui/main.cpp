#include <QApplication>
#include <clocale>
#include <cstdio>
#include <optional>
#include <string_view>

#include "app/dialogs.h"
#include "gui/about.h"
#include "gui/salvex_app.h"
#include "platform/image_source.h"
#include "volume/filetime.h"

namespace {

constexpr const char* kUsage =
    "usage: relicta-gui [--volume [L=]PATH [--mapfile FILE]]...\n"
    "                   [DRIVE|PATH [--mapfile FILE]]\n"
    "\n"
    "The desktop program: scans a drive (a letter, or an image or device path attached on the\n"
    "spot) for deleted files, or asks which drive to scan, and recovers the files chosen.\n"
    "\n"
    "  --volume [L=]PATH   attach an image file or block device as drive L (default: the\n"
    "                      next free letter from C); a partitioned image gives one drive\n"
    "                      per FAT, exFAT or NTFS partition. Without --volume the block\n"
    "                      devices of this machine are listed.\n"
    "  --mapfile FILE      GNU ddrescue's map of the image the --volume before it names\n"
    "                      (or, with none, of PATH): what ddrescue did not rescue is read\n"
    "                      as unreadable, never as the zeros the image holds there\n"
    "  --help, -h          this text\n"
    "  --version           the version\n";

// --help and --version are answered before Qt starts, so they need no display.
std::optional<int> AnswerWithoutDisplay(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--version") {
            std::printf("relicta %s\n%s", RELICTA_VERSION,
                        relicta::platform::DiskImageFormatsText().c_str());
            return 0;
        }
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    if (const std::optional<int> status = AnswerWithoutDisplay(argc, argv)) {
        return *status;
    }
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
