#include "app/progress.h"

#include <algorithm>

namespace relicta::app {
namespace {

class SilentProgress : public ProgressWindow {
  public:
    void SetText(const std::string&) override {}
    void SetRange(int, int) override {}
    void SetStep(int) override {}
    void SetPos(int) override {}
    void StepIt() override {}
};

ProgressFactory& Factory() {
    static ProgressFactory factory;
    return factory;
}

}  // namespace

ScaledProgress::ScaledProgress(ProgressWindow& window, int64_t total) : window_(window) {
    const int64_t units = std::max<int64_t>(total, 1);
    unitsPerStep_ = (units + kMaxRange - 1) / kMaxRange;
    window_.SetRange(0, static_cast<int>((units + unitsPerStep_ - 1) / unitsPerStep_));
    window_.SetStep(1);
}

void ScaledProgress::Step() {
    if (++pending_ >= unitsPerStep_) {
        pending_ = 0;
        window_.StepIt();
    }
}

void SetProgressFactory(ProgressFactory factory) {
    Factory() = std::move(factory);
}

std::unique_ptr<ProgressWindow> CreateProgressWindow() {
    if (Factory()) {
        if (std::unique_ptr<ProgressWindow> window = Factory()()) {
            return window;
        }
    }
    return std::make_unique<SilentProgress>();
}

}  // namespace relicta::app
