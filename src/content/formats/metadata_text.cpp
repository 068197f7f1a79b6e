#include "content/formats/metadata_text.h"

#include <algorithm>
#include <array>

#include "bytes/text.h"
#include "content/formats/utf8_text.h"

namespace relicta::content {
namespace {

constexpr char32_t kUndefined = 0xFFFD;

// PDFDocEncoding where it differs from Latin-1: 0x18..0x1F, then 0x80..0xA0.
constexpr char16_t kPdfDocLow[8] = {0x02D8, 0x02C7, 0x02C6, 0x02D9, 0x02DD, 0x02DB, 0x02DA, 0x02DC};
constexpr char16_t kPdfDocHigh[33] = {
    0x2022, 0x2020, 0x2021, 0x2026, 0x2014, 0x2013, 0x0192, 0x2044, 0x2039, 0x203A,     0x2212,
    0x2030, 0x201E, 0x201C, 0x201D, 0x2018, 0x2019, 0x201A, 0x2122, 0xFB01, 0xFB02,     0x0141,
    0x0152, 0x0160, 0x0178, 0x017D, 0x0131, 0x0142, 0x0153, 0x0161, 0x017E, kUndefined, 0x20AC};
constexpr uint8_t kPdfDocLowFirst = 0x18;
constexpr uint8_t kPdfDocHighFirst = 0x80;

bool IsUtf8(std::span<const uint8_t> text) {
    Utf8Follower follower;
    return std::all_of(text.begin(), text.end(), [&](uint8_t c) { return follower.Take(c); }) &&
           !follower.InCharacter();
}

}  // namespace

std::string Utf8FromLatin1(std::span<const uint8_t> text) {
    std::string out;
    for (uint8_t c : text) {
        bytes::AppendUtf8(out, c);
    }
    return out;
}

std::string Utf8FromUtf16(std::span<const uint8_t> text, bool bigEndian) {
    std::u16string units;
    units.reserve(text.size() / 2);
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        const uint8_t high = bigEndian ? text[i] : text[i + 1];
        const uint8_t low = bigEndian ? text[i + 1] : text[i];
        units.push_back(static_cast<char16_t>(high << 8 | low));
    }
    return bytes::Utf8FromUtf16(units);
}

std::string Utf8FromUtf16Bom(std::span<const uint8_t> text) {
    if (text.size() >= 2 && text[0] == 0xFE && text[1] == 0xFF) {
        return Utf8FromUtf16(text.subspan(2), true);
    }
    if (text.size() >= 2 && text[0] == 0xFF && text[1] == 0xFE) {
        return Utf8FromUtf16(text.subspan(2), false);
    }
    return Utf8FromUtf16(text, false);
}

std::string Utf8FromPdfDoc(std::span<const uint8_t> text) {
    std::string out;
    for (uint8_t c : text) {
        if (c >= kPdfDocLowFirst && c < kPdfDocLowFirst + std::size(kPdfDocLow)) {
            bytes::AppendUtf8(out, kPdfDocLow[c - kPdfDocLowFirst]);
        } else if (c >= kPdfDocHighFirst && c < kPdfDocHighFirst + std::size(kPdfDocHigh)) {
            bytes::AppendUtf8(out, kPdfDocHigh[c - kPdfDocHighFirst]);
        } else {
            bytes::AppendUtf8(out, c);
        }
    }
    return out;
}

std::string Utf8FromUtf8(std::span<const uint8_t> text) {
    if (!IsUtf8(text)) {
        return Utf8FromLatin1(text);
    }
    return {reinterpret_cast<const char*>(text.data()), text.size()};
}

std::string Trimmed(std::string text) {
    text.resize(std::min(text.size(), text.find('\0')));
    const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && space(text.back())) {
        text.pop_back();
    }
    const auto first = std::find_if_not(text.begin(), text.end(), space);
    text.erase(text.begin(), first);
    return text;
}

}  // namespace relicta::content
