#include "content/structure_checks.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace relicta::content {
namespace {

constexpr std::size_t kBlockBytes = std::size_t{64} * 1024;
constexpr uint64_t kMaxItems = 1000000;  // boxes, chunks, frames, entries: a bound on any walk

std::string At(uint64_t offset) {
    return "at byte " + std::to_string(offset);
}

StructureResult Ok() {
    return {true, false, {}, 0};
}
StructureResult Broken(std::string detail) {
    return {false, false, std::move(detail), 0};
}
StructureResult NoSignature(std::string detail) {
    return {false, true, std::move(detail), 0};
}

uint32_t Be32(std::span<const uint8_t> b, std::size_t at) {
    return uint32_t{b[at]} << 24 | uint32_t{b[at + 1]} << 16 | uint32_t{b[at + 2]} << 8 | b[at + 3];
}
uint16_t Be16(std::span<const uint8_t> b, std::size_t at) {
    return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}
uint64_t Le(std::span<const uint8_t> b, std::size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = v << 8 | b[at + static_cast<std::size_t>(i)];
    }
    return v;
}
bool Is(std::span<const uint8_t> b, std::size_t at, std::string_view text) {
    return b.size() >= at + text.size() &&
           std::memcmp(b.data() + at, text.data(), text.size()) == 0;
}

// ---- JPEG: markers from SOI to EOI, each segment's length inside the file.

// The offset of the marker that ends entropy-coded data from `pos` on; size when none.
uint64_t EndOfScan(Window& data, uint64_t pos) {
    const uint64_t size = data.Size();
    while (pos < size) {
        const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(kBlockBytes, size - pos));
        const std::span<const uint8_t> block = data.At(pos, n);
        if (block.empty()) {
            return size;
        }
        for (std::size_t i = 0; i + 1 < block.size(); ++i) {
            const uint8_t next = block[i + 1];
            if (block[i] == 0xFF && next != 0x00 && !(next >= 0xD0 && next <= 0xD7) &&
                next != 0xFF) {
                return pos + i;
            }
        }
        pos += n > 1 ? n - 1 : 1;
    }
    return size;
}

StructureResult CheckJpeg(Window& data) {
    const uint64_t size = data.Size();
    const std::span<const uint8_t> soi = data.At(0, 2);
    if (soi.empty() || soi[0] != 0xFF || soi[1] != 0xD8) {
        return NoSignature("no start-of-image marker");
    }
    uint64_t pos = 2;
    for (uint64_t n = 0; n < kMaxItems; ++n) {
        const std::span<const uint8_t> m = data.At(pos, 2);
        if (m.empty()) {
            return Broken("cut short " + At(pos) + ", before the end-of-image marker");
        }
        if (m[0] != 0xFF) {
            return Broken("no marker " + At(pos));
        }
        const uint8_t marker = m[1];
        if (marker == 0xFF) {
            ++pos;  // fill byte
            continue;
        }
        if (marker == 0xD9) {
            return Ok();
        }
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            pos += 2;
            continue;
        }
        const std::span<const uint8_t> l = data.At(pos + 2, 2);
        if (l.empty()) {
            return Broken("cut short in the segment " + At(pos));
        }
        const uint16_t length = Be16(l, 0);
        if (length < 2 || pos + 2 + length > size) {
            return Broken("the segment " + At(pos) + " runs past the end of the file");
        }
        pos += 2 + length;
        if (marker == 0xDA) {
            pos = EndOfScan(data, pos);
            if (pos >= size) {
                return Broken("cut short in the image data: no end-of-image marker");
            }
        }
    }
    return Broken("too many segments");
}

// ---- PNG: the signature, every chunk's length and CRC, IEND.

uint32_t Crc32(uint32_t crc, std::span<const uint8_t> bytes) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[n] = c;
        }
        return t;
    }();
    for (uint8_t b : bytes) {
        crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
    }
    return crc;
}

