#include "app/process_exit.h"

#include <cstdio>
#include <cstdlib>

#include "app/dialogs.h"

namespace relicta::app {
namespace {
ExitHook& Hook() {
    static ExitHook hook;
    return hook;
}
}  // namespace

void SetExitHook(ExitHook hook) {
    Hook() = std::move(hook);
}

void ExitProcess(int status) {
    if (Hook()) {
        Hook()(status);
    }
    std::fflush(nullptr);
    std::exit(status);
}

void FatalError(const std::string& text, const std::string& caption) {
    MessageBox(text, caption);
    ExitProcess(1);
}

}  // namespace relicta::app
