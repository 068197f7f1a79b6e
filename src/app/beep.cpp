#include "app/beep.h"

namespace relicta::app {
namespace {
BeepHook& Hook() {
    static BeepHook hook;
    return hook;
}
}  // namespace

void SetBeepHook(BeepHook hook) {
    Hook() = std::move(hook);
}

void Beep(unsigned frequency, unsigned milliseconds) {
    if (Hook()) {
        Hook()(frequency, milliseconds);
    }
}

}  // namespace relicta::app