StructureResult CheckPng(Window& data) {
    static constexpr std::string_view kSignature = {"\x89PNG\r\n\x1a\n", 8};
    if (!Is(data.At(0, 8), 0, kSignature)) {
        return NoSignature("no PNG signature");
    }
    const uint64_t size = data.Size();
    uint64_t pos = 8;
    for (uint64_t n = 0; n < kMaxItems; ++n) {
        const std::span<const uint8_t> head = data.At(pos, 8);
        if (head.empty()) {
            return Broken("cut short " + At(pos) + ", before the IEND chunk");
        }
        const uint32_t length = Be32(head, 0);
        const std::string type(reinterpret_cast<const char*>(head.data()) + 4, 4);
        if (n == 0 && type != "IHDR") {
            return Broken("the first chunk is not IHDR");
        }
        if (uint64_t{length} + 12 > size - pos) {
            return Broken("the " + type + " chunk " + At(pos) + " runs past the end of the file");
        }
        uint32_t crc = Crc32(0xFFFFFFFFu, data.At(pos + 4, 4));
        for (uint64_t done = 0; done < length;) {
            const std::size_t piece =
                static_cast<std::size_t>(std::min<uint64_t>(kBlockBytes, length - done));
            const std::span<const uint8_t> bytes = data.At(pos + 8 + done, piece);
            if (bytes.empty()) {
                return Broken("unreadable " + At(pos + 8 + done));
            }
            crc = Crc32(crc, bytes);
            done += piece;
        }
        const std::span<const uint8_t> stored = data.At(pos + 8 + length, 4);
        if (stored.empty() || (crc ^ 0xFFFFFFFFu) != Be32(stored, 0)) {
            return Broken("the " + type + " chunk " + At(pos) + " fails its CRC");
        }
        if (type == "IEND") {
            return Ok();
        }
        pos += 12 + uint64_t{length};
    }
    return Broken("too many chunks");
}

// ---- GIF: blocks and their sub-blocks to the trailer.

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
    return (flags & 0x80) != 0 ? 3 * (uint64_t{2} << (flags & 0x07)) : 0;
}

StructureResult CheckGif(Window& data) {
    const std::span<const uint8_t> head = data.At(0, 13);
    if (!Is(head, 0, "GIF87a") && !Is(head, 0, "GIF89a")) {
        return NoSignature("no GIF signature");
    }
    uint64_t pos = 13 + ColorTableBytes(head[10]);
    for (uint64_t n = 0; n < kMaxItems; ++n) {
        uint8_t block = 0;
        if (!data.Byte(pos, block)) {
            return Broken("cut short " + At(pos) + ", before the trailer");
        }
        if (block == 0x3B) {
            return Ok();
        }
        uint64_t next = 0;
        if (block == 0x21) {
            next = SkipSubBlocks(data, pos + 2);
        } else if (block == 0x2C) {
            const std::span<const uint8_t> image = data.At(pos, 10);
            next =
                image.empty() ? 0 : SkipSubBlocks(data, pos + 10 + ColorTableBytes(image[9]) + 1);
        } else {
            return Broken("an unknown block " + At(pos));
        }
        if (next == 0) {
            return Broken("the block " + At(pos) + " is cut short");
        }
        pos = next;
    }
    return Broken("too many blocks");
}

// ---- PDF: the header, %%EOF at the end, and a cross-reference offset inside the file.

