// The IFDs of a TIFF structure, and the date and camera they state.
#include "content/formats/exif.h"

#include <algorithm>
#include <cctype>

#include "bytes/be_bytes.h"
#include "content/formats/tiff_ifd.h"
#include "content/formats/tiff_layout.h"
#include "content/formats/walk.h"

namespace relicta::content {
namespace tiff {
namespace {

uint64_t TypeBytes(uint16_t type) {
    switch (type) {
        case 1:  // BYTE
        case 2:  // ASCII
        case 6:  // SBYTE
        case 7:  // UNDEFINED
            return 1;
        case 3:  // SHORT
        case 8:  // SSHORT
            return 2;
        case 4:   // LONG
        case 9:   // SLONG
        case 11:  // FLOAT
        case 13:  // IFD
            return 4;
        case 5:   // RATIONAL
        case 10:  // SRATIONAL
        case 12:  // DOUBLE
            return 8;
        default:
            return 0;
    }
}

}  // namespace

std::optional<Header> ReadHeader(std::span<const uint8_t> head) {
    if (head.size() < HeaderBytes) {
        return std::nullopt;
    }
    Header header;
    if (head[0] == 'I' && head[1] == 'I') {
        header.bigEndian = false;
    } else if (head[0] == 'M' && head[1] == 'M') {
        header.bigEndian = true;
    } else {
        return std::nullopt;
    }
    header.magic = bytes::U16In(head, Magic, header.bigEndian);
    header.firstIfd = bytes::U32In(head, FirstIfd, header.bigEndian);
    const bool known =
        header.magic == MagicTiff || header.magic == MagicOlympus || header.magic == MagicOlympusS;
    if (!known || header.firstIfd < HeaderBytes) {
        return std::nullopt;
    }
    return header;
}

uint64_t Entry::Bytes() const {
    return uint64_t{count} * TypeBytes(type);
}

bool Entry::Inline() const {
    return Bytes() <= InlineValueBytes;
}

std::span<const uint8_t> Reader::Bytes(uint64_t offset, std::size_t n) {
    const uint64_t limit = Limit();
    if (end_ < start_ || offset > limit || n > limit - offset) {
        return {};
    }
    return data_.At(start_ + offset, n);
}

bool Reader::ReadIfd(uint32_t offset, Ifd& ifd) {
    const std::span<const uint8_t> countBytes = Bytes(offset, IfdCountBytes);
    if (countBytes.empty()) {
        return false;
    }
    const std::size_t count = bytes::U16In(countBytes, 0, bigEndian_);
    if (count == 0 || count > kMaxEntries) {
        return false;
    }
    const std::size_t length = IfdCountBytes + count * EntryBytes + NextIfdBytes;
    const std::span<const uint8_t> b = Bytes(offset, length);
    if (b.empty()) {
        return false;
    }
    ifd.entries.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = IfdCountBytes + i * EntryBytes;
        Entry& e = ifd.entries[i];
        e.tag = bytes::U16In(b, at + EntryTag, bigEndian_);
        e.type = bytes::U16In(b, at + EntryType, bigEndian_);
        e.count = bytes::U32In(b, at + EntryCount, bigEndian_);
        std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(at + EntryValue), e.value.size(),
                    e.value.begin());
    }
    ifd.next = bytes::U32In(b, length - NextIfdBytes, bigEndian_);
    ifd.end = uint64_t{offset} + length;
    return true;
}

uint32_t Reader::ValueOffset(const Entry& entry) const {
    return bytes::U32In(entry.value, 0, bigEndian_);
}

std::span<const uint8_t> Reader::ValueBytes(const Entry& entry, uint64_t from, std::size_t n) {
    if (!entry.Inline()) {
        return Bytes(uint64_t{ValueOffset(entry)} + from, n);
    }
    if (from > entry.value.size() || n > entry.value.size() - from) {
        return {};
    }
    return std::span<const uint8_t>(entry.value).subspan(static_cast<std::size_t>(from), n);
}

std::string Reader::Text(const Entry& entry) {
    if (entry.type != TypeAscii) {
        return {};
    }
    const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(entry.count, kMaxTextBytes));
    const std::span<const uint8_t> b = ValueBytes(entry, 0, n);
    const auto nul = std::find(b.begin(), b.end(), uint8_t{0});
    return {b.begin(), nul};
}

bool Reader::Numbers(const Entry& entry, uint64_t first, std::span<uint64_t> out) {
    const uint64_t size = TypeBytes(entry.type);
    const bool integer = entry.type == TypeByte || entry.type == TypeShort ||
                         entry.type == TypeLong || entry.type == TypeIfd;
    if (!integer || first > entry.count || out.size() > entry.count - first) {
        return false;
    }
    const std::span<const uint8_t> b = ValueBytes(entry, first * size, out.size() * size);
    if (b.size() != out.size() * size) {
        return false;
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::size_t at = i * size;
        out[i] = size == 1   ? b[at]
                 : size == 2 ? bytes::U16In(b, at, bigEndian_)
                             : bytes::U32In(b, at, bigEndian_);
    }
    return true;
}

}  // namespace tiff

