#pragma once
// What the preview of a found file shows, decided from its first bytes: a picture, a PDF's
// first page, text, or the bytes in hex; and the facts listed below it.

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "scan/found_files.h"

namespace relicta::view {

enum class PreviewKind : uint8_t { Image, Pdf, Text, Hex };

// Text is shown up to this much of a file's data, hex up to kHexPreviewBytes.
inline constexpr std::size_t kTextPreviewBytes = std::size_t{64} * 1024;
inline constexpr std::size_t kHexPreviewBytes = 4096;

// By the bytes' signature (JPEG, PNG, GIF, BMP, WebP, TIFF; PDF), then as text when they read
// as UTF-8 or as UTF-16 with its byte-order mark; anything else in hex.
PreviewKind PreviewKindOf(std::span<const uint8_t> head);

// UTF-8, or UTF-16 after its byte-order mark, as UTF-8: at most kTextPreviewBytes of the
// data; what does not decode becomes U+FFFD.
std::string PreviewText(std::span<const uint8_t> bytes);

// At most kHexPreviewBytes, 16 a line: "00000010  48 65 6c 6c 6f 0a ...  |Hello.|".
std::string HexDump(std::span<const uint8_t> bytes);

// Label and value, for the lines below the preview.
using PreviewFact = std::pair<std::string, std::string>;
std::vector<PreviewFact> PreviewFacts(const scan::FoundFile& file);

}  // namespace relicta::view