std::string_view AsText(std::span<const uint8_t> b) {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

StructureResult CheckPdf(Window& data) {
    const uint64_t size = data.Size();
    const std::string_view head =
        AsText(data.At(0, static_cast<std::size_t>(std::min<uint64_t>(1024, size))));
    if (head.find("%PDF-") == std::string_view::npos) {
        return NoSignature("no %PDF header");
    }
    constexpr uint64_t kTailBytes = 2048;
    const uint64_t tailStart = size - std::min(size, kTailBytes);
    const std::string tail(AsText(data.At(tailStart, static_cast<std::size_t>(size - tailStart))));
    const std::size_t eof = tail.rfind("%%EOF");
    if (eof == std::string::npos) {
        return Broken("no %%EOF at the end: cut short");
    }
    const std::size_t startxref = tail.rfind("startxref", eof);
    if (startxref == std::string::npos) {
        return Broken("no startxref before %%EOF");
    }
    std::size_t at = startxref + 9;
    while (at < eof && std::isspace(static_cast<unsigned char>(tail[at]))) {
        ++at;
    }
    uint64_t offset = 0;
    std::size_t digits = 0;
    for (; at < eof && std::isdigit(static_cast<unsigned char>(tail[at])) && digits < 19;
         ++at, ++digits) {
        offset = offset * 10 + static_cast<uint64_t>(tail[at] - '0');
    }
    if (digits == 0 || offset >= size) {
        return Broken("the cross-reference offset points past the end of the file");
    }
    const std::string_view xref =
        AsText(data.At(offset, static_cast<std::size_t>(std::min<uint64_t>(32, size - offset))));
    const bool table = xref.starts_with("xref");
    const bool stream = !xref.empty() && std::isdigit(static_cast<unsigned char>(xref[0])) &&
                        xref.find(" obj") != std::string_view::npos;
    if (!table && !stream) {
        return Broken("the cross-reference offset " + std::to_string(offset) +
                      " points at no cross-reference");
    }
    return Ok();
}

// ---- ZIP: the end-of-central-directory record, and every central entry's local header.

struct CentralDirectory {
    uint64_t entries = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t end = 0;  // where the end record begins
};

std::optional<CentralDirectory> FindCentralDirectory(Window& data) {
    constexpr uint64_t kEndRecord = 22;
    constexpr uint64_t kMaxComment = 65535;
    const uint64_t size = data.Size();
    if (size < kEndRecord) {
        return std::nullopt;
    }
    const uint64_t from = size - std::min(size, kEndRecord + kMaxComment);
    const std::span<const uint8_t> tail = data.At(from, static_cast<std::size_t>(size - from));
    if (tail.size() < kEndRecord) {
        return std::nullopt;
    }
    for (std::size_t i = tail.size() - kEndRecord + 1; i-- > 0;) {
        if (!Is(tail, i, "PK\x05\x06")) {
            continue;
        }
        CentralDirectory cd{Le(tail, i + 10, 2), Le(tail, i + 16, 4), Le(tail, i + 12, 4),
                            from + i};
        if (cd.entries == 0xFFFF || cd.offset == 0xFFFFFFFF || cd.size == 0xFFFFFFFF) {
            // ZIP64: the locator right before the end record points at the ZIP64 end record.
            constexpr uint64_t kLocator = 20;
            if (from + i < kLocator) {
                return std::nullopt;
            }
            const std::span<const uint8_t> locator = data.At(from + i - kLocator, kLocator);
            if (!Is(locator, 0, "PK\x06\x07")) {
                return std::nullopt;
            }
            const uint64_t end64At = Le(locator, 8, 8);
            const std::span<const uint8_t> end64 = data.At(end64At, 56);
            if (!Is(end64, 0, "PK\x06\x06")) {
                return std::nullopt;
            }
            cd = {Le(end64, 32, 8), Le(end64, 48, 8), Le(end64, 40, 8), end64At};
        }
        return cd;
    }
    return std::nullopt;
}

// The ZIP64 local-header offset in an entry's extra field, when the entry says 0xFFFFFFFF.
uint64_t Zip64LocalOffset(std::span<const uint8_t> extra, const std::span<const uint8_t> entry) {
    for (std::size_t at = 0; at + 4 <= extra.size();) {
        const uint64_t id = Le(extra, at, 2);
        const uint64_t length = Le(extra, at + 2, 2);
        if (id == 0x0001) {
            std::size_t field = at + 4;
            // Sizes come first, each only when its 32-bit field is 0xFFFFFFFF.
            field += Le(entry, 24, 4) == 0xFFFFFFFF ? 8 : 0;
            field += Le(entry, 20, 4) == 0xFFFFFFFF ? 8 : 0;
            return field + 8 <= extra.size() ? Le(extra, field, 8) : UINT64_MAX;
        }
        at += 4 + length;
    }
    return UINT64_MAX;
}

StructureResult CheckZip(Window& data) {
    if (!Is(data.At(0, 4), 0, "PK\x03\x04") && !Is(data.At(0, 4), 0, "PK\x05\x06")) {
        return NoSignature("no ZIP local header at the start");
    }
    const std::optional<CentralDirectory> cd = FindCentralDirectory(data);
    if (!cd) {
        return Broken("no end-of-central-directory record: cut short or written over at the end");
    }
    if (cd->offset > cd->end || cd->size > cd->end - cd->offset) {
        return Broken("the central directory lies outside the file");
    }
    uint64_t pos = cd->offset;
    for (uint64_t n = 0; n < cd->entries && n < kMaxItems; ++n) {
        const std::span<const uint8_t> entry = data.At(pos, 46);
        if (!Is(entry, 0, "PK\x01\x02")) {
            return Broken("central directory entry " + std::to_string(n + 1) + " " + At(pos) +
                          " is broken");
        }
        const std::vector<uint8_t> fields(entry.begin(), entry.end());
        const uint64_t nameLength = Le(fields, 28, 2);
        const uint64_t extraLength = Le(fields, 30, 2);
        const uint64_t commentLength = Le(fields, 32, 2);
        uint64_t local = Le(fields, 42, 4);
        if (local == 0xFFFFFFFF) {
            local = Zip64LocalOffset(
                data.At(pos + 46 + nameLength, static_cast<std::size_t>(extraLength)), fields);
        }
        if (local >= cd->offset || !Is(data.At(local, 4), 0, "PK\x03\x04")) {
            return Broken("the local header of entry " + std::to_string(n + 1) + " (" + At(local) +
                          ") is missing");
        }
        pos += 46 + nameLength + extraLength + commentLength;
    }
    return Ok();
}

// ---- MP4/MOV: the top-level box tree covers the file, with a movie box.

bool IsBoxType(std::span<const uint8_t> type) {
    return std::all_of(type.begin(), type.end(),
                       [](uint8_t c) { return (c >= 0x20 && c < 0x7F) || c == 0xA9; });
}

// The boxes a QuickTime or ISO media file may begin with.
bool IsFirstBoxType(std::string_view type) {
    static constexpr std::string_view kFirst[] = {"ftyp", "moov", "mdat", "free", "skip",
                                                  "wide", "pnot", "styp", "moof", "uuid"};
    return std::find(std::begin(kFirst), std::end(kFirst), type) != std::end(kFirst);
}

StructureResult CheckMp4(Window& data) {
    const uint64_t size = data.Size();
    bool movie = false;
    uint64_t pos = 0;
    for (uint64_t n = 0; pos < size && n < kMaxItems; ++n) {
        const std::span<const uint8_t> head =
            data.At(pos, static_cast<std::size_t>(std::min<uint64_t>(16, size - pos)));
        if (head.size() < 8 || !IsBoxType(head.subspan(4, 4))) {
            return n == 0 ? NoSignature("no box at the start") : Broken("no box " + At(pos));
        }
        const std::string type(reinterpret_cast<const char*>(head.data()) + 4, 4);
        if (n == 0 && !IsFirstBoxType(type)) {
            return NoSignature("no file-type or movie box at the start");
        }
        uint64_t length = Be32(head, 0);
        uint64_t header = 8;
        if (length == 1) {
            if (head.size() < 16) {
                return Broken("the " + type + " box " + At(pos) + " is cut short");
            }
            length = uint64_t{Be32(head, 8)} << 32 | Be32(head, 12);
            header = 16;
        } else if (length == 0) {
            length = size - pos;
        }
        if (length < header || length > size - pos) {
            return Broken("the " + type + " box " + At(pos) + " runs past the end of the file");
        }
        movie = movie || type == "moov" || type == "moof";
        pos += length;
    }
    if (pos != size) {
        return Broken("too many boxes");
    }
    return movie ? Ok() : Broken("no movie (moov) box");
}

// ---- RIFF (WAV, AVI): chunk ids and sizes inside the RIFF chunk (LIST chunks' too), and it
// inside the file.

bool IsFourCc(std::span<const uint8_t> id) {
    return std::all_of(id.begin(), id.end(), [](uint8_t c) { return c >= 0x20 && c < 0x7F; });
}

struct RiffWalk {
    bool format = false;
    bool samples = false;
    uint64_t chunks = 0;
};

// Walks the chunks in [pos, end); the detail of the first broken one, empty when none.
std::string WalkChunks(Window& data, uint64_t pos, uint64_t end, int depth, RiffWalk& walk) {
    constexpr int kMaxDepth = 4;
    constexpr uint64_t kListHeader = 12;
    while (pos + 8 <= end && walk.chunks++ < kMaxItems) {
        const std::span<const uint8_t> c = data.At(pos, 12 <= end - pos ? 12 : 8);
        if (c.empty()) {
            return "unreadable " + At(pos);
        }
        const std::string id(reinterpret_cast<const char*>(c.data()), 4);
        const uint64_t length = Le(c, 4, 4);
        if (!IsFourCc(c.first(4))) {
            return "no chunk " + At(pos);
        }
        if (length > end - pos - 8) {
            return "the " + id + " chunk " + At(pos) + " runs past its parent";
        }
        walk.format = walk.format || id == "fmt " || id == "LIST";
        walk.samples = walk.samples || id == "data" || id == "LIST";
        if (id == "LIST" && depth < kMaxDepth && length >= 4 && c.size() >= kListHeader) {
            std::string inner =
                WalkChunks(data, pos + kListHeader, pos + 8 + length, depth + 1, walk);
            if (!inner.empty()) {
                return inner;
            }
        }
        pos += 8 + length + (length & 1);
    }
    return {};
}

StructureResult CheckRiff(Window& data) {
    const uint64_t size = data.Size();
    const std::span<const uint8_t> head = data.At(0, 12);
    if (!Is(head, 0, "RIFF")) {
        return NoSignature("no RIFF header");
    }
    const std::string form(reinterpret_cast<const char*>(head.data()) + 8, 4);
    RiffWalk walk;
    uint64_t pos = 0;
    // A large AVI continues in further RIFF chunks ("AVIX").
    for (uint64_t riff = 0; pos + 12 <= size && riff < kMaxItems; ++riff) {
        const std::span<const uint8_t> r = data.At(pos, 12);
        if (!Is(r, 0, "RIFF")) {
            break;
        }
        const uint64_t end = pos + 8 + Le(r, 4, 4);
        if (end > size) {
            return Broken("the RIFF chunk " + At(pos) + " claims " + std::to_string(end - pos) +
                          " bytes, the file holds " + std::to_string(size - pos) + ": cut short");
        }
        if (const std::string broken = WalkChunks(data, pos + 12, end, 0, walk); !broken.empty()) {
            return Broken(broken);
        }
        pos = end + (end & 1);
    }
    if (form == "WAVE" && (!walk.format || !walk.samples)) {
        return Broken("a WAVE file without its fmt and data chunks");
    }
    return Ok();
}

// ---- MP3: the chain of frame headers from the first frame to the end.

// A frame's length from its header; 0 when the 4 bytes are not a valid MPEG audio header.
uint64_t FrameLength(std::span<const uint8_t> h) {
    static constexpr uint16_t kBitrates[2][3][15] = {
        // MPEG-1: layer I, II, III
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        // MPEG-2 and 2.5
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    static constexpr uint32_t kRates[3] = {44100, 48000, 32000};
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) {
        return 0;
    }
    const int version = (h[1] >> 3) & 3;  // 0: 2.5, 1: reserved, 2: MPEG-2, 3: MPEG-1
    const int layer = (h[1] >> 1) & 3;    // 1: III, 2: II, 3: I
    const int bitrateIndex = h[2] >> 4;
    const int rateIndex = (h[2] >> 2) & 3;
    if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) {
        return 0;
    }
    const bool mpeg1 = version == 3;
    const uint64_t bitrate = uint64_t{kBitrates[mpeg1 ? 0 : 1][3 - layer][bitrateIndex]} * 1000;
    const uint64_t rate = kRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    const uint64_t padding = (h[2] >> 1) & 1;
    if (layer == 3) {
        return (12 * bitrate / rate + padding) * 4;
    }
    const uint64_t perFrame = layer == 1 && !mpeg1 ? 72 : 144;
    return perFrame * bitrate / rate + padding;
}

