// MP4/MOV/3GP/M4A and HEIF/HEIC: ISO media files, a tree of boxes whose top level covers the
// file; a movie (moov) box for the ones, a meta box for the others.
#include <time.h>

#include <algorithm>
#include <iterator>
#include <optional>

#include "bytes/be_bytes.h"
#include "content/formats/all_formats.h"
#include "content/formats/exif.h"
#include "content/formats/isobmff_layout.h"
#include "content/formats/walk.h"

namespace relicta::content {
namespace {

using namespace isobmff;

bool IsBoxType(std::span<const uint8_t> type) {
    return std::all_of(type.begin(), type.end(),
                       [](uint8_t c) { return (c >= 0x20 && c < 0x7F) || c == 0xA9; });
}

bool IsOneOf(std::string_view type, std::span<const std::string_view> types) {
    return std::find(types.begin(), types.end(), type) != types.end();
}

// The boxes a QuickTime or ISO media file may begin with.
bool IsFirstBoxType(std::string_view type) {
    static constexpr std::string_view kFirst[] = {"ftyp", "moov", "mdat", "free", "skip",
                                                  "wide", "pnot", "styp", "moof", "uuid"};
    return IsOneOf(type, kFirst);
}

// The boxes that may follow at a file's top level: where another comes, the file has ended.
bool IsTopLevelType(std::string_view type) {
    static constexpr std::string_view kTop[] = {
        "ftyp", "moov", "mdat", "free", "skip", "wide", "uuid", "meta", "moof", "mfra",
        "sidx", "styp", "pdin", "udta", "pnot", "prfl", "ssix", "emsg", "prft"};
    return IsOneOf(type, kTop);
}

bool IsMovieBox(std::string_view type) {
    return type == "moov" || type == "moof";
}

bool IsMetaBox(std::string_view type) {
    return type == "meta";
}

struct Box {
    std::string type;
    uint64_t start = 0;
    uint64_t header = 0;
    uint64_t length = 0;
    bool toEnd = false;  // its size said "to the end of the file"
    uint64_t Payload() const { return start + header; }
    uint64_t End() const { return start + length; }
};

// The box whose header lies at `pos`, inside a parent that ends at `end`; none where no box's
// header is there.
std::optional<Box> BoxAt(Window& data, uint64_t pos, uint64_t end) {
    if (pos >= end) {
        return std::nullopt;
    }
    const std::span<const uint8_t> head = data.At(
        pos, static_cast<std::size_t>(std::min<uint64_t>(box::LargeHeaderBytes, end - pos)));
    if (head.size() < box::HeaderBytes || !IsBoxType(head.subspan(box::Type, 4))) {
        return std::nullopt;
    }
    Box b{FourCc(head, box::Type), pos, box::HeaderBytes, bytes::Be32(head, box::Size), false};
    if (b.length == box::SizeIsLarge) {
        b.header = box::LargeHeaderBytes;
        b.length = head.size() >= box::LargeHeaderBytes ? bytes::Be64(head, box::LargeSize) : 0;
    } else if (b.length == box::SizeToEnd) {
        b.toEnd = true;
        b.length = end - pos;
    }
    return b;
}

bool Fits(const Box& b, uint64_t end) {
    return b.length >= b.header && b.start <= end && b.length <= end - b.start;
}

// The first child of type `type` among the boxes in [from, to).
std::optional<Box> FindBox(Window& data, uint64_t from, uint64_t to, std::string_view type) {
    uint64_t pos = from;
    for (uint64_t n = 0; n < kMaxItems; ++n) {
        std::optional<Box> b = BoxAt(data, pos, to);
        if (!b || !Fits(*b, to)) {
            return std::nullopt;
        }
        if (b->type == type) {
            return b;
        }
        pos = b->End();
    }
    return std::nullopt;
}

// The top-level boxes cover the file, one of them `wanted`.
StructureResult CheckBoxes(Window& data, bool (*wanted)(std::string_view), const char* missing) {
    const uint64_t size = data.Size();
    bool found = false;
    uint64_t pos = 0;
    for (uint64_t n = 0; pos < size && n < kMaxItems; ++n) {
        const std::optional<Box> b = BoxAt(data, pos, size);
        if (!b) {
            return n == 0 ? NoSignature("no box at the start") : Broken("no box " + At(pos));
        }
        if (n == 0 && !IsFirstBoxType(b->type)) {
            return NoSignature("no file-type or movie box at the start");
        }
        if (!Fits(*b, size)) {
            return Broken("the " + b->type + " box " + At(pos) + " runs past the end of the file");
        }
        found = found || wanted(b->type);
        pos = b->End();
    }
    if (pos != size) {
        return Broken("too many boxes");
    }
    return found ? Ok() : Broken(missing);
}

// The file ends where its top-level boxes do: before the first bytes that are no such box.
FileEnd FindBoxesEnd(Window& data, bool (*wanted)(std::string_view), const char* missing) {
    const uint64_t size = data.Size();
    bool found = false;
    uint64_t pos = 0;
    for (uint64_t n = 0; n < kMaxItems; ++n) {
        const std::optional<Box> b = BoxAt(data, pos, size);
        if (n == 0 && (!b || b->type != "ftyp")) {
            return NoEnd("no file-type box at the start");
        }
        // A second file-type box begins the next file.
        if (!b || !IsTopLevelType(b->type) || (n > 0 && b->type == "ftyp") ||
            b->length < b->header) {
            break;
        }
        found = found || wanted(b->type);
        if (b->toEnd) {
            // Only the data's end bounds a box that runs "to the end of the file".
            return found ? GuessedEndAt(size) : NoEnd(missing, pos);
        }
        if (!Fits(*b, size)) {
            return NoEnd("the " + b->type + " box " + At(pos) + " runs past the end of the data",
                         pos);
        }
        pos = b->End();
    }
    return found ? EndAt(pos) : NoEnd(missing, pos);
}

// ---- The file-type box and its brands.

bool IsFtypHeader(std::span<const uint8_t> head) {
    const uint32_t size = bytes::Be32(head, box::Size);
    return Is(head, box::Type, "ftyp") && size >= ftyp::MinBytes && size <= ftyp::MaxBytes &&
           size % 4 == 0;
}

// Whether the brands of the file-type box that begins `head` call it a HEIF image.
bool IsHeifBrand(std::span<const uint8_t> head) {
    static constexpr std::string_view kHeif[] = {"heic", "heix", "mif1", "msf1", "heim",
                                                 "heis", "hevc", "hevx", "avif"};
    const std::size_t end = std::min<std::size_t>(bytes::Be32(head, box::Size), head.size());
    if (IsOneOf(FourCc(head, ftyp::MajorBrand), kHeif)) {
        return true;
    }
    for (std::size_t at = ftyp::CompatibleBrands; at + 4 <= end; at += 4) {
        if (IsOneOf(FourCc(head, at), std::span(kHeif).first(4))) {
            return true;
        }
    }
    return false;
}

// ---- Times: seconds since 1904 (UTC) as a calendar date.

StatedTime TimeSince1904(uint64_t seconds) {
    constexpr int64_t kLatest = 253402300799;  // 9999-12-31 23:59:59
    // Before 1970 (0 above all) is a clock never set.
    if (seconds <= static_cast<uint64_t>(mvhd::EpochToUnixSeconds) ||
        seconds - mvhd::EpochToUnixSeconds > static_cast<uint64_t>(kLatest)) {
        return {};
    }
    const auto unixTime = static_cast<time_t>(seconds - mvhd::EpochToUnixSeconds);
    tm t{};
    if (gmtime_r(&unixTime, &t) == nullptr) {
        return {};
    }
    return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, true};
}

// ---- MP4.

bool IsMp4Header(std::span<const uint8_t> head) {
    return IsFtypHeader(head) && !IsHeifBrand(head);
}

StructureResult CheckMp4(Window& data) {
    return CheckBoxes(data, IsMovieBox, "no movie (moov) box");
}

FileEnd FindMp4End(Window& data) {
    return FindBoxesEnd(data, IsMovieBox, "no movie (moov) box");
}

// MOV, 3GP, M4A and M4V by the major brand; MP4 for the rest.
std::string ExtensionOfBrand(std::string_view brand) {
    if (brand == "qt  ") {
        return "mov";
    }
    if (brand.starts_with("3gp") || brand.starts_with("3g2")) {
        return "3gp";
    }
    if (brand == "M4A " || brand == "M4B ") {
        return "m4a";
    }
    return brand == "M4V " ? "m4v" : "";
}

// The movie header's creation time, and the extension the brand calls for.
Metadata ReadMp4Metadata(Window& data, uint64_t end) {
    Metadata metadata;
    metadata.extension =
        ExtensionOfBrand(FourCc(UpTo(data, 0, ftyp::CompatibleBrands), ftyp::MajorBrand));
    const std::optional<Box> moov = FindBox(data, 0, end, "moov");
    const std::optional<Box> header =
        moov ? FindBox(data, moov->Payload(), moov->End(), "mvhd") : std::nullopt;
    if (!header) {
        return metadata;
    }
    const std::span<const uint8_t> p = data.At(header->Payload(), mvhd::CreationTime + 8);
    if (p.empty() || header->length < header->header + p.size()) {
        return metadata;
    }
    const bool wide = p[full_box::Version] == 1;
    metadata.time = TimeSince1904(wide ? bytes::Be64(p, mvhd::CreationTime)
                                       : bytes::Be32(p, mvhd::CreationTime));
    return metadata;
}

// ---- HEIF/HEIC.

bool IsHeicHeader(std::span<const uint8_t> head) {
    return IsFtypHeader(head) && IsHeifBrand(head);
}

StructureResult CheckHeic(Window& data) {
    return CheckBoxes(data, IsMetaBox, "no meta box");
}

FileEnd FindHeicEnd(Window& data) {
    return FindBoxesEnd(data, IsMetaBox, "no meta box");
}

// Big-endian fields of 0 to 8 bytes, read in order from untrusted bytes; a read past the end
// reads 0 and marks the whole read failed.
class Fields {
  public:
    explicit Fields(std::span<const uint8_t> bytes, std::size_t at = 0) : b_(bytes), at_(at) {}
    uint64_t Take(std::size_t n) {
        if (n > 8 || !bytes::InBounds(b_, at_, n)) {
            ok_ = false;
            return 0;
        }
        uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i) {
            v = v << 8 | b_[at_ + i];
        }
        at_ += n;
        return v;
    }
    bool Ok() const { return ok_; }

