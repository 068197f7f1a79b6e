// RIFF (WAV, AVI, WebP): the RIFF chunk's size, the chunks inside it (LIST chunks' too) and an
// AVI's continuation chunks after it.
#include <algorithm>

#include "bytes/le_bytes.h"
#include "content/formats/all_formats.h"
#include "content/formats/riff_layout.h"
#include "content/formats/walk.h"

namespace relicta::content {
namespace {

using namespace riff;

constexpr uint64_t kMaxBytes = uint64_t{4} << 30;
constexpr int kMaxDepth = 4;

// The form types carved, and the extension each calls for.
constexpr std::pair<std::string_view, std::string_view> kForms[] = {
    {"WAVE", "wav"},
    {"AVI ", "avi"},
    {"WEBP", "webp"},
};

std::string_view ExtensionOfForm(std::string_view form) {
    for (const auto& [type, extension] : kForms) {
        if (type == form) {
            return extension;
        }
    }
    return {};
}

bool IsFourCc(std::span<const uint8_t> id) {
    return std::all_of(id.begin(), id.end(), [](uint8_t c) { return c >= 0x20 && c < 0x7F; });
}

struct ChunkWalk {
    bool format = false;
    bool samples = false;
    uint64_t chunks = 0;
    std::string broken;
    uint64_t at = 0;  // where it breaks
};

// Walks the chunks in [pos, end); false at the first broken one.
bool WalkChunks(Window& data, uint64_t pos, uint64_t end, int depth, ChunkWalk& walk) {
    while (pos + ChunkHeaderBytes <= end && walk.chunks++ < kMaxItems) {
        const std::span<const uint8_t> c =
            data.At(pos, FormHeaderBytes <= end - pos ? FormHeaderBytes : ChunkHeaderBytes);
        if (c.empty()) {
            walk.broken = "unreadable " + At(pos);
            walk.at = pos;
            return false;
        }
        const std::string id = FourCc(c, ChunkId);
        const uint64_t length = bytes::U32(c, ChunkSize);
        walk.at = pos + ChunkHeaderBytes;
        if (!IsFourCc(c.first(4))) {
            walk.broken = "no chunk " + At(pos);
            return false;
        }
        if (length > end - pos - ChunkHeaderBytes) {
            walk.broken = "the " + id + " chunk " + At(pos) + " runs past its parent";
            return false;
        }
        walk.format = walk.format || id == "fmt " || id == ListId;
        walk.samples = walk.samples || id == "data" || id == ListId;
        if (id == ListId && depth < kMaxDepth && length >= 4 && c.size() >= FormHeaderBytes &&
            !WalkChunks(data, pos + FormHeaderBytes, pos + ChunkHeaderBytes + length, depth + 1,
                        walk)) {
            return false;
        }
        pos += ChunkHeaderBytes + length + (length & 1);
    }
    return true;
}

// The walk the structure check and the end finder share: Ok with `at` past the last RIFF
// chunk, or where the chunks break.
StructureResult WalkRiff(Window& data) {
    const uint64_t size = data.Size();
    const std::span<const uint8_t> head = data.At(0, FormHeaderBytes);
    if (!Is(head, 0, RiffId)) {
        return NoSignature("no RIFF header");
    }
    const std::string form = FourCc(head, FormType);
    ChunkWalk walk;
    uint64_t pos = 0;
    for (uint64_t riff = 0; riff < kMaxItems; ++riff) {
        const std::span<const uint8_t> r = UpTo(data, pos, FormHeaderBytes);
        if (riff > 0 && (form != "AVI " || !Is(r, 0, RiffId) || !Is(r, FormType, AviExtension))) {
            break;
        }
        const uint64_t end = pos + ChunkHeaderBytes + bytes::U32(r, ChunkSize);
        if (end > size) {
            return Broken("the RIFF chunk " + At(pos) + " claims " + std::to_string(end - pos) +
                              " bytes, the file holds " + std::to_string(size - pos) +
                              ": cut short",
                          size);
        }
        if (!WalkChunks(data, pos + FormHeaderBytes, end, 0, walk)) {
            return Broken(walk.broken, walk.at);
        }
        pos = end;
    }
    if (form == "WAVE" && (!walk.format || !walk.samples)) {
        return Broken("a WAVE file without its fmt and data chunks", pos);
    }
    return OkUpTo(pos);
}

bool IsRiffHeader(std::span<const uint8_t> head) {
    return Is(head, 0, RiffId) && head.size() >= FormHeaderBytes &&
           !ExtensionOfForm(AsText(head.subspan(FormType, 4))).empty() &&
           bytes::U32(head, ChunkSize) >= 4;
}

Metadata ReadRiffMetadata(Window& data, uint64_t /*end*/) {
    Metadata metadata;
    metadata.extension = ExtensionOfForm(AsText(UpTo(data, FormType, 4)));
    return metadata;
}

}  // namespace

const Format kRiffFormat = {
    .family = Family::Riff,
    .name = "RIFF",
    .extension = "wav",
    .IsHeader = IsRiffHeader,
    .Check = CheckByWalk<WalkRiff>,
    .FindEnd = EndByWalk<WalkRiff>,
    .ReadMetadata = ReadRiffMetadata,
    .maxBytes = kMaxBytes,
};

}  // namespace relicta::content
