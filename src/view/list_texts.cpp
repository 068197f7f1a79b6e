#include "view/list_texts.h"

#include <algorithm>
#include <charconv>

#include "volume/filetime.h"

namespace relicta::view {
namespace {
constexpr int64_t kKilobyte = 1024;
constexpr int64_t kMegabyte = 1048576;

// A short text built in place, one append at the end (snprintf's "%0*d" without its cost:
// the list makes these texts for every file).
class ShortText {
  public:
    // `value` in decimal, zero-padded to `width` digits.
    ShortText& Number(int value, int width = 1) {
        char digits[kMaxDigits];
        const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        for (auto length = end - digits; value >= 0 && length < width; ++length) {
            *end_++ = '0';
        }
        end_ = std::copy(static_cast<const char*>(digits), end, end_);
        return *this;
    }
    ShortText& Char(char c) {
        *end_++ = c;
        return *this;
    }
    void AppendTo(std::string& text) const {
        text.append(buffer_, static_cast<std::size_t>(end_ - buffer_));
    }

  private:
    static constexpr int kMaxDigits = 12;  // an int with its sign
    static constexpr int kMaxFields = 6;
    char buffer_[kMaxFields * (kMaxDigits + 1)];
    char* end_ = buffer_;
};

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
    ShortText()
        .Number(t.year)
        .Char('/')
        .Number(t.month)
        .Char('/')
        .Number(t.day)
        .Char(' ')
        .Number(t.hour)
        .Char(':')
        .Number(t.minute, 2)
        .AppendTo(text);
    return text;
}

void AppendIsoDateText(std::string& text, uint64_t localFileTime) {
    const volume::CalendarTime t = volume::CalendarFromFileTime(localFileTime);
    ShortText()
        .Number(t.year, 4)
        .Char('-')
        .Number(t.month, 2)
        .Char('-')
        .Number(t.day, 2)
        .Char('T')
        .Number(t.hour, 2)
        .Char(':')
        .Number(t.minute, 2)
        .Char(':')
        .Number(t.second, 2)
        .AppendTo(text);
}

std::string IsoDateText(uint64_t localFileTime) {
    std::string text;
    AppendIsoDateText(text, localFileTime);
    return text;
}

}  // namespace relicta::view
