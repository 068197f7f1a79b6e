#include "gui/splash.h"

#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <QSplashScreen>
#include <QTimer>

#include "gui/about.h"

namespace relicta::gui {
namespace {

constexpr int kSplashMs = 2000;

class SplashCloser : public QObject {
  public:
    SplashCloser(QSplashScreen* splash, QWidget* mainWindow)
        : QObject(splash), splash_(splash), mainWindow_(mainWindow) {
        qApp->installEventFilter(this);
        QTimer::singleShot(kSplashMs, this, [this] { Close(); });
    }
    ~SplashCloser() override { qApp->removeEventFilter(this); }

  protected:
    bool eventFilter(QObject*, QEvent* event) override {
        switch (event->type()) {
            case QEvent::KeyPress:
            case QEvent::MouseButtonPress:
            case QEvent::NonClientAreaMouseButtonPress:
                Close();
                return true;
            default:
                return false;
        }
    }

  private:
    void Close() {
        qApp->removeEventFilter(this);
        if (mainWindow_ != nullptr) {
            mainWindow_->update();
        }
        if (splash_ != nullptr) {
            splash_->close();
            splash_->deleteLater();
        }
    }

    QPointer<QSplashScreen> splash_;
    QPointer<QWidget> mainWindow_;
};

}  // namespace

void ShowSplashScreen(QWidget* mainWindow) {
    auto* splash = new QSplashScreen(SplashArtwork());
    splash->setObjectName("splash");
    new SplashCloser(splash, mainWindow);
    splash->show();
    splash->raise();
}

}  // namespace relicta::gui
