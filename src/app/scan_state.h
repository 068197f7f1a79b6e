#pragma once
// What keeps the one thread responsive and stoppable during a scan.

#include <functional>
#include <string>

namespace relicta::app {

// Set by Cancel, a quit request or the scanners; cleared when a scan starts.
extern bool StopScan;
// The status-line text: "Ready", or what the scan driver is doing.
extern std::string StatusText;

// The front end's message pump: returns true when a quit was requested (StopScan is then
// already set). Without a hook, PumpMessages only reports StopScan.
using PumpHook = std::function<bool()>;
void SetPumpMessagesHook(PumpHook hook);
bool PumpMessages();

void ResetScanState();

}  // namespace relicta::app
