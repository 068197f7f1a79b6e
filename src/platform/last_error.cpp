#include "platform/last_error.h"

#include <cstring>

namespace relicta::platform {
namespace {
thread_local int lastError = 0;
}

int GetLastError() {
    return lastError;
}

void SetLastError(int code) {
    lastError = code == EPERM ? kErrorAccessDenied : code;
}

std::string SystemErrorText(int code) {
    if (code <= 0) {
        return {};
    }
    char buffer[256];
    const char* text = strerror_r(code, buffer, sizeof buffer);
    // glibc makes up "Unknown error N" for codes it has no text for.
    if (text == nullptr || std::strncmp(text, "Unknown error", 13) == 0) {
        return {};
    }
    return text;
}

}  // namespace relicta::platform
