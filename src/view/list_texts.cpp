#include "view/list_texts.h"

#include <charconv>

#include "volume/filetime.h"

namespace relicta::view {
namespace {
constexpr int64_t kKilobyte = 1024;
constexpr int64_t kMegabyte = 1048576;

// `value` in decimal, zero-padded to `width` digits (snprintf's "%0*d" without its cost: the
// list makes these texts for every file).
void AppendNumber(std::string& text, int value, int width = 1) {
    char digits[16];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    const int length = static_cast<int>(end - digits);
    if (value >= 0 && length < width) {
        text.append(static_cast<std::size_t>(width - length), '0');
    }
    text.append(digits, end);
}

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
    std::string text;
    AppendNumber(text, t.year);
    text += '/';
    AppendNumber(text, t.month);
    text += '/';
    AppendNumber(text, t.day);
    text += ' ';
    AppendNumber(text, t.hour);
    text += ':';
    AppendNumber(text, t.minute, 2);
    return text;
}

void AppendIsoDateText(std::string& text, uint64_t localFileTime) {
    const volume::CalendarTime t = volume::CalendarFromFileTime(localFileTime);
    AppendNumber(text, t.year, 4);
    text += '-';
    AppendNumber(text, t.month, 2);
    text += '-';
    AppendNumber(text, t.day, 2);
    text += 'T';
    AppendNumber(text, t.hour, 2);
    text += ':';
    AppendNumber(text, t.minute, 2);
    text += ':';
    AppendNumber(text, t.second, 2);
}

std::string IsoDateText(uint64_t localFileTime) {
    std::string text;
    AppendIsoDateText(text, localFileTime);
    return text;
}

}  // namespace relicta::view