namespace {

// A make or model as a file name may carry it: printable ASCII, no padding.
std::string Clean(const std::string& text) {
    std::string clean;
    for (const char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            clean += c;
        }
    }
    const std::size_t first = clean.find_first_not_of(' ');
    const std::size_t last = clean.find_last_not_of(' ');
    return first == std::string::npos ? std::string() : clean.substr(first, last - first + 1);
}

// "Canon" and "Canon EOS 80D" make "Canon EOS 80D"; "NIKON CORPORATION" and "NIKON D750" make
// "NIKON D750"; "SONY" and "ILCE-7M3" make "SONY ILCE-7M3".
std::string Camera(const std::string& make, const std::string& model) {
    if (make.empty() || model.empty()) {
        return make.empty() ? model : make;
    }
    const std::string brand = make.substr(0, make.find(' '));
    const bool repeated = model.size() >= brand.size() &&
                          std::equal(brand.begin(), brand.end(), model.begin(), [](char a, char b) {
                              return std::tolower(static_cast<unsigned char>(a)) ==
                                     std::tolower(static_cast<unsigned char>(b));
                          });
    return repeated ? model : make + " " + model;
}

// "YYYY:MM:DD HH:MM:SS", the form EXIF writes; none when it is blank or out of range.
StatedTime ParseDateTime(const std::string& text) {
    static constexpr std::size_t kLength = 19;
    static constexpr std::size_t kFields[] = {0, 5, 8, 11, 14, 17};
    static constexpr std::size_t kWidths[] = {4, 2, 2, 2, 2, 2};
    if (text.size() < kLength) {
        return {};
    }
    int values[6] = {};
    for (std::size_t f = 0; f < 6; ++f) {
        for (std::size_t i = kFields[f]; i < kFields[f] + kWidths[f]; ++i) {
            if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
                return {};
            }
            values[f] = values[f] * 10 + (text[i] - '0');
        }
    }
    const auto [year, month, day, hour, minute, second] = values;
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
        second > 60) {
        return {};
    }
    return {year, month, day, hour, minute, second, false};
}

// The DateTimeOriginal of the EXIF IFD the entry points at.
StatedTime DateTaken(tiff::Reader& reader, const tiff::Entry& exifPointer) {
    uint64_t offset = 0;
    tiff::Ifd exif;
    if (!reader.Numbers(exifPointer, 0, std::span(&offset, 1)) ||
        !reader.ReadIfd(static_cast<uint32_t>(offset), exif)) {
        return {};
    }
    for (const tiff::Entry& e : exif.entries) {
        if (e.tag == tiff::TagDateTimeOriginal) {
            return ParseDateTime(reader.Text(e));
        }
    }
    return {};
}

// What the header alone says of a raw: Canon's "CR" after it, Olympus's own magic.
std::string RawExtension(Window& data, uint64_t tiffStart, uint64_t tiffEnd,
                         const tiff::Header& header) {
    if (header.magic != tiff::MagicTiff) {
        return "orf";
    }
    const bool canon = tiffEnd - tiffStart >= tiff::CanonRawMarker + 2 &&
                       Is(data.At(tiffStart + tiff::CanonRawMarker, 2), 0, "CR");
    return canon ? "cr2" : std::string();
}

}  // namespace

Metadata ReadTiffMetadata(Window& data, uint64_t tiffStart, uint64_t tiffEnd) {
    Metadata metadata;
    if (tiffEnd <= tiffStart || tiffEnd - tiffStart < tiff::HeaderBytes) {
        return metadata;
    }
    const std::optional<tiff::Header> header =
        tiff::ReadHeader(data.At(tiffStart, tiff::HeaderBytes));
    if (!header) {
        return metadata;
    }
    tiff::Reader reader(data, tiffStart, tiffEnd, header->bigEndian);
    tiff::Ifd ifd0;
    if (!reader.ReadIfd(header->firstIfd, ifd0)) {
        return metadata;
    }
    std::string make;
    std::string model;
    StatedTime taken;
    StatedTime changed;
    bool dng = false;
    for (const tiff::Entry& e : ifd0.entries) {
        switch (e.tag) {
            case tiff::TagMake:
                make = Clean(reader.Text(e));
                break;
            case tiff::TagModel:
                model = Clean(reader.Text(e));
                break;
            case tiff::TagDateTime:
                changed = ParseDateTime(reader.Text(e));
                break;
            case tiff::TagExifIfd:
                taken = DateTaken(reader, e);
                break;
            case tiff::TagDngVersion:
                dng = true;
                break;
            default:
                break;
        }
    }
    metadata.time = taken.year != 0 ? taken : changed;
    metadata.camera = Camera(make, model);
    metadata.extension = dng ? "dng" : RawExtension(data, tiffStart, tiffEnd, *header);
    return metadata;
}

}  // namespace relicta::content
