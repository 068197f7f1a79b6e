// The two-fragment search for JPEG and PNG: where the second piece may begin, told by the
// bytes at it (entropy-coded data) or by the broken chunk's CRC.
#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "bytes/be_bytes.h"
#include "content/formats/jpeg_layout.h"
#include "content/formats/png_layout.h"
#include "content/formats/walk.h"
#include "deep/bifragment_search.h"

namespace relicta::deep::bifragment {
namespace {

namespace jpeg = content::jpeg;
namespace png = content::png;

// Bytes of the block before a would-be second piece that tell whether it leads into it.
constexpr std::size_t kTailBytes = 512;
constexpr int kMaxSegments = 4096;
// Each try may cost a decode: splits whose second piece follows bytes that cannot lead into it
// are tried this many times (most are other photos' first scans), those whose block before
// reads as entropy-coded data too (most lie inside a piece already) fewer; those that end with
// the end of image where a known size puts it, all.
constexpr std::array<int, 3> kMaxTriesOfTier{std::numeric_limits<int>::max(), 64, 32};
// What follows the chunk a PNG ends with.
constexpr std::string_view kIendChunk{"\0\0\0\0IEND\xAE\x42\x60\x82", 12};

bool IsRestart(uint8_t marker) {
    return marker >= jpeg::Rst0 && marker <= jpeg::Rst7;
}

// Markers a progressive file puts between its scans.
bool IsBetweenScans(uint8_t marker) {
    return marker == jpeg::Dht || marker == jpeg::Sos || marker == jpeg::Dqt || marker == jpeg::Dri;
}

// How far bytes read as entropy-coded data: 0xFF only before a stuffed zero, a restart marker
// or fill. An end of image ends it well; so does a marker between scans, where allowed.
struct EntropyRun {
    std::size_t valid = 0;
    bool ended = false;
};

EntropyRun ReadEntropy(std::span<const uint8_t> b, bool betweenScans) {
    std::size_t i = 0;
    while (i < b.size()) {
        const void* ff = std::memchr(b.data() + i, jpeg::MarkerPrefix, b.size() - i);
        if (ff == nullptr) {
            break;
        }
        i = static_cast<std::size_t>(static_cast<const uint8_t*>(ff) - b.data());
        if (i + 1 >= b.size()) {
            break;
        }
        const uint8_t marker = b[i + 1];
        if (marker == jpeg::Stuffed || IsRestart(marker)) {
            i += jpeg::MarkerBytes;
        } else if (marker == jpeg::MarkerPrefix) {
            i += 1;
        } else if (marker == jpeg::Eoi) {
            return {i + jpeg::MarkerBytes, true};
        } else {
            return {i, betweenScans && IsBetweenScans(marker)};
        }
    }
    return {b.size(), false};
}

// Whether bytes cannot be the middle of a JPEG's entropy-coded data: zeros, text, a marker
// that does not belong there, another file's end.
bool ForeignToEntropy(std::span<const uint8_t> b) {
    if (b.empty()) {
        return true;
    }
    const auto high = static_cast<std::size_t>(
        std::count_if(b.begin(), b.end(), [](uint8_t c) { return c >= 0x80; }));
    const EntropyRun run = ReadEntropy(b, false);
    return high < b.size() / 16 || run.ended || run.valid < b.size();
}

// Where the first scan's entropy-coded data begins: past the segments from SOI to SOS.
std::optional<int64_t> JpegEntropyStart(Search& s) {
    std::vector<uint8_t> buffer;
    int64_t at = s.In().start + static_cast<int64_t>(jpeg::MarkerBytes);  // past SOI
    for (int n = 0; n < kMaxSegments; ++n) {
        const std::span<const uint8_t> b = s.Bytes(at, jpeg::SegmentData, buffer);
        if (b.size() < jpeg::SegmentData || b[0] != jpeg::MarkerPrefix) {
            return std::nullopt;
        }
        if (b[1] == jpeg::MarkerPrefix) {
            at += 1;  // fill
            continue;
        }
        const uint16_t length = bytes::Be16(b, jpeg::Length);
        if (length < jpeg::MinLength) {
            return std::nullopt;
        }
        at += static_cast<int64_t>(jpeg::MarkerBytes) + length;
        if (b[1] == jpeg::Sos) {
            return at;
        }
    }
    return std::nullopt;
}

// A block that may begin the second piece: its first bytes read as entropy-coded data.
struct EntropyBlock {
    int64_t at = 0;
    EntropyRun run;
    std::size_t seen = 0;  // bytes read
    bool fresh = false;    // the block before it cannot lead into it
};

std::vector<EntropyBlock> EntropyBlocks(Search& s, int64_t from, int64_t to) {
    std::vector<EntropyBlock> blocks;
    std::vector<uint8_t> buffer;
    const auto tail = static_cast<std::size_t>(std::min<int64_t>(s.Block(), kTailBytes));
    for (int64_t at = s.Ceil(from); at <= to; at += s.Block()) {
        if (!s.MayHold(at)) {
            continue;
        }
        const std::span<const uint8_t> b =
            s.Bytes(at - static_cast<int64_t>(tail), tail + kQuickBytes, buffer);
        if (b.size() <= tail) {
            continue;
        }
        // Zeros read as entropy-coded data, but a photo's never holds a run of them: a block
        // that begins so lies in a gap of zeros.
        const std::span<const uint8_t> head = b.subspan(tail);
        const EntropyRun run = ReadEntropy(head, true);
        if ((run.ended || run.valid == head.size()) && !AllZero(head.first(tail))) {
            blocks.push_back({at, run, head.size(), ForeignToEntropy(b.first(tail))});
        }
    }
    return blocks;
}

struct Candidate {
    int tier = 0;
    std::size_t end = 0;  // the first piece's end, by rank
    int64_t e1 = 0;
    int64_t s2 = 0;
};

}  // namespace

// JPEG: the second piece must begin as entropy-coded data. Splits whose second piece follows
// bytes that cannot lead into it come first; with a known size, those whose last bytes are
// the end of image before all.
std::optional<Pieces> SearchJpeg(Search& s) {
    const std::optional<int64_t> entropy = JpegEntropyStart(s);
    if (!entropy || s.In().breakAt <= *entropy) {
        return SearchLoosely(s);  // the break lies in the segments before the image data
    }
    std::vector<int64_t> ends = EndsBeforeBreak(s, *entropy);
    if (const std::optional<int64_t> foreign =
            FirstBlockWhere(s, *entropy, s.In().breakAt, ForeignToEntropy)) {
        std::erase(ends, *foreign);
        ends.insert(ends.begin(), *foreign);
    }
    if (ends.empty()) {
        return std::nullopt;
    }
    const auto [lowest, highest] = std::minmax_element(ends.begin(), ends.end());
    const std::vector<EntropyBlock> blocks =
        EntropyBlocks(s, *lowest + s.Block(), *highest + s.GapLimit());
    std::vector<Candidate> candidates;
    std::vector<uint8_t> buffer;
    for (std::size_t rank = 0; rank < ends.size(); ++rank) {
        const int64_t e1 = ends[rank];
        for (const EntropyBlock& b : blocks) {
            if (b.at <= e1 || b.at - e1 > s.GapLimit()) {
                continue;
            }
            const std::optional<uint64_t> size = s.In().knownSize;
            const auto first = static_cast<uint64_t>(e1 - s.In().start);
            if (size && *size <= first) {
                continue;
            }
            const std::size_t need =
                size ? static_cast<std::size_t>(std::min<uint64_t>(kQuickBytes, *size - first))
                     : kQuickBytes;
            if (!b.run.ended && (b.seen < need || b.run.valid < need)) {
                continue;
            }
            int tier = b.fresh ? 1 : 2;
            if (size) {
                const int64_t last = b.at + static_cast<int64_t>(*size - first - jpeg::MarkerBytes);
                const std::span<const uint8_t> end = s.Bytes(last, jpeg::MarkerBytes, buffer);
                const bool endsWell = end.size() == jpeg::MarkerBytes &&
                                      end[0] == jpeg::MarkerPrefix && end[1] == jpeg::Eoi;
                tier = endsWell ? 0 : tier;
            }
            candidates.push_back({tier, rank, e1, b.at});
        }
    }
    // Within a tier, the likeliest ends first (where foreign bytes begin, then from the break
    // back), and the smallest gaps.
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) {
                         if (a.tier != b.tier) {
                             return a.tier < b.tier;
                         }
                         return a.end != b.end ? a.end < b.end : a.s2 - a.e1 < b.s2 - b.e1;
                     });
    std::array<int, 3> tries{};
    for (const Candidate& c : candidates) {
        if (++tries[static_cast<std::size_t>(c.tier)] >
            kMaxTriesOfTier[static_cast<std::size_t>(c.tier)]) {
            continue;
        }
        if (std::optional<Pieces> pieces = s.Try(c.e1, c.s2)) {
            return pieces;
        }
        if (s.Spent()) {
            break;
        }
    }
    return std::nullopt;
}

