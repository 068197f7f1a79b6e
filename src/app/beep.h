#pragma once

#include <functional>

namespace relicta::app {

// The end-of-scan signal; the front end decides what a beep is (nothing by default).
using BeepHook = std::function<void(unsigned frequency, unsigned milliseconds)>;
void SetBeepHook(BeepHook hook);
void Beep(unsigned frequency, unsigned milliseconds);

}  // namespace relicta::app