StructureResult CheckMp3(Window& data) {
    const uint64_t size = data.Size();
    uint64_t pos = 0;
    const std::span<const uint8_t> id3 = data.At(0, 10);
    if (Is(id3, 0, "ID3")) {
        const uint64_t tag = uint64_t{id3[6] & 0x7Fu} << 21 | uint64_t{id3[7] & 0x7Fu} << 14 |
                             uint64_t{id3[8] & 0x7Fu} << 7 | (id3[9] & 0x7Fu);
        pos = 10 + tag + ((id3[5] & 0x10) != 0 ? 10 : 0);
    }
    uint64_t frames = 0;
    while (pos + 4 <= size && frames < kMaxItems * 10) {
        const std::span<const uint8_t> h = data.At(pos, 4);
        const uint64_t length = h.empty() ? 0 : FrameLength(h);
        if (length == 0) {
            // Tags after the audio end it; anything else breaks the chain.
            if (frames > 0 &&
                (Is(data.At(pos, 3), 0, "TAG") || Is(data.At(pos, 8), 0, "APETAGEX") ||
                 Is(data.At(pos, 6), 0, "LYRICS"))) {
                return Ok();
            }
            return frames == 0 ? NoSignature("no MPEG audio frame " + At(pos))
                               : Broken("the frame chain breaks " + At(pos));
        }
        pos += length;
        ++frames;
    }
    if (frames == 0) {
        return NoSignature("no MPEG audio frame");
    }
    return pos <= size ? Ok() : Broken("the last frame is cut short");
}

