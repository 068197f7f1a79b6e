// What the preview makes of a file's first bytes: its kind by signature, text in UTF-8 or
// UTF-16, and the hex lines.

#include "view/file_preview.h"

#include <gtest/gtest.h>

#include <string_view>

namespace relicta::view {
namespace {

std::span<const uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(FilePreview, KindBySignatureThenByText) {
    using namespace std::string_view_literals;
    const std::pair<std::string_view, PreviewKind> cases[] = {
        {"\xFF\xD8\xFF\xE0junk"sv, PreviewKind::Image},
        {"\x89PNG\r\n\x1A\n"sv, PreviewKind::Image},
        {"GIF89a"sv, PreviewKind::Image},
        {"RIFF\x10\0\0\0WEBPVP8 "sv, PreviewKind::Image},
        {"RIFF\x10\0\0\0WAVEfmt "sv, PreviewKind::Hex},
        {"II*\0\x08\0\0\0"sv, PreviewKind::Image},
        {"%PDF-1.7\n"sv, PreviewKind::Pdf},
        {"Grocery list\r\n- cr\xC3\xA8me\r\n"sv, PreviewKind::Text},
        {"\xFF\xFEH\0i\0"sv, PreviewKind::Text},
        {"\xEF\xBB\xBFhello"sv, PreviewKind::Text},
        {"text\0with a NUL"sv, PreviewKind::Hex},
        {"\x01\x02\x03\x04\x05"sv, PreviewKind::Hex},
        {"bad \xC3\x28 UTF-8"sv, PreviewKind::Hex},
        {""sv, PreviewKind::Hex},
    };
    for (const auto& [bytes, kind] : cases) {
        EXPECT_EQ(PreviewKindOf(Bytes(bytes)), kind) << bytes;
    }
}

// Only the first 4 KiB are judged: a character cut by that window is no fault, a bad byte
// or a run of control characters just before it is.
TEST(FilePreview, KindJudgedOnTheFirstBytes) {
    const std::string window(4095, 'a');
    const std::string tail(10, 'b');
    const std::pair<std::string, PreviewKind> cases[] = {
        {window + "\xC3\xA9" + tail, PreviewKind::Text},
        {window.substr(1) + "\xFF" + tail, PreviewKind::Hex},
        {std::string(4095, '\x01') + "\xC3\xA9" + tail, PreviewKind::Hex},
        {window + "\xC3", PreviewKind::Hex},
    };
    for (const auto& [bytes, kind] : cases) {
        EXPECT_EQ(PreviewKindOf(Bytes(bytes)), kind) << bytes.substr(4090);
    }
}

TEST(FilePreview, TextInEitherEncodingAsUtf8) {
    using namespace std::string_view_literals;
    const std::pair<std::string_view, std::string> cases[] = {
        {"plain"sv, "plain"},
        {"\xEF\xBB\xBFwith BOM"sv, "with BOM"},
        {"\xFF\xFEh\0\xE9\0=\xD8\x00\xDE"sv, "h\xC3\xA9\xF0\x9F\x98\x80"},  // h, é, 😀
        {"\xFE\xFF\0h\0\xE9"sv, "h\xC3\xA9"},
        {"\xFF\xFE\x00\xD8x\0"sv, "\xEF\xBF\xBDx"},  // a lone surrogate
        {"a\xFF"
         "b"sv,
         "a\xEF\xBF\xBD"
         "b"},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(PreviewText(Bytes(bytes)), text) << bytes;
    }
    const std::string big(kTextPreviewBytes + 10, 'x');
    EXPECT_EQ(PreviewText(Bytes(big)).size(), kTextPreviewBytes);
    std::string accents = "a";
    while (accents.size() <= kTextPreviewBytes) {
        accents += "\xC3\xA9";
    }
    EXPECT_EQ(PreviewText(Bytes(accents)), accents.substr(0, kTextPreviewBytes - 1))
        << "a character cut by the limit is left out";
}

TEST(FilePreview, HexLinesOfSixteenBytesUpToFourKiB) {
    EXPECT_EQ(HexDump(Bytes("Hello, world!\n\x01\xFF!")),
              "00000000  48 65 6c 6c 6f 2c 20 77  6f 72 6c 64 21 0a 01 ff  |Hello, world!...|\n"
              "00000010  21                                                |!|\n");
    const std::string big(kHexPreviewBytes * 2, 'A');
    const std::string dump = HexDump(Bytes(big));
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 256);
}

}  // namespace
}  // namespace relicta::view
