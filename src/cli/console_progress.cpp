#include "cli/console_progress.h"

namespace relicta::cli {
namespace {
constexpr int kBarWidth = 30;
}

ConsoleProgress::~ConsoleProgress() {
    std::fprintf(out_, "\r\033[K");
    std::fflush(out_);
}

void ConsoleProgress::SetText(const std::string& text) {
    text_ = text;
    drawnPercent_ = -1;
    Draw();
}

void ConsoleProgress::SetRange(int lower, int upper) {
    lower_ = lower;
    upper_ = upper > lower ? upper : lower + 1;
    position_ = lower;
    drawnPercent_ = -1;
    Draw();
}

void ConsoleProgress::SetPos(int position) {
    // A bar past its end starts again, as the window's bar does.
    position_ = position > upper_ ? lower_ : position;
    Draw();
}

void ConsoleProgress::Draw() {
    const int percent = static_cast<int>(100LL * (position_ - lower_) / (upper_ - lower_));
    if (percent == drawnPercent_) {
        return;
    }
    drawnPercent_ = percent;
    const int filled = percent * kBarWidth / 100;
    std::fprintf(out_, "\r\033[K%s [%.*s%*s] %3d%%", text_.c_str(), filled,
                 "##############################", kBarWidth - filled, "", percent);
    std::fflush(out_);
}

}  // namespace relicta::cli
