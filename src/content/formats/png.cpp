// PNG: the signature, then chunks to IEND, each whole and with its CRC right.
#include <algorithm>
#include <optional>

#include "bytes/be_bytes.h"
#include "content/formats/all_formats.h"
#include "content/formats/png_layout.h"
#include "content/formats/walk.h"

namespace relicta::content {
namespace {

using namespace png;

constexpr uint64_t kMaxBytes = uint64_t{256} << 20;

bool IsLetter(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The walk the structure check and the end finder share: Ok with `at` just past IEND, or where
// the chunks break. A chunk that fails its CRC breaks somewhere inside: `at` is its end.
StructureResult WalkPng(Window& data) {
    if (!Is(data.At(0, Signature.size()), 0, Signature)) {
        return NoSignature("no PNG signature");
    }
    const uint64_t size = data.Size();
    uint64_t pos = Signature.size();
    for (uint64_t n = 0; n < kMaxItems; ++n) {
        const std::span<const uint8_t> head = data.At(pos, ChunkHeaderBytes);
        if (head.empty()) {
            return Broken("cut short " + At(pos) + ", before the IEND chunk", size);
        }
        const uint32_t length = bytes::Be32(head, ChunkLength);
        const std::string type = FourCc(head, ChunkType);
        if (!std::all_of(head.begin() + ChunkType, head.end(), IsLetter)) {
            return Broken("no chunk " + At(pos), pos + ChunkHeaderBytes);
        }
        if (n == 0 && type != "IHDR") {
            return Broken("the first chunk is not IHDR", pos + ChunkHeaderBytes);
        }
        if (length > MaxChunkLength || length + ChunkOverhead > size - pos) {
            return Broken("the " + type + " chunk " + At(pos) + " runs past the end of the file",
                          pos + ChunkHeaderBytes);
        }
        const uint64_t end = pos + ChunkOverhead + length;
        const std::optional<uint32_t> crc =
            CrcOf(data, pos + ChunkData, length, Crc32(0, head.subspan(ChunkType)));
        if (!crc) {
            return Broken("unreadable " + At(pos + ChunkData), end);
        }
        const std::span<const uint8_t> stored = data.At(end - CrcBytes, CrcBytes);
        if (stored.empty() || *crc != bytes::Be32(stored, 0)) {
            return Broken("the " + type + " chunk " + At(pos) + " fails its CRC", end);
        }
        if (type == "IEND") {
            return OkUpTo(end);
        }
        pos = end;
    }
    return Broken("too many chunks", pos);
}

bool IsPngHeader(std::span<const uint8_t> head) {
    return Is(head, 0, Signature) && Is(head, Signature.size(), FirstChunk);
}

}  // namespace

const Format kPngFormat = {
    .family = Family::Png,
    .name = "PNG",
    .extension = "png",
    .IsHeader = IsPngHeader,
    .Check = CheckByWalk<WalkPng>,
    .FindEnd = EndByWalk<WalkPng>,
    .ReadMetadata = nullptr,
    .maxBytes = kMaxBytes,
};

}  // namespace relicta::content