  private:
    std::span<const uint8_t> b_;
    std::size_t at_;
    bool ok_ = true;
};

// A small box's payload in memory: the item boxes of real files hold a few kilobytes.
std::span<const uint8_t> SmallPayload(Window& data, const std::optional<Box>& b) {
    constexpr uint64_t kMaxBytes = uint64_t{1} << 20;
    if (!b || b->length - b->header > kMaxBytes) {
        return {};
    }
    return data.At(b->Payload(), static_cast<std::size_t>(b->length - b->header));
}

// The id of the item of type "Exif" the item info box lists; 0 when none.
uint32_t ExifItemId(Window& data, const std::optional<Box>& iinf) {
    const std::span<const uint8_t> p = SmallPayload(data, iinf);
    Fields head(p);
    const uint64_t version = head.Take(1);
    head.Take(3);
    const uint64_t entries = head.Take(version == 0 ? 2 : 4);
    std::size_t at = full_box::HeaderBytes + (version == 0 ? 2 : 4);
    for (uint64_t n = 0; head.Ok() && n < entries && n < kMaxItems; ++n) {
        Fields entry(p, at);
        const uint64_t length = entry.Take(4);
        const bool isInfe = entry.Take(4) == 0x696E6665;  // "infe"
        const uint64_t entryVersion = entry.Take(1);
        entry.Take(3);
        const uint64_t id = entry.Take(entryVersion == 2 ? 2 : 4);
        entry.Take(infe::ProtectionIndexBytes);
        const uint64_t type = entry.Take(4);
        if (!entry.Ok() || !isInfe || length < box::HeaderBytes || length > p.size() - at) {
            return 0;
        }
        if (entryVersion >= 2 && type == 0x45786966) {  // "Exif"
            return static_cast<uint32_t>(id);
        }
        at += static_cast<std::size_t>(length);
    }
    return 0;
}