namespace {

bool HoldsChunkHeader(std::span<const uint8_t> h) {
    if (h.size() < png::ChunkHeaderBytes || bytes::Be32(h, 0) > png::MaxChunkLength) {
        return false;
    }
    return std::all_of(h.begin() + png::ChunkType, h.begin() + png::ChunkHeaderBytes,
                       [](uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); });
}

struct PngChunk {
    int64_t at = 0;
    uint32_t length = 0;
    bool headerHolds = false;
};

// The first chunk whose header or CRC does not hold, read on from the signature; nullopt when
// the chunks run whole to IEND.
std::optional<PngChunk> FirstBrokenChunk(Search& s) {
    std::vector<uint8_t> buffer;
    int64_t at = s.In().start + static_cast<int64_t>(png::Signature.size());
    for (uint64_t n = 0; n < content::kMaxItems; ++n) {
        const std::span<const uint8_t> h = s.Bytes(at, png::ChunkHeaderBytes, buffer);
        if (!HoldsChunkHeader(h)) {
            return PngChunk{at, 0, false};
        }
        const uint32_t length = bytes::Be32(h, 0);
        const bool last = std::memcmp(h.data() + png::ChunkType, "IEND", 4) == 0;
        const int64_t dataEnd = at + static_cast<int64_t>(png::ChunkHeaderBytes) + length;
        if (dataEnd + static_cast<int64_t>(png::CrcBytes) > s.In().driveLength ||
            static_cast<uint64_t>(dataEnd - s.In().start) > s.MaxBytes()) {
            return PngChunk{at, length, true};
        }
        const std::optional<uint32_t> crc =
            s.Crc(at + static_cast<int64_t>(png::ChunkType), dataEnd, 0);
        const std::span<const uint8_t> stored = s.Bytes(dataEnd, png::CrcBytes, buffer);
        if (!crc || stored.size() != png::CrcBytes || bytes::Be32(stored, 0) != *crc) {
            return PngChunk{at, length, true};
        }
        if (last) {
            return std::nullopt;
        }
        at = dataEnd + static_cast<int64_t>(png::CrcBytes);
    }
    return std::nullopt;
}

