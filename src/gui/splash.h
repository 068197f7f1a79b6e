#pragma once

class QWidget;

namespace relicta::gui {

// The splash screen: closes after two seconds, or at once on a key or a mouse button in any
// window of the program (that key or click goes no further).
void ShowSplashScreen(QWidget* mainWindow);

}  // namespace relicta::gui