// ---- Plain text: valid UTF-8 (or UTF-16 with its byte-order mark), no NUL.

// A break in text, and where it is.
StructureResult BrokenAt(const std::string& what, uint64_t offset) {
    return {false, false, what + At(offset), offset};
}

StructureResult CheckText(Window& data) {
    const uint64_t size = data.Size();
    const std::span<const uint8_t> bom =
        data.At(0, static_cast<std::size_t>(std::min<uint64_t>(2, size)));
    if (bom.size() == 2 &&
        ((bom[0] == 0xFF && bom[1] == 0xFE) || (bom[0] == 0xFE && bom[1] == 0xFF))) {
        return size % 2 == 0 ? Ok() : Broken("UTF-16 text of an odd length");
    }
    int pending = 0;  // continuation bytes still due
    for (uint64_t pos = 0; pos < size;) {
        const std::size_t n = data.BlockAt(pos);
        const std::span<const uint8_t> block = data.At(pos, n);
        if (block.empty()) {
            return Broken("unreadable " + At(pos));
        }
        for (std::size_t i = 0; i < block.size(); ++i) {
            const uint8_t c = block[i];
            if (pending > 0) {
                if ((c & 0xC0) != 0x80) {
                    return BrokenAt("not UTF-8 ", pos + i);
                }
                --pending;
                continue;
            }
            if (c == 0) {
                return pos + i == 0 ? NoSignature("a NUL byte at the start")
                                    : BrokenAt("a NUL byte ", pos + i);
            }
            if (c < 0x80) {
                continue;
            }
            pending = (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
            if (pending < 0 || c == 0xC0 || c == 0xC1 || c > 0xF4) {
                return pos + i == 0 ? NoSignature("not UTF-8 at the start")
                                    : BrokenAt("not UTF-8 ", pos + i);
            }
        }
        pos += n;
    }
    return pending == 0 ? Ok() : Broken("cut short in a UTF-8 character at the end");
}

struct Extension {
    std::string_view extension;
    Family family;
};
constexpr Extension kExtensions[] = {
    {"jpg", Family::Jpeg},  {"jpeg", Family::Jpeg}, {"jpe", Family::Jpeg},  {"jfif", Family::Jpeg},
    {"png", Family::Png},   {"gif", Family::Gif},   {"pdf", Family::Pdf},   {"zip", Family::Zip},
    {"docx", Family::Zip},  {"xlsx", Family::Zip},  {"pptx", Family::Zip},  {"odt", Family::Zip},
    {"ods", Family::Zip},   {"odp", Family::Zip},   {"jar", Family::Zip},   {"epub", Family::Zip},
    {"apk", Family::Zip},   {"mp4", Family::Mp4},   {"m4v", Family::Mp4},   {"m4a", Family::Mp4},
    {"mov", Family::Mp4},   {"3gp", Family::Mp4},   {"wav", Family::Riff},  {"avi", Family::Riff},
    {"mp3", Family::Mp3},   {"txt", Family::Text},  {"csv", Family::Text},  {"log", Family::Text},
    {"md", Family::Text},   {"ini", Family::Text},  {"json", Family::Text}, {"xml", Family::Text},
    {"html", Family::Text}, {"htm", Family::Text},
};

}  // namespace

