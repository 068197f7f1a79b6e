#pragma once
// The progress window a scanner shows for one volume pass. Cancel only sets StopScan.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace relicta::app {

class ProgressWindow {
  public:
    virtual ~ProgressWindow() = default;
    virtual void SetText(const std::string& text) = 0;
    // The bar's range; ranges wider than 16 bits are scaled by the caller.
    virtual void SetRange(int lower, int upper) = 0;
    virtual void SetStep(int step) = 0;
    virtual void SetPos(int position) = 0;
    virtual void StepIt() = 0;
};

// A bar over `total` units of work on a 16-bit control: wide ranges are scaled, so the bar
// moves one step per `unitsPerStep` units instead of stopping at 65535.
class ScaledProgress {
  public:
    static constexpr int kMaxRange = 65534;

    ScaledProgress(ProgressWindow& window, int64_t total);
    void Step();

  private:
    ProgressWindow& window_;
    int64_t unitsPerStep_ = 1;
    int64_t pending_ = 0;
};

using ProgressFactory = std::function<std::unique_ptr<ProgressWindow>()>;

// The front end's progress window; without one, a window that shows nothing.
void SetProgressFactory(ProgressFactory factory);
std::unique_ptr<ProgressWindow> CreateProgressWindow();

}  // namespace relicta::app
