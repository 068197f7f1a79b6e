#include "app/scan_state.h"

namespace relicta::app {

bool StopScan = false;
std::string StatusText = "Ready";

namespace {
PumpHook& Hook() {
    static PumpHook hook;
    return hook;
}
}  // namespace

void SetPumpMessagesHook(PumpHook hook) {
    Hook() = std::move(hook);
}

bool PumpMessages() {
    return Hook() ? Hook()() : false;
}

void ResetScanState() {
    StopScan = false;
    StatusText = "Ready";
}

}  // namespace relicta::app
