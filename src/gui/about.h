#pragma once
// The program's own artwork, the About box and the help page.

#include <QIcon>
#include <QPixmap>

class QWidget;

namespace relicta::gui {

inline constexpr const char* kCaption = "Tarnwick\u00ae Relicta";

QIcon RelictaIcon();
QPixmap SplashArtwork();
void ShowAboutBox(QWidget* parent);
// Help > Contents: the help page that ships inside the program.
void ShowHelpContents(QWidget* parent);

}  // namespace relicta::gui