struct Extent {
    uint64_t offset = 0;
    uint64_t length = 0;
};

// Where the item `id` lies in the file, when the item location box places it there in one
// extent.
std::optional<Extent> ItemExtent(Window& data, const std::optional<Box>& ilocBox, uint32_t id) {
    const std::span<const uint8_t> p = SmallPayload(data, ilocBox);
    Fields f(p);
    const uint64_t version = f.Take(1);
    f.Take(3);
    const uint64_t sizes = f.Take(1);
    const uint64_t baseSizes = f.Take(1);
    const std::size_t offsetSize = sizes >> 4;
    const std::size_t lengthSize = sizes & 0x0F;
    const std::size_t baseOffsetSize = baseSizes >> 4;
    const bool indexed = version == 1 || version == 2;
    const std::size_t indexSize = indexed ? baseSizes & 0x0F : 0;
    const uint64_t items = f.Take(version < 2 ? 2 : 4);
    for (uint64_t n = 0; f.Ok() && n < items && n < kMaxItems; ++n) {
        const uint64_t itemId = f.Take(version < 2 ? 2 : 4);
        const uint64_t construction = indexed ? f.Take(2) & 0x0F : 0;
        f.Take(2);  // data reference index
        const uint64_t base = f.Take(baseOffsetSize);
        const uint64_t extents = f.Take(2);
        Extent first;
        for (uint64_t e = 0; f.Ok() && e < extents && e < kMaxItems; ++e) {
            f.Take(indexSize);
            const Extent extent{f.Take(offsetSize), f.Take(lengthSize)};
            first = e == 0 ? extent : first;
        }
        if (f.Ok() && itemId == id) {
            // In the file itself (not in an idat box), in one piece.
            if (construction != 0 || extents != 1 || first.offset > UINT64_MAX - base) {
                return std::nullopt;
            }
            return Extent{base + first.offset, first.length};
        }
    }
    return std::nullopt;
}

