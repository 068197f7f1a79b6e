#include "app/progress.h"

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

void SetProgressFactory(ProgressFactory factory) { Factory() = std::move(factory); }

std::unique_ptr<ProgressWindow> CreateProgressWindow() {
    if (Factory()) {
        if (std::unique_ptr<ProgressWindow> window = Factory()()) {
            return window;
        }
    }
    return std::make_unique<SilentProgress>();
}

}  // namespace relicta::app