// A split inside the broken chunk's length and type: the header read across it must hold.
std::optional<Pieces> SearchChunkHeaderSplit(Search& s, int64_t chunk) {
    std::vector<uint8_t> buffer;
    std::vector<uint8_t> header;
    int tries = 0;
    for (int64_t e1 = s.Ceil(std::max(chunk, s.In().start + 1));
         e1 < chunk + static_cast<int64_t>(png::ChunkHeaderBytes); e1 += s.Block()) {
        const std::span<const uint8_t> before =
            s.Bytes(chunk, static_cast<std::size_t>(e1 - chunk), buffer);
        header.assign(before.begin(), before.end());
        const std::size_t rest = png::ChunkHeaderBytes - header.size();
        for (int64_t s2 = e1 + s.Block(); s2 <= e1 + s.GapLimit() && tries < kMaxLooseTries;
             s2 += s.Block()) {
            header.resize(png::ChunkHeaderBytes - rest);
            const std::span<const uint8_t> after = s.Bytes(s2, rest, buffer);
            header.insert(header.end(), after.begin(), after.end());
            if (!HoldsChunkHeader(header)) {
                continue;
            }
            ++tries;
            if (std::optional<Pieces> pieces = s.Try(e1, s2)) {
                return pieces;
            }
        }
    }
    return std::nullopt;
}

}  // namespace