Family FamilyOfName(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) {
        return Family::Unknown;
    }
    std::string extension(name.substr(dot + 1));
    for (char& c : extension) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (const Extension& e : kExtensions) {
        if (e.extension == extension) {
            return e.family;
        }
    }
    return Family::Unknown;
}

Family FamilyOfDescription(std::string_view description) {
    static constexpr std::pair<std::string_view, Family> kDescriptions[] = {
        {"JPEG image", Family::Jpeg},
        {"PNG image", Family::Png},
        {"GIF image", Family::Gif},
        {"PDF document", Family::Pdf},
        {"Zip archive", Family::Zip},
        {"Microsoft Word 2007+", Family::Zip},
        {"Microsoft Excel 2007+", Family::Zip},
        {"Microsoft PowerPoint 2007+", Family::Zip},
        {"Microsoft OOXML", Family::Zip},
        {"OpenDocument", Family::Zip},
        {"Java archive", Family::Zip},
        {"EPUB document", Family::Zip},
        {"ISO Media", Family::Mp4},
        {"RIFF", Family::Riff},
        {"Audio file with ID3", Family::Mp3},
        {"MPEG ADTS, layer III", Family::Mp3},
    };
    for (const auto& [prefix, family] : kDescriptions) {
        if (description.starts_with(prefix)) {
            return family;
        }
    }
    // libmagic's texts: "ASCII text", "UTF-8 Unicode text, with CRLF line terminators",
    // "HTML document, ASCII text", "JSON text data", "CSV text".
    return description.find(" text") != std::string_view::npos ? Family::Text : Family::Unknown;
}

