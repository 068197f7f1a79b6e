// JPEG: markers from SOI to EOI, and in the entropy-coded data between them only what a photo's
// own bytes hold (stuffed FF bytes, restart markers in turn); the EXIF block for the date and
// camera; the images an MPF index appends after the first.
#include <algorithm>
#include <cstring>

#include "bytes/be_bytes.h"
#include "content/formats/all_formats.h"
#include "content/formats/exif.h"
#include "content/formats/jpeg_layout.h"
#include "content/formats/tiff_ifd.h"
#include "content/formats/tiff_layout.h"
#include "content/formats/walk.h"

namespace relicta::content {
namespace {

using namespace jpeg;

constexpr uint64_t kMaxBytes = uint64_t{64} << 20;
// Segments before the first scan: EXIF is among the first few.
constexpr int kMaxHeaderSegments = 64;

bool IsRst(uint8_t marker) {
    return marker >= Rst0 && marker <= Rst7;
}

bool IsSof(uint8_t marker) {
    return marker >= FirstSof && marker <= LastSof && marker != Dht && marker != Jpg &&
           marker != Dac;
}

// What may come after a scan's entropy-coded data: the next scan and its tables, or the end.
bool MayFollowScan(uint8_t marker) {
    return marker == Eoi || marker == Sos || marker == Dht || marker == Dqt || marker == Dri ||
           marker == Dnl || marker == Dac || marker == Com || (marker >= App0 && marker <= App15);
}

// Where a scan's entropy-coded data ends: the offset of the marker after it, or why it breaks.
struct ScanEnd {
    uint64_t marker = 0;
    std::string broken;
    uint64_t at = 0;  // where it breaks
};

ScanEnd BreakAt(std::string what, uint64_t marker) {
    // The marker's second byte is the first that cannot be the photo's.
    return {0, std::move(what) + " " + At(marker), marker + 1};
}

ScanEnd EndOfScan(Window& data, uint64_t pos) {
    const uint64_t size = data.Size();
    uint8_t nextRst = 0;
    while (pos < size) {
        const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(kBlockBytes, size - pos));
        const std::span<const uint8_t> block = data.At(pos, n);
        if (block.empty()) {
            return {0, "unreadable " + At(pos), pos};
        }
        std::size_t i = 0;
        while (i < n) {
            const void* hit = std::memchr(block.data() + i, MarkerPrefix, n - i);
            if (hit == nullptr) {
                i = n;
                break;
            }
            i = static_cast<std::size_t>(static_cast<const uint8_t*>(hit) - block.data());
            if (i + 1 == n) {
                break;  // the marker's second byte begins the next block
            }
            const uint8_t next = block[i + 1];
            if (next == Stuffed) {
                i += 2;
            } else if (next == MarkerPrefix) {
                ++i;  // fill before a marker
            } else if (IsRst(next)) {
                if (next - Rst0 != nextRst) {
                    return BreakAt("a restart marker out of turn", pos + i);
                }
                nextRst = static_cast<uint8_t>((nextRst + 1) % (Rst7 - Rst0 + 1));
                i += 2;
            } else if (next == Soi) {
                return BreakAt("a start-of-image marker inside the image data", pos + i);
            } else if (!MayFollowScan(next)) {
                return BreakAt("the image data breaks", pos + i);
            } else {
                return {pos + i, {}, 0};
            }
        }
        if (n >= size - pos) {
            break;
        }
        pos += i;
    }
    return {size, {}, 0};
}

// The walk from SOI to EOI that the structure check and the end finder share.
struct Walk {
    bool signature = true;
    bool ended = false;  // EOI reached
    uint64_t at = 0;     // past EOI; where the structure broke
    std::string detail;
    bool frame = false;  // a start-of-frame segment
    bool scan = false;
    uint64_t mpfTiff = 0;  // where an MPF index's TIFF structure lies; 0: none
    uint64_t mpfEnd = 0;   // the end of its segment
};

Walk Broke(Walk walk, std::string detail, uint64_t at) {
    walk.detail = std::move(detail);
    walk.at = at;
    return walk;
}

Walk WalkJpeg(Window& data) {
    Walk walk;
    const uint64_t size = data.Size();
    const std::span<const uint8_t> soi = data.At(0, MarkerBytes);
    if (soi.empty() || soi[0] != MarkerPrefix || soi[1] != Soi) {
        walk.signature = false;
        return Broke(walk, "no start-of-image marker", 0);
    }
    uint64_t pos = MarkerBytes;
    for (uint64_t n = 0; n < kMaxItems; ++n) {
        const std::span<const uint8_t> m = data.At(pos, MarkerBytes);
        if (m.empty()) {
            return Broke(walk, "cut short " + At(pos) + ", before the end-of-image marker", size);
        }
        if (m[0] != MarkerPrefix) {
            return Broke(walk, "no marker " + At(pos), pos);
        }
        const uint8_t marker = m[1];
        if (marker == MarkerPrefix) {
            ++pos;  // fill byte
            continue;
        }
        if (marker == Eoi) {
            walk.ended = true;
            walk.at = pos + MarkerBytes;
            return walk;
        }
        if (IsRst(marker) || marker == Tem) {
            pos += MarkerBytes;
            continue;
        }
        if (marker < FirstSof || marker == Soi) {
            return Broke(walk, "no valid marker " + At(pos), pos + 1);
        }
        const std::span<const uint8_t> l = data.At(pos + Length, 2);
        if (l.empty()) {
            return Broke(walk, "cut short in the segment " + At(pos), size);
        }
        const uint16_t length = bytes::Be16(l, 0);
        if (length < MinLength || length > size - pos - MarkerBytes) {
            return Broke(walk, "the segment " + At(pos) + " runs past the end of the file",
                         pos + SegmentData);
        }
        const uint64_t next = pos + MarkerBytes + length;
        walk.frame = walk.frame || IsSof(marker);
        if (marker == App2 && walk.mpfTiff == 0 &&
            Is(data.At(pos + SegmentData, MpfId.size()), 0, MpfId)) {
            walk.mpfTiff = pos + SegmentData + MpfId.size();
            walk.mpfEnd = next;
        }
        pos = next;
        if (marker == Sos) {
            walk.scan = true;
            const ScanEnd end = EndOfScan(data, pos);
            if (!end.broken.empty()) {
                return Broke(walk, end.broken, end.at);
            }
            if (end.marker >= size) {
                return Broke(walk, "cut short in the image data: no end-of-image marker", size);
            }
            pos = end.marker;
        }
    }
    return Broke(walk, "too many segments", pos);
}

StructureResult CheckJpeg(Window& data) {
    const Walk walk = WalkJpeg(data);
    if (!walk.signature) {
        return NoSignature(walk.detail);
    }
    return walk.ended ? Ok() : Broken(walk.detail, walk.at);
}

// Where the images an MPF index lists after the first end: cameras append a large preview
// this way, and the file holds it. `imageEnd` when the index lists none, or none that holds.
uint64_t MpfEnd(Window& data, uint64_t tiffStart, uint64_t segmentEnd, uint64_t imageEnd) {
    const std::optional<tiff::Header> header =
        tiff::ReadHeader(UpTo(data, tiffStart, tiff::HeaderBytes));
    if (!header || segmentEnd <= tiffStart) {
        return imageEnd;
    }
    tiff::Reader reader(data, tiffStart, segmentEnd, header->bigEndian);
    tiff::Ifd ifd;
    if (!reader.ReadIfd(header->firstIfd, ifd)) {
        return imageEnd;
    }
    const auto entry = std::find_if(ifd.entries.begin(), ifd.entries.end(),
                                    [](const tiff::Entry& e) { return e.tag == TagMpEntry; });
    if (entry == ifd.entries.end() || entry->Inline()) {
        return imageEnd;
    }
    const std::size_t images = std::min<std::size_t>(entry->count / MpEntryBytes, MaxMpEntries);
    const uint64_t listAt = tiffStart + reader.ValueOffset(*entry);
    if (listAt + images * MpEntryBytes > segmentEnd) {
        return imageEnd;
    }
    // Copied out: the window's span does not outlive the reads below.
    const std::span<const uint8_t> view = data.At(listAt, images * MpEntryBytes);
    const std::vector<uint8_t> list(view.begin(), view.end());
    if (list.size() != images * MpEntryBytes) {
        return imageEnd;
    }
    uint64_t end = imageEnd;
    for (std::size_t i = 1; i < images; ++i) {
        const std::size_t at = i * MpEntryBytes;
        const uint32_t length = bytes::U32In(list, at + MpEntrySize, header->bigEndian);
        const uint32_t offset = bytes::U32In(list, at + MpEntryOffset, header->bigEndian);
        const uint64_t start = tiffStart + offset;
        if (offset == 0 || length == 0 || start < imageEnd || start > data.Size() ||
            length > data.Size() - start) {
            return imageEnd;
        }
        const std::span<const uint8_t> soi = data.At(start, MarkerBytes);
        if (soi.empty() || soi[0] != MarkerPrefix || soi[1] != Soi) {
            return imageEnd;
        }
        end = std::max(end, start + length);
    }
    return end;
}

FileEnd FindJpegEnd(Window& data) {
    const Walk walk = WalkJpeg(data);
    if (!walk.ended) {
        return NoEnd(walk.detail, walk.at);
    }
    if (!walk.frame || !walk.scan) {
        return NoEnd("no image before the end-of-image marker", walk.at);
    }
    return EndAt(walk.mpfTiff == 0 ? walk.at : MpfEnd(data, walk.mpfTiff, walk.mpfEnd, walk.at));
}

bool IsJpegHeader(std::span<const uint8_t> head) {
    if (head.size() < 6 || head[0] != MarkerPrefix || head[1] != Soi || head[2] != MarkerPrefix) {
        return false;
    }
    const uint8_t marker = head[3];
    const bool opens = (marker >= App0 && marker <= App15) || marker == Dqt || marker == Dht ||
                       marker == Dri || marker == Com || IsSof(marker);
    return opens && bytes::Be16(head, MarkerBytes + Length) >= MinLength;
}

Metadata ReadJpegMetadata(Window& data, uint64_t end) {
    uint64_t pos = MarkerBytes;
    for (int n = 0; n < kMaxHeaderSegments && pos < end; ++n) {
        const std::span<const uint8_t> s = UpTo(data, pos, SegmentData + ExifId.size());
        if (s.size() < SegmentData || s[0] != MarkerPrefix || s[1] == Sos || s[1] == Eoi) {
            break;
        }
        const uint16_t length = bytes::Be16(s, Length);
        if (length < MinLength) {
            break;
        }
        const uint64_t next = pos + MarkerBytes + length;
        if (s[1] == App1 && Is(s, SegmentData, ExifId)) {
            return ReadTiffMetadata(data, pos + SegmentData + ExifId.size(), std::min(end, next));
        }
        pos = next;
    }
    return {};
}

}  // namespace

const Format kJpegFormat = {
    .family = Family::Jpeg,
    .name = "JPEG",
    .extension = "jpg",
    .IsHeader = IsJpegHeader,
    .Check = CheckJpeg,
    .FindEnd = FindJpegEnd,
    .ReadMetadata = ReadJpegMetadata,
    .maxBytes = kMaxBytes,
};

}  // namespace relicta::content
