#pragma once
// The text of a title or an artist as a file stores it, decoded to UTF-8 for a file's name.

#include <cstdint>
#include <span>
#include <string>

namespace relicta::content {

std::string Utf8FromLatin1(std::span<const uint8_t> text);
// UTF-16 without a byte-order mark, in the order given; a lone surrogate becomes U+FFFD.
std::string Utf8FromUtf16(std::span<const uint8_t> text, bool bigEndian);
// UTF-16 after a byte-order mark, which says the order; little-endian without one.
std::string Utf8FromUtf16Bom(std::span<const uint8_t> text);
// PDFDocEncoding: Latin-1 but for the typographic marks in 0x18..0x1F and 0x80..0xA0.
std::string Utf8FromPdfDoc(std::span<const uint8_t> text);
// Bytes that claim to be UTF-8: as they are when they are, else read as Latin-1.
std::string Utf8FromUtf8(std::span<const uint8_t> text);

// A value ends at its first NUL; white space around it is dropped.
std::string Trimmed(std::string text);

}  // namespace relicta::content