const char* FamilyName(Family family) {
    switch (family) {
        case Family::Jpeg:
            return "JPEG";
        case Family::Png:
            return "PNG";
        case Family::Gif:
            return "GIF";
        case Family::Pdf:
            return "PDF";
        case Family::Zip:
            return "ZIP";
        case Family::Mp4:
            return "MP4";
        case Family::Riff:
            return "RIFF";
        case Family::Mp3:
            return "MP3";
        case Family::Text:
            return "text";
        case Family::Heic:
            return "HEIC";
        case Family::Tiff:
            return "TIFF";
        case Family::Html:
            return "HTML";
        case Family::Xml:
            return "XML";
        case Family::Unknown:
            break;
    }
    return "unknown";
}

StructureResult CheckStructure(Family family, Window& data) {
    switch (family) {
        case Family::Jpeg:
            return CheckJpeg(data);
        case Family::Png:
            return CheckPng(data);
        case Family::Gif:
            return CheckGif(data);
        case Family::Pdf:
            return CheckPdf(data);
        case Family::Zip:
            return CheckZip(data);
        case Family::Mp4:
            return CheckMp4(data);
        case Family::Riff:
            return CheckRiff(data);
        case Family::Mp3:
            return CheckMp3(data);
        case Family::Text:
            return CheckText(data);
        case Family::Heic:
        case Family::Tiff:
        case Family::Html:
        case Family::Xml:
        case Family::Unknown:
            break;
    }
    return Broken("no check for this type");
}

}  // namespace relicta::content
