// Plain text: valid UTF-8 (or UTF-16 with its byte-order mark), no NUL.
#include <algorithm>

#include "content/formats/all_formats.h"
#include "content/formats/utf8_text.h"
#include "content/formats/walk.h"

namespace relicta::content {
namespace {

StructureResult CheckText(Window& data) {
    const uint64_t size = data.Size();
    const std::span<const uint8_t> bom = UpTo(data, 0, 2);
    if (bom.size() == 2 &&
        ((bom[0] == 0xFF && bom[1] == 0xFE) || (bom[0] == 0xFE && bom[1] == 0xFF))) {
        return size % 2 == 0 ? Ok() : Broken("UTF-16 text of an odd length");
    }
    Utf8Follower utf8;
    for (uint64_t pos = 0; pos < size;) {
        const std::size_t n = data.BlockAt(pos);
        const std::span<const uint8_t> block = data.At(pos, n);
        if (block.empty()) {
            return Broken("unreadable " + At(pos));
        }
        for (std::size_t i = 0; i < block.size(); ++i) {
            const bool nul = block[i] == 0 && !utf8.InCharacter();
            if (utf8.Take(block[i])) {
                continue;
            }
            const uint64_t at = pos + i;
            if (at == 0) {
                return NoSignature(nul ? "a NUL byte at the start" : "not UTF-8 at the start");
            }
            return Broken((nul ? "a NUL byte " : "not UTF-8 ") + At(at), at);
        }
        pos += n;
    }
    return utf8.InCharacter() ? Broken("cut short in a UTF-8 character at the end") : Ok();
}

// Fewer text bytes than this before a sector's zeros are no file worth carving: a name or a
// string in some binary file's sector.
constexpr std::size_t kMinTextBytes = 16;

// Text from the first byte, to the end of the sector or to zeros that fill the rest of it.
bool IsTextHeader(std::span<const uint8_t> head) {
    Utf8Follower utf8;
    for (std::size_t i = 0; i < head.size(); ++i) {
        const uint8_t c = head[i];
        if (c == 0) {
            return i >= kMinTextBytes && !utf8.InCharacter() &&
                   std::all_of(head.begin() + static_cast<std::ptrdiff_t>(i), head.end(),
                               [](uint8_t b) { return b == 0; });
        }
        if (IsControlByte(c) || !utf8.Take(c)) {
            return false;
        }
    }
    return !head.empty();
}

// Text runs on to the first byte that is not text: a NUL, a control byte, broken UTF-8. Its
// end is a guess: the file may have ended sooner, in text that followed it.
FileEnd FindTextEnd(Window& data) {
    Utf8Follower utf8;
    uint64_t end = 0;  // just past the last whole character
    for (uint64_t pos = 0; pos < data.Size();) {
        const std::size_t n = data.BlockAt(pos);
        const std::span<const uint8_t> block = data.At(pos, n);
        for (std::size_t i = 0; i < block.size(); ++i) {
            if (IsControlByte(block[i]) || !utf8.Take(block[i])) {
                return end > 0 ? GuessedEndAt(end) : NoEnd("no text at the start");
            }
            if (!utf8.InCharacter()) {
                end = pos + i + 1;
            }
        }
        if (block.empty()) {
            break;
        }
        pos += n;
    }
    return end > 0 ? GuessedEndAt(end) : NoEnd("no text at the start");
}

}  // namespace

const Format kTextFormat = {
    .family = Family::Text,
    .name = "text",
    .extension = "txt",
    .IsHeader = IsTextHeader,
    .Check = CheckText,
    .FindEnd = FindTextEnd,
    .ReadMetadata = nullptr,
    .maxBytes = uint64_t{16} << 20,
};

}  // namespace relicta::content
