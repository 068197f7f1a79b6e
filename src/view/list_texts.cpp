#include "view/list_texts.h"

#include <algorithm>
#include <charconv>

#include "volume/filetime.h"

namespace relicta::view {
namespace {
constexpr int64_t kKilobyte = 1024;
constexpr int64_t kMegabyte = 1048576;

// A short text written in place (snprintf's "%0*d" without its cost: the list makes these
// texts for every file).
class ShortText {
  public:
    explicit ShortText(char* at) : end_(at) {}
    // `value` in decimal, zero-padded to `width` digits.
    ShortText& Number(int value, int width = 1) {
        char digits[kMaxIntDigits];
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
    char* End() const { return end_; }

  private:
    static constexpr int kMaxIntDigits = 12;  // with the sign
    char* end_;
};

}  // namespace

std::string SizeText(int64_t size) {
    if (size == 0) {
        return "0  ";
    }
    if (size < kMegabyte) {
        return std::to_string((size + kKilobyte - 1) / kKilobyte) + "KB";
    }
    // Rounded up without adding first: an exFAT entry may claim a size near 2^63.
    return std::to_string(size / kMegabyte + (size % kMegabyte != 0 ? 1 : 0)) + "MB";
}

std::string DateText(uint64_t localFileTime) {
    const volume::CalendarTime t = volume::CalendarFromFileTime(localFileTime);
    char text[kMaxDateTextBytes];
    const char* end = ShortText(text)
                          .Number(t.year)
                          .Char('/')
                          .Number(t.month)
                          .Char('/')
                          .Number(t.day)
                          .Char(' ')
                          .Number(t.hour)
                          .Char(':')
                          .Number(t.minute, 2)
                          .End();
    return std::string(static_cast<const char*>(text), end);
}

char* WriteIsoDateText(char* out, uint64_t localFileTime) {
    const volume::CalendarTime t = volume::CalendarFromFileTime(localFileTime);
    return ShortText(out)
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
        .End();
}

std::string IsoDateText(uint64_t localFileTime) {
    char text[kMaxDateTextBytes];
    const char* end = WriteIsoDateText(text, localFileTime);
    return std::string(static_cast<const char*>(text), end);
}

void AppendJsonString(std::string& out, const std::string& text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += ch;
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        } else {
            out += ch;
        }
    }
    out += '"';
}

std::string RecycledText(const std::string& recycledAs, uint64_t deletedLocalTime) {
    return "Recycled as " + recycledAs + ", deleted " + DateText(deletedLocalTime);
}

}  // namespace relicta::view
