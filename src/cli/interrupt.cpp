#include "cli/interrupt.h"

#include <csignal>

#include "app/progress.h"
#include "app/scan_state.h"

namespace relicta::cli {
namespace {

volatile std::sig_atomic_t interrupted = 0;

void OnInterrupt(int) {
    interrupted = 1;
    std::signal(SIGINT, SIG_DFL);
}

}  // namespace

CtrlCStops::CtrlCStops() {
    interrupted = 0;
    std::signal(SIGINT, OnInterrupt);
    app::SetPumpMessagesHook([] {
        if (interrupted) {
            app::StopScan = true;
        }
        return false;
    });
}

CtrlCStops::~CtrlCStops() {
    std::signal(SIGINT, SIG_DFL);
    app::SetPumpMessagesHook(nullptr);
}

bool CtrlCStops::Pressed() const {
    return interrupted != 0;
}

}  // namespace relicta::cli
