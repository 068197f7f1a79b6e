#include "gui/progress_window.h"

#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include "app/scan_state.h"

namespace relicta::gui {

CProgressWindow::CProgressWindow(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint),
      text_(new QLabel("Scanning drive, please wait...", this)),
      bar_(new QProgressBar(this)),
      cancel_(new QPushButton("Cancel", this)) {
    setObjectName("progressWindow");
    setModal(false);
    auto* frame = new QVBoxLayout(this);
    frame->setContentsMargins(30, 24, 30, 18);
    frame->setSpacing(16);
    QFont larger = text_->font();
    larger.setPointSizeF(larger.pointSizeF() * 1.2);
    text_->setFont(larger);
    text_->setMinimumWidth(320);
    bar_->setTextVisible(false);
    frame->addWidget(text_);
    frame->addWidget(bar_);
    frame->addWidget(cancel_, 0, Qt::AlignHCenter);
    setStyleSheet("relicta--gui--CProgressWindow { border: 1px solid palette(dark); }");
    connect(cancel_, &QPushButton::clicked, this, [] { app::StopScan = true; });

    adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
    show();
    raise();
    activateWindow();
}

void CProgressWindow::SetText(const std::string& text) {
    text_->setText(QString::fromStdString(text));
}

void CProgressWindow::SetRange(int lower, int upper) {
    bar_->setRange(lower, upper);
}

void CProgressWindow::SetStep(int step) {
    step_ = step;
}

void CProgressWindow::SetPos(int position) {
    bar_->setValue(position);
}

void CProgressWindow::StepIt() {
    bar_->setValue(std::min(bar_->value() + step_, bar_->maximum()));
}

void CProgressWindow::reject() {
    app::StopScan = true;
}

}  // namespace relicta::gui
