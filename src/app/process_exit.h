#pragma once
// The one way the core ends the process, so that tests and fuzz targets can intercept it.

#include <functional>
#include <string>

namespace relicta::app {

// A hook may throw to unwind instead of exiting; when it returns, the process exits.
using ExitHook = std::function<void(int status)>;
void SetExitHook(ExitHook hook);

[[noreturn]] void ExitProcess(int status);

// A "Fatal error"-style message box followed by exit status 1.
[[noreturn]] void FatalError(const std::string& text, const std::string& caption);

// What a test hook throws to leave the code that asked to exit.
struct ProcessExit {
    int status;
};

}  // namespace relicta::app
