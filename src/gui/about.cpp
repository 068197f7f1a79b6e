#include "gui/about.h"

#include <QDialog>
#include <QLinearGradient>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace relicta::gui {
namespace {

constexpr int kSplashWidth = 480;
constexpr int kSplashHeight = 280;

// A page being lifted back out of a dark drive platter.
void PaintMark(QPainter& p, const QRectF& box) {
    p.setRenderHint(QPainter::Antialiasing);
    const QPointF centre = box.center();
    const qreal r = box.width() / 2;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x23, 0x36, 0x4d));
    p.drawEllipse(centre, r, r);
    p.setBrush(QColor(0x3b, 0x5a, 0x80));
    p.drawEllipse(centre, r * 0.62, r * 0.62);
    p.setBrush(QColor(0x23, 0x36, 0x4d));
    p.drawEllipse(centre, r * 0.14, r * 0.14);
    QPainterPath page;
    const QRectF sheet(centre.x() - r * 0.30, box.top() + r * 0.10, r * 0.62, r * 0.80);
    page.addRoundedRect(sheet, r * 0.05, r * 0.05);
    p.setBrush(QColor(0xf4, 0xf1, 0xe8));
    p.setPen(QPen(QColor(0xe0, 0x8a, 0x1e), r * 0.05));
    p.drawPath(page);
    p.setPen(QPen(QColor(0x9a, 0xa5, 0xb1), r * 0.04));
    for (int line = 1; line <= 3; ++line) {
        const qreal y = sheet.top() + sheet.height() * line / 4.5;
        p.drawLine(QPointF(sheet.left() + r * 0.1, y), QPointF(sheet.right() - r * 0.1, y));
    }
}

}  // namespace

QIcon RelictaIcon() {
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        PaintMark(painter, QRectF(0, 0, size, size));
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QPixmap SplashArtwork() {
    QPixmap pixmap(kSplashWidth, kSplashHeight);
    QPainter p(&pixmap);
    QLinearGradient sky(0, 0, 0, kSplashHeight);
    sky.setColorAt(0, QColor(0x18, 0x26, 0x38));
    sky.setColorAt(1, QColor(0x2c, 0x45, 0x63));
    p.fillRect(pixmap.rect(), sky);
    PaintMark(p, QRectF(32, 60, 150, 150));
    p.setPen(QColor(0xf4, 0xf1, 0xe8));
    QFont title = p.font();
    title.setPixelSize(40);
    title.setBold(true);
    p.setFont(title);
    p.drawText(QRect(200, 80, 270, 60), Qt::AlignLeft | Qt::AlignVCenter, "Relicta");
    QFont line = p.font();
    line.setPixelSize(15);
    line.setBold(false);
    p.setFont(line);
    p.drawText(QRect(202, 140, 270, 60), Qt::AlignLeft | Qt::TextWordWrap,
               "Finds deleted files on FAT and NTFS volumes and brings them back.");
    p.setPen(QColor(0xe0, 0x8a, 0x1e));
    p.drawText(QRect(202, 230, 270, 30), Qt::AlignLeft, "Tarnwick\u00ae");
    return pixmap;
}

void ShowAboutBox(QWidget* parent) {
    QMessageBox box(parent);
    box.setObjectName("aboutBox");
    box.setWindowTitle("About Relicta");
    box.setIconPixmap(RelictaIcon().pixmap(64, 64));
    box.setText(QString("<b>%1</b><br>Version %2").arg(kCaption, RELICTA_VERSION));
    box.setInformativeText(
        "Finds deleted files on FAT12, FAT16, FAT32 and NTFS volumes and copies their data "
        "out to new files. The volume being read is never written.");
    box.exec();
}

void ShowHelpContents(QWidget* parent) {
    auto* window = new QDialog(parent);
    window->setObjectName("helpWindow");
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle("Relicta Help");
    auto* browser = new QTextBrowser(window);
    browser->setOpenExternalLinks(true);
    browser->setSource(QUrl("qrc:/help/index.html"));
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(browser);
    window->resize(640, 560);
    window->show();
}

}  // namespace relicta::gui