// The date and camera of the EXIF item: a 4-byte offset, then the TIFF structure past it.
Metadata ReadExifItem(Window& data, uint64_t end) {
    const std::optional<Box> meta = FindBox(data, 0, end, "meta");
    if (!meta) {
        return {};
    }
    const uint64_t children = meta->Payload() + full_box::HeaderBytes;
    const uint32_t id = ExifItemId(data, FindBox(data, children, meta->End(), "iinf"));
    const std::optional<Extent> item =
        id == 0 ? std::nullopt : ItemExtent(data, FindBox(data, children, meta->End(), "iloc"), id);
    if (!item || item->offset >= end || item->length < 4 || item->length > end - item->offset) {
        return {};
    }
    const uint64_t skip = bytes::Be32(data.At(item->offset, 4), 0);
    const uint64_t itemEnd = item->offset + item->length;
    if (skip > item->length - 4) {
        return {};
    }
    return ReadTiffMetadata(data, item->offset + 4 + skip, itemEnd);
}

// The EXIF item's date and camera; AVIF, a HEIF image coded as AV1, by its own extension.
Metadata ReadHeicMetadata(Window& data, uint64_t end) {
    Metadata metadata = ReadExifItem(data, end);
    // The raws' extensions say nothing of a HEIF image.
    const bool avif = FourCc(UpTo(data, 0, ftyp::CompatibleBrands), ftyp::MajorBrand) == "avif";
    metadata.extension = avif ? "avif" : "";
    return metadata;
}

}  // namespace

const Format kMp4Format = {
    .family = Family::Mp4,
    .name = "MP4",
    .extension = "mp4",
    .IsHeader = IsMp4Header,
    .Check = CheckMp4,
    .FindEnd = FindMp4End,
    .ReadMetadata = ReadMp4Metadata,
    .maxBytes = uint64_t{4} << 30,
};

const Format kHeicFormat = {
    .family = Family::Heic,
    .name = "HEIC",
    .extension = "heic",
    .IsHeader = IsHeicHeader,
    .Check = CheckHeic,
    .FindEnd = FindHeicEnd,
    .ReadMetadata = ReadHeicMetadata,
    .maxBytes = uint64_t{4} << 30,
};

}  // namespace relicta::content
