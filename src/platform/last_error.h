#pragma once
// The thread-local last error of a failed platform call (errno values) and its text.

#include <cerrno>
#include <string>

namespace relicta::platform {

// Error codes the volume logic tells apart.
inline constexpr int kErrorNotReady = ENOMEDIUM;     // removable drive without medium
inline constexpr int kErrorAccessDenied = EACCES;    // EPERM is folded into this
inline constexpr int kErrorWrongDisk = EMEDIUMTYPE;  // no file system could be named
inline constexpr int kErrorInvalidParameter = EINVAL;

int GetLastError();
void SetLastError(int code);

// The system's text for `code`, or empty when the C library has none.
std::string SystemErrorText(int code);

}  // namespace relicta::platform
