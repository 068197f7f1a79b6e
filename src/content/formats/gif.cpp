// GIF: the screen descriptor, then extension and image blocks, each a chain of sub-blocks, to
// the trailer.
#include "bytes/le_bytes.h"
#include "content/formats/all_formats.h"
#include "content/formats/gif_layout.h"
#include "content/formats/walk.h"

namespace relicta::content {
namespace {

using namespace gif;

constexpr uint64_t kMaxBytes = uint64_t{64} << 20;

// Skips a chain of sub-blocks from `pos`; the offset after its terminator, 0 when cut short.
uint64_t SkipSubBlocks(Window& data, uint64_t pos) {
    for (uint64_t n = 0; n < kMaxItems * 16; ++n) {
        uint8_t length = 0;
        if (!data.Byte(pos, length)) {
            return 0;
        }
        pos += 1 + uint64_t{length};
        if (length == 0) {
            return pos;
        }
    }
    return 0;
}

uint64_t ColorTableBytes(uint8_t flags) {
    return (flags & ColorTableFlag) != 0 ? 3 * (uint64_t{2} << (flags & ColorTableSize)) : 0;
}

// Where the image block at `pos` ends; 0 when cut short or not an image.
uint64_t SkipImage(Window& data, uint64_t pos) {
    const std::span<const uint8_t> image = data.At(pos, ImageDescriptorBytes);
    if (image.empty()) {
        return 0;
    }
    const uint64_t lzwAt = pos + ImageDescriptorBytes + ColorTableBytes(image[ImageFlags]);
    uint8_t lzwSize = 0;
    if (!data.Byte(lzwAt, lzwSize) || lzwSize == 0 || lzwSize > MaxLzwSize) {
        return 0;
    }
    return SkipSubBlocks(data, lzwAt + LzwSizeBytes);
}

// The walk the structure check and the end finder share: Ok with `at` just past the trailer,
// or where the blocks break.
StructureResult WalkGif(Window& data) {
    const std::span<const uint8_t> head = data.At(0, HeaderBytes);
    if (!Is(head, 0, Signature87) && !Is(head, 0, Signature89)) {
        return NoSignature("no GIF signature");
    }
    uint64_t pos = HeaderBytes + ColorTableBytes(head[ScreenFlags]);
    for (uint64_t n = 0; n < kMaxItems; ++n) {
        uint8_t block = 0;
        if (!data.Byte(pos, block)) {
            return Broken("cut short " + At(pos) + ", before the trailer", data.Size());
        }
        if (block == Trailer) {
            return OkUpTo(pos + 1);
        }
        uint64_t next = 0;
        if (block == ExtensionBlock) {
            next = SkipSubBlocks(data, pos + ExtensionHeaderBytes);
        } else if (block == ImageBlock) {
            next = SkipImage(data, pos);
        } else {
            return Broken("an unknown block " + At(pos), pos + 1);
        }
        if (next == 0) {
            return Broken("the block " + At(pos) + " is cut short", data.Size());
        }
        pos = next;
    }
    return Broken("too many blocks", pos);
}

bool IsGifHeader(std::span<const uint8_t> head) {
    return (Is(head, 0, Signature87) || Is(head, 0, Signature89)) &&
           bytes::U16(head, ScreenWidth) != 0 && bytes::U16(head, ScreenHeight) != 0;
}

}  // namespace

const Format kGifFormat = {
    .family = Family::Gif,
    .name = "GIF",
    .extension = "gif",
    .IsHeader = IsGifHeader,
    .Check = CheckByWalk<WalkGif>,
    .FindEnd = EndByWalk<WalkGif>,
    .ReadMetadata = nullptr,
    .maxBytes = kMaxBytes,
};

}  // namespace relicta::content