// PNG: the broken chunk's CRC over the first piece's part and the bytes after the gap must
// hold, with a chunk header (or, with a known size, the file's IEND) where the gap puts the
// chunk's end; that pins the gap for each end of the first piece.
std::optional<Pieces> SearchPng(Search& s) {
    const std::optional<PngChunk> chunk = FirstBrokenChunk(s);
    if (!chunk) {
        return std::nullopt;
    }
    if (std::optional<Pieces> pieces = SearchChunkHeaderSplit(s, chunk->at)) {
        return pieces;
    }
    if (!chunk->headerHolds) {
        return std::nullopt;
    }
    const int64_t dataEnd = chunk->at + static_cast<int64_t>(png::ChunkHeaderBytes) + chunk->length;
    const int64_t chunkEnd = dataEnd + static_cast<int64_t>(png::CrcBytes);
    std::vector<uint8_t> buffer;
    std::vector<int64_t> gaps;
    for (int64_t gap = s.Block(); gap <= s.GapLimit(); gap += s.Block()) {
        if (chunkEnd + gap > s.In().driveLength) {
            break;
        }
        const bool fits =
            s.In().knownSize
                ? s.Holds(s.In().start + static_cast<int64_t>(*s.In().knownSize) + gap -
                              static_cast<int64_t>(kIendChunk.size()),
                          kIendChunk)
                : HoldsChunkHeader(s.Bytes(chunkEnd + gap, png::ChunkHeaderBytes, buffer));
        if (fits) {
            gaps.push_back(gap);
        }
    }
    const CrcStretch stretch{
        chunk->at + static_cast<int64_t>(png::ChunkType), dataEnd,
        std::max(chunk->at + static_cast<int64_t>(png::ChunkHeaderBytes), s.In().start + 1),
        dataEnd};
    const auto storedAt = [&](int64_t gap) -> std::optional<uint32_t> {
        const std::span<const uint8_t> b = s.Bytes(dataEnd + gap, png::CrcBytes, buffer);
        return b.size() == png::CrcBytes ? std::optional<uint32_t>(bytes::Be32(b, 0))
                                         : std::nullopt;
    };
    for (const Split& split : CrcSplits(s, stretch, gaps, storedAt)) {
        if (std::optional<Pieces> pieces = s.Try(split.e1, split.e1 + split.gap)) {
            return pieces;
        }
    }
    // The first piece ends inside the CRC itself: the data is whole in it.
    const std::optional<uint32_t> crc = s.Crc(stretch.from, dataEnd, 0);
    std::vector<uint8_t> stored;
    for (int64_t e1 = s.Ceil(dataEnd + 1); e1 < chunkEnd && crc; e1 += s.Block()) {
        for (const int64_t gap : gaps) {
            const std::span<const uint8_t> before =
                s.Bytes(dataEnd, static_cast<std::size_t>(e1 - dataEnd), buffer);
            stored.assign(before.begin(), before.end());
            const std::span<const uint8_t> after =
                s.Bytes(e1 + gap, static_cast<std::size_t>(chunkEnd - e1), buffer);
            stored.insert(stored.end(), after.begin(), after.end());
            if (stored.size() == png::CrcBytes && bytes::Be32(stored, 0) == *crc) {
                if (std::optional<Pieces> pieces = s.Try(e1, e1 + gap)) {
                    return pieces;
                }
            }
        }
    }
    return std::nullopt;
}

}  // namespace relicta::deep::bifragment
