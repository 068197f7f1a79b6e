#pragma once
// Ctrl+C while a command works: the first asks the work to stop (StopScan, through the
// message pump), a second ends the process the ordinary way.

namespace relicta::cli {

class CtrlCStops {
  public:
    CtrlCStops();
    ~CtrlCStops();
    CtrlCStops(const CtrlCStops&) = delete;
    CtrlCStops& operator=(const CtrlCStops&) = delete;

    bool Pressed() const;
};

}  // namespace relicta::cli
