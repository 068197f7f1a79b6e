// MP3: an ID3v2 tag, the chain of MPEG audio frames, and the tags after them. A Xing, Info or
// VBRI header in the first frame counts the frames, which makes the end exact; without one, or
// a tag after the audio, the end is where the chain stops, a guess.
#include <algorithm>
#include <optional>
#include <vector>

#include "bytes/be_bytes.h"
#include "content/formats/all_formats.h"
#include "content/formats/metadata_text.h"
#include "content/formats/mp3_layout.h"
#include "content/formats/walk.h"

namespace relicta::content {
namespace {

using namespace mp3;

constexpr uint64_t kMaxBytes = uint64_t{256} << 20;
constexpr uint64_t kMaxFrames = kMaxItems * 10;
// How much of an ID3v2 tag is read for its title and artist; cover art may make it larger.
constexpr std::size_t kMaxTagBytes = std::size_t{1} << 20;
// How far past the audio an APE tag without a header is looked for.
constexpr uint64_t kMaxApeBytes = uint64_t{64} << 10;
constexpr int kMaxTrailingTags = 4;

struct Frame {
    int version = 0;  // 0: MPEG 2.5, 2: MPEG 2, 3: MPEG 1
    int layer = 0;    // 1: III, 2: II, 3: I
    int rateIndex = 0;
    bool mono = false;
    uint64_t length = 0;
};

// The frame whose 4-byte header is `h`; nullopt when it is not a valid MPEG audio header.
std::optional<Frame> ParseFrame(std::span<const uint8_t> h) {
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
    if (h.size() < frame::HeaderBytes || h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) {
        return std::nullopt;
    }
    Frame f;
    f.version = (h[1] >> 3) & 3;
    f.layer = (h[1] >> 1) & 3;
    const int bitrateIndex = h[2] >> 4;
    f.rateIndex = (h[2] >> 2) & 3;
    f.mono = (h[3] >> 6) == 3;
    if (f.version == 1 || f.layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 ||
        f.rateIndex == 3) {
        return std::nullopt;
    }
    const bool mpeg1 = f.version == 3;
    const uint64_t bitrate = uint64_t{kBitrates[mpeg1 ? 0 : 1][3 - f.layer][bitrateIndex]} * 1000;
    const uint64_t rate = kRates[f.rateIndex] >> (f.version == 3 ? 0 : f.version == 2 ? 1 : 2);
    const uint64_t padding = (h[2] >> 1) & 1;
    if (f.layer == 3) {
        f.length = (12 * bitrate / rate + padding) * 4;
    } else {
        const uint64_t perFrame = f.layer == 1 && !mpeg1 ? 72 : 144;
        f.length = perFrame * bitrate / rate + padding;
    }
    return f;
}

bool SameStream(const Frame& a, const Frame& b) {
    return a.version == b.version && a.layer == b.layer && a.rateIndex == b.rateIndex;
}

uint64_t SyncSafe(std::span<const uint8_t> b, std::size_t at) {
    uint64_t value = 0;
    for (std::size_t i = 0; i < 4 && at + i < b.size(); ++i) {
        value = value << 7 | (b[at + i] & 0x7Fu);
    }
    return value;
}

bool IsId3v2Header(std::span<const uint8_t> head) {
    return Is(head, 0, id3::Id) && head.size() >= id3::HeaderBytes &&
           head[id3::Major] >= id3::MinMajor && head[id3::Major] <= id3::MaxMajor &&
           std::all_of(head.begin() + id3::Size, head.begin() + id3::HeaderBytes,
                       [](uint8_t b) { return b < 0x80; });
}

// The bytes of the ID3v2 tag at the start, header and footer included; 0 when there is none.
uint64_t Id3v2Bytes(std::span<const uint8_t> head) {
    if (!Is(head, 0, id3::Id) || head.size() < id3::HeaderBytes) {
        return 0;
    }
    return id3::HeaderBytes + SyncSafe(head, id3::Size) +
           ((head[id3::Flags] & id3::FlagFooter) != 0 ? id3::FooterBytes : 0);
}

StructureResult CheckMp3(Window& data) {
    const uint64_t size = data.Size();
    uint64_t pos = Id3v2Bytes(data.At(0, id3::HeaderBytes));
    uint64_t frames = 0;
    while (pos + frame::HeaderBytes <= size && frames < kMaxFrames) {
        const std::optional<Frame> f = ParseFrame(data.At(pos, frame::HeaderBytes));
        if (!f) {
            // Tags after the audio end it; anything else breaks the chain.
            if (frames > 0 &&
                (Is(data.At(pos, 3), 0, id3v1::Id) || Is(data.At(pos, 8), 0, ape::Id) ||
                 Is(data.At(pos, 6), 0, "LYRICS"))) {
                return Ok();
            }
            return frames == 0 ? NoSignature("no MPEG audio frame " + At(pos))
                               : Broken("the frame chain breaks " + At(pos));
        }
        pos += f->length;
        ++frames;
    }
    if (frames == 0) {
        return NoSignature("no MPEG audio frame");
    }
    return pos <= size ? Ok() : Broken("the last frame is cut short");
}

// How many frames the Xing, Info or VBRI header in the first frame (`bytes` from its start)
// counts; 0 when it has none.
uint64_t CountedFrames(std::span<const uint8_t> bytes, const Frame& first) {
    const bool mpeg1 = first.version == 3;
    const std::size_t xing = mpeg1 ? (first.mono ? frame::XingMpeg1Mono : frame::XingMpeg1Stereo)
                                   : (first.mono ? frame::XingMpeg2Mono : frame::XingMpeg2Stereo);
    if ((Is(bytes, xing, "Xing") || Is(bytes, xing, "Info")) &&
        (bytes::Be32(bytes, xing + frame::XingFlags) & frame::XingHasFrames) != 0) {
        return bytes::Be32(bytes, xing + frame::XingFrames);
    }
    return Is(bytes, frame::Vbri, "VBRI") ? bytes::Be32(bytes, frame::Vbri + frame::VbriFrames) : 0;
}

// Where a Lyrics3 tag at `pos` ends; 0 when it does not hold.
uint64_t LyricsEnd(Window& data, uint64_t pos) {
    const uint64_t size = data.Size();
    const uint64_t v2 = FindForward(
        data, pos, std::min(size, pos + lyrics::MaxBytes2 + lyrics::End2.size()), lyrics::End2);
    if (v2 < size && v2 >= pos + lyrics::SizeDigits) {
        const std::string_view digits =
            AsText(UpTo(data, v2 - lyrics::SizeDigits, lyrics::SizeDigits));
        uint64_t stated = 0;
        for (char c : digits) {
            stated =
                c >= '0' && c <= '9' ? stated * 10 + static_cast<uint64_t>(c - '0') : UINT64_MAX;
        }
        if (stated != UINT64_MAX && pos + stated + lyrics::SizeDigits == v2) {
            return v2 + lyrics::End2.size();
        }
    }
    const uint64_t v1 = FindForward(
        data, pos,
        std::min(size, pos + lyrics::Begin.size() + lyrics::MaxBytes1 + lyrics::End1.size()),
        lyrics::End1);
    return v1 < size ? v1 + lyrics::End1.size() : 0;
}

// Where an APE tag without a header, whose items begin at `pos`, ends; 0 when none does.
uint64_t ApeFooterEnd(Window& data, uint64_t pos) {
    const uint64_t to = std::min(data.Size(), pos + kMaxApeBytes);
    const uint64_t at = FindForward(data, pos, to, ape::Id);
    const std::span<const uint8_t> footer = UpTo(data, at, ape::Bytes);
    if (at >= to || footer.size() < ape::Bytes ||
        (bytes::U32(footer, ape::Flags) & ape::FlagIsHeader) != 0 ||
        at + ape::Bytes != pos + bytes::U32(footer, ape::Size)) {
        return 0;
    }
    return at + ape::Bytes;
}

// Where the tags after the audio, from `pos`, end: APE, Lyrics3, then ID3v1.
uint64_t TagsEnd(Window& data, uint64_t pos) {
    const uint64_t size = data.Size();
    for (int n = 0; n < kMaxTrailingTags; ++n) {
        const std::span<const uint8_t> t = UpTo(data, pos, ape::Bytes);
        uint64_t next = 0;
        if (Is(t, 0, ape::Id) && (bytes::U32(t, ape::Flags) & ape::FlagIsHeader) != 0) {
            next = pos + ape::Bytes + bytes::U32(t, ape::Size);
        } else if (Is(t, 0, lyrics::Begin)) {
            next = LyricsEnd(data, pos);
        } else if (Is(t, 0, id3v1::Id)) {
            return id3v1::Bytes <= size - pos ? pos + id3v1::Bytes : pos;
        } else {
            next = ApeFooterEnd(data, pos);
        }
        if (next <= pos || next > size) {
            break;
        }
        pos = next;
    }
    return pos;
}

FileEnd FindMp3End(Window& data) {
    const uint64_t size = data.Size();
    uint64_t pos = Id3v2Bytes(UpTo(data, 0, id3::HeaderBytes));
    const std::optional<Frame> first = ParseFrame(UpTo(data, pos, frame::HeaderBytes));
    if (!first) {
        return NoEnd("no MPEG audio frame " + At(pos), pos);
    }
    const uint64_t counted = CountedFrames(UpTo(data, pos, frame::FirstFrameBytes), *first);
    uint64_t frames = 0;
    while (frames < kMaxFrames) {
        const std::optional<Frame> f = ParseFrame(UpTo(data, pos, frame::HeaderBytes));
        if (!f || !SameStream(*f, *first) || f->length > size - pos) {
            break;
        }
        pos += f->length;
        ++frames;
        // The header frame counts the audio frames after it, or itself too.
        if (counted > 0 && frames > counted) {
            break;
        }
    }
    if (frames == 0) {
        return NoEnd("the first frame " + At(pos) + " is cut short", data.Size());
    }
    if (counted > 0 && frames < counted) {
        return NoEnd("the frame chain breaks " + At(pos), pos + frame::HeaderBytes);
    }
    const uint64_t end = TagsEnd(data, pos);
    return counted > 0 || end > pos ? EndAt(end) : GuessedEndAt(end);
}

bool IsMp3Header(std::span<const uint8_t> head) {
    if (IsId3v2Header(head)) {
        return true;
    }
    // Audio without a tag: only from a first frame that counts the frames, as a header frame
    // does, so that a sector in the middle of a song is not taken for a song's start.
    const std::optional<Frame> f = ParseFrame(head);
    if (!f) {
        return false;
    }
    return CountedFrames(head, *f) > 0;
}

// ---- Metadata: ID3v2's TIT2 and TPE1 (TT2 and TP1 in 2.2), else ID3v1's fields.

// `text` up to its terminator: a NUL, two for UTF-16.
std::span<const uint8_t> UpToNul(std::span<const uint8_t> text, std::size_t unit) {
    for (std::size_t i = 0; i + unit <= text.size(); i += unit) {
        if (std::all_of(text.begin() + static_cast<std::ptrdiff_t>(i),
                        text.begin() + static_cast<std::ptrdiff_t>(i + unit),
                        [](uint8_t b) { return b == 0; })) {
            return text.first(i);
        }
    }
    return text;
}

std::string FrameText(std::span<const uint8_t> frame) {
    if (frame.empty()) {
        return {};
    }
    const std::span<const uint8_t> text = frame.subspan(1);
    switch (frame[0]) {
        case id3::Latin1:
            return Trimmed(Utf8FromLatin1(UpToNul(text, 1)));
        case id3::Utf16Bom:
            return Trimmed(Utf8FromUtf16Bom(UpToNul(text, 2)));
        case id3::Utf16Be:
            return Trimmed(Utf8FromUtf16(UpToNul(text, 2), true));
        case id3::Utf8:
            return Trimmed(Utf8FromUtf8(UpToNul(text, 1)));
        default:
            return {};
    }
}

// Undoes unsynchronisation: an FF 00 was written for every FF that could look like a sync.
std::vector<uint8_t> Resynchronised(std::span<const uint8_t> bytes) {
    std::vector<uint8_t> out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out.push_back(bytes[i]);
        if (bytes[i] == 0xFF && i + 1 < bytes.size() && bytes[i + 1] == 0) {
            ++i;
        }
    }
    return out;
}

// A frame's text as its flags leave it; empty when hidden by compression or encryption.
std::string TagFrameText(int major, uint8_t flags, std::span<const uint8_t> body) {
    std::vector<uint8_t> copy;
    if (major == 3) {
        if ((flags & id3::Flag23Hidden) != 0) {
            return {};
        }
        body = body.subspan(
            std::min<std::size_t>(body.size(), (flags & id3::Flag23Grouping) != 0 ? 1 : 0));
    } else if (major == 4) {
        if ((flags & id3::Flag24Hidden) != 0) {
            return {};
        }
        const std::size_t skip = ((flags & id3::Flag24Grouping) != 0 ? 1 : 0) +
                                 ((flags & id3::Flag24DataLength) != 0 ? 4 : 0);
        body = body.subspan(std::min(body.size(), skip));
        if ((flags & id3::Flag24Unsynchronised) != 0) {
            copy = Resynchronised(body);
            body = copy;
        }
    }
    return FrameText(body);
}

void ReadId3v2(Window& data, Metadata& metadata) {
    const std::span<const uint8_t> stored = UpTo(data, 0, id3::HeaderBytes);
    const std::vector<uint8_t> head(stored.begin(), stored.end());
    if (!IsId3v2Header(head)) {
        return;
    }
    const int major = head[id3::Major];
    const uint8_t flags = head[id3::Flags];
    const std::size_t length =
        static_cast<std::size_t>(std::min<uint64_t>(SyncSafe(head, id3::Size), kMaxTagBytes));
    const std::span<const uint8_t> frames = UpTo(data, id3::HeaderBytes, length);
    std::vector<uint8_t> tag(frames.begin(), frames.end());
    if ((flags & id3::FlagUnsynchronised) != 0 && major < 4) {
        tag = Resynchronised(tag);
    }
    std::size_t pos = 0;
    if ((flags & id3::FlagExtendedHeader) != 0) {
        pos = major == 3 ? 4 + bytes::Be32(tag, 0) : major == 4 ? SyncSafe(tag, 0) : 0;
    }
    const bool old = major == id3::MinMajor;
    const std::size_t header = old ? id3::FrameHeaderBytes22 : id3::FrameHeaderBytes;
    for (uint64_t n = 0; n < kMaxItems && pos + header <= tag.size(); ++n) {
        const std::span<const uint8_t> f = std::span(tag).subspan(pos);
        if (f[0] == 0) {
            break;  // padding
        }
        const std::string id(AsText(f.first(old ? 3 : 4)));
        const uint64_t size = old          ? bytes::Be32(f, id3::FrameSize22) >> 8
                              : major == 4 ? SyncSafe(f, id3::FrameSize)
                                           : bytes::Be32(f, id3::FrameSize);
        if (size > f.size() - header) {
            break;
        }
        const std::span<const uint8_t> body = f.subspan(header, static_cast<std::size_t>(size));
        const uint8_t frameFlags = old ? 0 : f[id3::FrameFlags + 1];
        if (id == "TIT2" || id == "TT2") {
            metadata.title = TagFrameText(major, frameFlags, body);
        } else if (id == "TPE1" || id == "TP1") {
            metadata.artist = TagFrameText(major, frameFlags, body);
        }
        pos += header + static_cast<std::size_t>(size);
    }
}

Metadata ReadMp3Metadata(Window& data, uint64_t end) {
    Metadata metadata;
    ReadId3v2(data, metadata);
    if (!metadata.title.empty() && !metadata.artist.empty()) {
        return metadata;
    }
    if (end < id3v1::Bytes) {
        return metadata;
    }
    const std::span<const uint8_t> v1 = data.At(end - id3v1::Bytes, id3v1::Bytes);
    if (!Is(v1, 0, id3v1::Id)) {
        return metadata;
    }
    const auto field = [&](std::size_t at) {
        return Trimmed(Utf8FromLatin1(UpToNul(v1.subspan(at, id3v1::FieldBytes), 1)));
    };
    if (metadata.title.empty()) {
        metadata.title = field(id3v1::Title);
    }
    if (metadata.artist.empty()) {
        metadata.artist = field(id3v1::Artist);
    }
    return metadata;
}

}  // namespace

const Format kMp3Format = {
    .family = Family::Mp3,
    .name = "MP3",
    .extension = "mp3",
    .IsHeader = IsMp3Header,
    .Check = CheckMp3,
    .FindEnd = FindMp3End,
    .ReadMetadata = ReadMp3Metadata,
    .maxBytes = kMaxBytes,
};

}  // namespace relicta::content
