#include "view/list_texts.h"

#include <cstdio>

#include "volume/filetime.h"

namespace relicta::view {
namespace {
constexpr int64_t kKilobyte = 1024;
constexpr int64_t kMegabyte = 1048576;
}  // namespace

std::string SizeText(int64_t size) {
    if (size == 0) {
        return "0  ";
    }
    if (size < kMegabyte) {
        return std::to_string((size + kKilobyte - 1) / kKilobyte) + "KB";
    }
    return std::to_string((size + kMegabyte - 1) / kMegabyte) + "MB";
}

std::string DateText(uint64_t localFileTime) {
    const volume::CalendarTime t = volume::CalendarFromFileTime(localFileTime);
    char text[64];
    std::snprintf(text, sizeof text, "%d/%d/%d %d:%02d", t.year, t.month, t.day, t.hour, t.minute);
    return text;
}

std::string IsoDateText(uint64_t localFileTime) {
    const volume::CalendarTime t = volume::CalendarFromFileTime(localFileTime);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

}  // namespace relicta::view
