#pragma once

#include <string>

#include "app/dialogs.h"

namespace relicta::app {

// Reports the thread's last platform error, if any: "System Error" with the system's text,
// or "Unknown System Error". Returns the box's answer, or 0 when there was no error.
int ShowSystemError();
// The same, naming what failed: "System Error" with "subject: text".
int ShowSystemError(const std::string& subject);

}  // namespace relicta::app
