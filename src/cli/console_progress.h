#pragma once
// The progress window of the command line: one line on stderr, redrawn in place.

#include <cstdio>
#include <string>

#include "app/progress.h"

namespace relicta::cli {

class ConsoleProgress : public app::ProgressWindow {
  public:
    explicit ConsoleProgress(std::FILE* out) : out_(out) {}
    ~ConsoleProgress() override;

    void SetText(const std::string& text) override;
    void SetRange(int lower, int upper) override;
    void SetStep(int step) override { step_ = step; }
    void SetPos(int position) override;
    void StepIt() override { SetPos(position_ + step_); }

  private:
    void Draw();

    std::FILE* out_;
    std::string text_;
    int lower_ = 0;
    int upper_ = 100;
    int step_ = 1;
    int position_ = 0;
    int drawnPercent_ = -1;
};

}  // namespace relicta::cli
