// ZIP and the formats built on it (OOXML, ODF, EPUB, JAR, APK). The structure check reads the
// central directory from the end record back; the end finder walks forward from the first
// local header through every entry's data, inflating it to check its CRC, to the end record
// that points back at the central directory it found.
#include <zlib.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <vector>

#include "bytes/le_bytes.h"
#include "content/formats/all_formats.h"
#include "content/formats/walk.h"
#include "content/formats/zip_layout.h"

namespace relicta::content {
namespace {

using namespace zip;

constexpr uint64_t kMaxBytes = uint64_t{4} << 30;
// Data inflated to check CRCs, at most: a bound on the time a hostile file costs.
constexpr uint64_t kMaxInflated = uint64_t{16} << 30;
// Entries whose names are read for the extension.
constexpr uint64_t kMaxNamedEntries = 10000;
constexpr std::size_t kMaxMimeTypeBytes = 64;

std::vector<uint8_t> Copy(std::span<const uint8_t> bytes) {
    return {bytes.begin(), bytes.end()};
}

// The ZIP64 extra field's values in order, each present when the 32-bit field it widens is
// all ones; nullopt when a value it should hold is missing.
std::optional<std::vector<uint64_t>> Zip64Values(std::span<const uint8_t> extra,
                                                 std::span<const bool> wide) {
    for (std::size_t at = 0; at + ExtraHeaderBytes <= extra.size();) {
        const uint16_t id = bytes::U16(extra, at);
        const uint16_t length = bytes::U16(extra, at + 2);
        if (id == Zip64ExtraId) {
            std::vector<uint64_t> values;
            std::size_t field = at + ExtraHeaderBytes;
            for (bool w : wide) {
                if (!w) {
                    values.push_back(0);
                    continue;
                }
                if (field + 8 > extra.size() || field + 8 > at + ExtraHeaderBytes + length) {
                    return std::nullopt;
                }
                values.push_back(bytes::U64(extra, field));
                field += 8;
            }
            return values;
        }
        at += ExtraHeaderBytes + length;
    }
    return std::nullopt;
}

// ---- The central directory, read from the end record back.

struct CentralDirectory {
    uint64_t entries = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t end = 0;  // where the end record (or the ZIP64 one) begins
};

// The end record in the last bytes before `size`, with ZIP64's where it defers to them.
std::optional<CentralDirectory> FindCentralDirectory(Window& data, uint64_t size) {
    if (size < end::Bytes) {
        return std::nullopt;
    }
    const uint64_t from = size - std::min<uint64_t>(size, end::Bytes + end::MaxComment);
    const std::vector<uint8_t> tail = Copy(data.At(from, static_cast<std::size_t>(size - from)));
    if (tail.size() < end::Bytes) {
        return std::nullopt;
    }
    for (std::size_t i = tail.size() - end::Bytes + 1; i-- > 0;) {
        if (!Is(tail, i, EndSignature)) {
            continue;
        }
        CentralDirectory cd{bytes::U16(tail, i + end::Entries),
                            bytes::U32(tail, i + end::DirectoryOffset),
                            bytes::U32(tail, i + end::DirectorySize), from + i};
        if (cd.entries == Wide16 || cd.offset == Wide32 || cd.size == Wide32) {
            // ZIP64: the locator right before the end record points at the ZIP64 end record.
            if (from + i < locator64::Bytes) {
                return std::nullopt;
            }
            const std::span<const uint8_t> locator =
                data.At(from + i - locator64::Bytes, locator64::Bytes);
            if (!Is(locator, 0, Locator64Signature)) {
                return std::nullopt;
            }
            const uint64_t end64At = bytes::U64(locator, locator64::End64Offset);
            const std::span<const uint8_t> end64 = data.At(end64At, end64::Bytes);
            if (!Is(end64, 0, End64Signature)) {
                return std::nullopt;
            }
            cd = {bytes::U64(end64, end64::Entries), bytes::U64(end64, end64::DirectoryOffset),
                  bytes::U64(end64, end64::DirectorySize), end64At};
        }
        return cd;
    }
    return std::nullopt;
}

struct CentralEntry {
    std::string name;
    uint64_t local = 0;  // where its local header lies
    uint64_t next = 0;   // where the next entry begins
};

std::optional<CentralEntry> ReadCentralEntry(Window& data, uint64_t pos) {
    const std::vector<uint8_t> fields = Copy(data.At(pos, central::Bytes));
    if (!Is(fields, 0, CentralSignature)) {
        return std::nullopt;
    }
    const uint16_t nameLength = bytes::U16(fields, central::NameLength);
    const uint16_t extraLength = bytes::U16(fields, central::ExtraLength);
    CentralEntry entry;
    entry.name = AsText(data.At(pos + central::Bytes, nameLength));
    entry.local = bytes::U32(fields, central::LocalOffset);
    entry.next = pos + central::Bytes + nameLength + extraLength +
                 bytes::U16(fields, central::CommentLength);
    if (entry.local == Wide32) {
        const bool wide[] = {bytes::U32(fields, central::Size) == Wide32,
                             bytes::U32(fields, central::CompressedSize) == Wide32, true};
        const std::optional<std::vector<uint64_t>> values =
            Zip64Values(data.At(pos + central::Bytes + nameLength, extraLength), wide);
        entry.local = values ? values->back() : UINT64_MAX;
    }
    return entry;
}

StructureResult CheckZip(Window& data) {
    const std::span<const uint8_t> head = data.At(0, SignatureBytes);
    if (!Is(head, 0, LocalSignature) && !Is(head, 0, EndSignature)) {
        return NoSignature("no ZIP local header at the start");
    }
    const std::optional<CentralDirectory> cd = FindCentralDirectory(data, data.Size());
    if (!cd) {
        return Broken("no end-of-central-directory record: cut short or written over at the end");
    }
    if (cd->offset > cd->end || cd->size > cd->end - cd->offset) {
        return Broken("the central directory lies outside the file");
    }
    uint64_t pos = cd->offset;
    for (uint64_t n = 0; n < cd->entries && n < kMaxItems; ++n) {
        const std::optional<CentralEntry> entry = ReadCentralEntry(data, pos);
        if (!entry) {
            return Broken("central directory entry " + std::to_string(n + 1) + " " + At(pos) +
                          " is broken");
        }
        if (entry->local >= cd->offset ||
            !Is(data.At(entry->local, SignatureBytes), 0, LocalSignature)) {
            return Broken("the local header of entry " + std::to_string(n + 1) + " (" +
                          At(entry->local) + ") is missing");
        }
        pos = entry->next;
    }
    return Ok();
}

// ---- The end: local headers and their data, the central directory, the end records.

struct LocalEntry {
    uint16_t flags = 0;
    uint16_t method = 0;
    uint32_t crc = 0;
    uint64_t compressed = 0;
    uint64_t size = 0;
    bool wide = false;  // ZIP64 sizes: a data descriptor holds 8-byte ones
    uint64_t data = 0;  // where its data begins
};

std::optional<LocalEntry> ReadLocalEntry(Window& data, uint64_t pos) {
    const std::vector<uint8_t> h = Copy(data.At(pos, local::Bytes));
    if (!Is(h, 0, LocalSignature) || (bytes::U16(h, local::Version) & 0xFF) >= MaxVersion) {
        return std::nullopt;
    }
    const uint16_t nameLength = bytes::U16(h, local::NameLength);
    const uint16_t extraLength = bytes::U16(h, local::ExtraLength);
    LocalEntry entry{bytes::U16(h, local::Flags),
                     bytes::U16(h, local::Method),
                     bytes::U32(h, local::Crc),
                     bytes::U32(h, local::CompressedSize),
                     bytes::U32(h, local::Size),
                     false,
                     pos + local::Bytes + nameLength + extraLength};
    if (nameLength == 0) {
        return std::nullopt;
    }
    if (entry.size == Wide32 || entry.compressed == Wide32) {
        const bool wide[] = {true, true};
        const std::optional<std::vector<uint64_t>> values =
            Zip64Values(data.At(pos + local::Bytes + nameLength, extraLength), wide);
        if (!values) {
            return std::nullopt;
        }
        entry.size = (*values)[0];
        entry.compressed = (*values)[1];
        entry.wide = true;
    }
    return entry;
}

// Where an entry's data ends, or why and where it breaks.
struct DataEnd {
    uint64_t end = 0;
    std::string broken;
    uint64_t at = 0;
};

DataEnd DataBreaks(std::string why, uint64_t at) {
    return {0, std::move(why), at};
}

// Inflates the raw deflate stream at `from`: its compressed length and the CRC of what it
// expands to, or where it breaks.
struct Inflated {
    uint64_t consumed = 0;
    uint32_t crc = 0;
    uint64_t produced = 0;
    std::string broken;
    uint64_t at = 0;
};

Inflated Inflate(Window& data, uint64_t from, uint64_t most, uint64_t limit) {
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) {
        return {0, 0, 0, "no memory to inflate", from};
    }
    std::vector<uint8_t> out(kBlockBytes);
    Inflated result;
    uint64_t read = 0;
    while (true) {
        if (z.avail_in == 0) {
            const std::size_t piece =
                static_cast<std::size_t>(std::min<uint64_t>(kBlockBytes, most - read));
            const std::span<const uint8_t> in =
                piece == 0 ? std::span<const uint8_t>() : data.At(from + read, piece);
            if (in.empty()) {
                result.broken = "the deflated data " + At(from) + " is cut short";
                result.at = from + read;
                break;
            }
            z.next_in = const_cast<Bytef*>(in.data());
            z.avail_in = static_cast<uInt>(in.size());
            read += in.size();
        }
        const uInt before = z.avail_in;
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        const int status = inflate(&z, Z_NO_FLUSH);
        const std::size_t produced = out.size() - z.avail_out;
        result.crc = Crc32(result.crc, std::span(out).first(produced));
        result.produced += produced;
        if (status == Z_STREAM_END) {
            result.consumed = z.total_in;
            break;
        }
        const bool stuck = produced == 0 && z.avail_in == before;
        if ((status != Z_OK && status != Z_BUF_ERROR) || stuck || result.produced > limit) {
            result.broken = "the deflated data " + At(from) + " breaks";
            result.at = from + z.total_in + 1;
            break;
        }
    }
    inflateEnd(&z);
    return result;
}

// A data descriptor: the CRC and compressed size of the data before it, and where it ends.
struct Descriptor {
    uint32_t crc = 0;
    uint64_t compressed = 0;
    uint64_t end = 0;
};

std::optional<Descriptor> ReadDescriptor(Window& data, uint64_t pos, bool wide) {
    const std::vector<uint8_t> d = Copy(UpTo(data, pos, SignatureBytes + descriptor::Bytes64));
    const std::size_t at = Is(d, 0, DescriptorSignature) ? SignatureBytes : 0;
    const std::size_t length = wide ? descriptor::Bytes64 : descriptor::Bytes;
    if (d.size() < at + length) {
        return std::nullopt;
    }
    return Descriptor{bytes::U32(d, at + descriptor::Crc),
                      wide ? bytes::U64(d, at + descriptor::CompressedSize)
                           : bytes::U32(d, at + descriptor::CompressedSize),
                      pos + at + length};
}

// Data of unknown length followed by a descriptor: the descriptor that states the length
// before it (and, where the data is stored as it is, its CRC).
DataEnd DescriptorAfter(Window& data, const LocalEntry& entry, bool plain) {
    const uint64_t size = data.Size();
    // The CRC of the data up to each signature, carried on from the one before.
    uint64_t summed = entry.data;
    uint32_t crc = 0;
    for (uint64_t at = FindForward(data, entry.data, size, DescriptorSignature); at < size;
         at = FindForward(data, at + 1, size, DescriptorSignature)) {
        if (plain) {
            const std::optional<uint32_t> more = CrcOf(data, summed, at - summed, crc);
            if (!more) {
                break;
            }
            crc = *more;
            summed = at;
        }
        const std::optional<Descriptor> d = ReadDescriptor(data, at, entry.wide);
        if (d && d->compressed == at - entry.data && (!plain || d->crc == crc)) {
            return {d->end, {}, 0};
        }
    }
    return DataBreaks("no data descriptor after the data " + At(entry.data), size);
}

DataEnd DeflatedEnd(Window& data, const LocalEntry& entry, uint64_t& budget) {
    const uint64_t size = data.Size();
    const bool descriptor = (entry.flags & FlagDescriptor) != 0;
    const uint64_t most = descriptor ? size - entry.data : entry.compressed;
    if (most > size - entry.data) {
        return DataBreaks("the entry " + At(entry.data) + " runs past the end of the data", size);
    }
    const Inflated inflated =
        Inflate(data, entry.data, most, descriptor ? budget : std::min(budget, entry.size));
    budget -= std::min(budget, inflated.produced);
    if (!inflated.broken.empty()) {
        return DataBreaks(inflated.broken, inflated.at);
    }
    const uint64_t end = entry.data + inflated.consumed;
    if (descriptor) {
        const std::optional<Descriptor> d = ReadDescriptor(data, end, entry.wide);
        return d && d->crc == inflated.crc && d->compressed == inflated.consumed
                   ? DataEnd{d->end, {}, 0}
                   : DataBreaks("the data descriptor " + At(end) + " does not match",
                                end + SignatureBytes);
    }
    if (inflated.consumed != entry.compressed || inflated.produced != entry.size ||
        inflated.crc != entry.crc) {
        return DataBreaks("the entry " + At(entry.data) + " fails its CRC", end);
    }
    return {end, {}, 0};
}

DataEnd EntryDataEnd(Window& data, const LocalEntry& entry, uint64_t& budget) {
    const uint64_t size = data.Size();
    const bool descriptor = (entry.flags & FlagDescriptor) != 0;
    // Stored or deflated data is checked against its CRC; encrypted or otherwise compressed
    // data only by its length.
    const bool plain = (entry.flags & FlagEncrypted) == 0 && entry.method == MethodStored;
    if (entry.method == MethodDeflated && (entry.flags & FlagEncrypted) == 0) {
        return DeflatedEnd(data, entry, budget);
    }
    if (descriptor && entry.compressed == 0) {
        return DescriptorAfter(data, entry, plain);
    }
    if (entry.compressed > size - entry.data) {
        return DataBreaks("the entry " + At(entry.data) + " runs past the end of the data", size);
    }
    uint64_t end = entry.data + entry.compressed;
    uint32_t crc = entry.crc;
    if (descriptor) {
        const std::optional<Descriptor> d = ReadDescriptor(data, end, entry.wide);
        if (!d || d->compressed != entry.compressed) {
            return DataBreaks("the data descriptor " + At(end) + " does not match",
                              end + SignatureBytes);
        }
        crc = d->crc;
        end = d->end;
    }
    if (plain && CrcOf(data, entry.data, entry.compressed) != crc) {
        return DataBreaks("the entry " + At(entry.data) + " fails its CRC", end);
    }
    return {end, {}, 0};
}

// The central directory from `pos`, each entry pointing at one of the local headers walked
// (`locals`, in order); where it ends, 0 when it breaks.
uint64_t CentralDirectoryEnd(Window& data, uint64_t pos, const std::vector<uint64_t>& locals,
                             uint64_t& entries) {
    for (entries = 0; entries <= locals.size(); ++entries) {
        if (!Is(UpTo(data, pos, SignatureBytes), 0, CentralSignature)) {
            return pos;
        }
        const std::optional<CentralEntry> entry = ReadCentralEntry(data, pos);
        if (!entry || !std::binary_search(locals.begin(), locals.end(), entry->local)) {
            return 0;
        }
        pos = entry->next;
    }
    return 0;
}

// The end records at `pos` after a central directory of `entries` at [cdStart, pos); where
// the file ends, 0 when they do not point back at it.
uint64_t EndRecordsEnd(Window& data, uint64_t pos, uint64_t cdStart, uint64_t entries) {
    const uint64_t cdSize = pos - cdStart;
    bool wide = false;
    if (const std::vector<uint8_t> r = Copy(UpTo(data, pos, end64::Bytes));
        Is(r, 0, End64Signature)) {
        const uint64_t length = bytes::U64(r, end64::RecordSize);
        if (r.size() < end64::Bytes || bytes::U64(r, end64::DirectoryOffset) != cdStart ||
            bytes::U64(r, end64::DirectorySize) != cdSize ||
            bytes::U64(r, end64::Entries) != entries ||
            length < end64::Bytes - end64::SizeFieldEnd || length > data.Size() - pos) {
            return 0;
        }
        const uint64_t locatorAt = pos + end64::SizeFieldEnd + length;
        const std::vector<uint8_t> locator = Copy(UpTo(data, locatorAt, locator64::Bytes));
        if (!Is(locator, 0, Locator64Signature) ||
            bytes::U64(locator, locator64::End64Offset) != pos) {
            return 0;
        }
        pos = locatorAt + locator64::Bytes;
        wide = true;
    }
    const std::vector<uint8_t> e = Copy(UpTo(data, pos, end::Bytes));
    if (e.size() < end::Bytes || !Is(e, 0, EndSignature)) {
        return 0;
    }
    // Each field is right, or all ones where the ZIP64 record holds it.
    const auto holds = [wide](uint64_t field, uint64_t allOnes, uint64_t value) {
        return field == value || (wide && field == allOnes);
    };
    if (!holds(bytes::U32(e, end::DirectoryOffset), Wide32, cdStart) ||
        !holds(bytes::U32(e, end::DirectorySize), Wide32, cdSize) ||
        !holds(bytes::U16(e, end::Entries), Wide16, entries)) {
        return 0;
    }
    const uint64_t end = pos + end::Bytes + bytes::U16(e, end::CommentLength);
    return end <= data.Size() ? end : 0;
}

// Where an APK's signing block at `pos`, between the entries and the central directory, ends
// (its length stands before and after it, then its magic); 0 when there is none.
uint64_t SigningBlockEnd(Window& data, uint64_t pos) {
    const uint64_t length = bytes::U64(UpTo(data, pos, apk::LengthBytes), 0);
    if (length < apk::LengthBytes + apk::Magic.size() ||
        length > data.Size() - pos - apk::LengthBytes) {
        return 0;
    }
    const uint64_t end = pos + apk::LengthBytes + length;
    const std::span<const uint8_t> tail = UpTo(data, end - apk::LengthBytes - apk::Magic.size(),
                                               apk::LengthBytes + apk::Magic.size());
    return bytes::U64(tail, 0) == length && Is(tail, apk::LengthBytes, apk::Magic) &&
                   Is(UpTo(data, end, SignatureBytes), 0, CentralSignature)
               ? end
               : 0;
}

FileEnd FindZipEnd(Window& data) {
    std::vector<uint64_t> locals;
    uint64_t budget = kMaxInflated;
    uint64_t pos = 0;
    while (locals.size() < kMaxItems) {
        const std::span<const uint8_t> signature = UpTo(data, pos, SignatureBytes);
        if (Is(signature, 0, CentralSignature) && !locals.empty()) {
            break;
        }
        if (const uint64_t signedEnd = SigningBlockEnd(data, pos);
            signedEnd != 0 && !locals.empty()) {
            pos = signedEnd;
            break;
        }
        if (!Is(signature, 0, LocalSignature)) {
            return locals.empty() ? NoEnd("no ZIP local header at the start")
                                  : NoEnd("no ZIP record " + At(pos), pos + SignatureBytes);
        }
        const std::optional<LocalEntry> entry = ReadLocalEntry(data, pos);
        if (!entry) {
            return NoEnd("a broken local header " + At(pos), pos + local::Bytes);
        }
        const DataEnd end = EntryDataEnd(data, *entry, budget);
        if (!end.broken.empty()) {
            return NoEnd(end.broken, end.at);
        }
        locals.push_back(pos);
        pos = end.end;
    }
    const uint64_t cdStart = pos;
    uint64_t entries = 0;
    const uint64_t cdEnd = CentralDirectoryEnd(data, cdStart, locals, entries);
    if (cdEnd == 0) {
        return NoEnd("the central directory " + At(cdStart) + " is broken", cdStart);
    }
    const uint64_t end = EndRecordsEnd(data, cdEnd, cdStart, entries);
    if (end == 0) {
        return NoEnd("no end record " + At(cdEnd) + " that points back at the central directory",
                     cdEnd + end::Bytes);
    }
    return EndAt(end);
}

bool IsZipHeader(std::span<const uint8_t> head) {
    if (!Is(head, 0, LocalSignature) || head.size() < local::Bytes) {
        return false;
    }
    const uint16_t method = bytes::U16(head, local::Method);
    const uint16_t nameLength = bytes::U16(head, local::NameLength);
    return (bytes::U16(head, local::Version) & 0xFF) < MaxVersion && nameLength > 0 &&
           std::find(std::begin(KnownMethods), std::end(KnownMethods), method) !=
               std::end(KnownMethods);
}

// ---- The extension: what the entries say the archive is.

// An OpenDocument's or EPUB's extension from its first entry, "mimetype" stored.
std::string ExtensionOfMimeType(Window& data) {
    const std::optional<LocalEntry> entry = ReadLocalEntry(data, 0);
    if (!entry || entry->method != MethodStored || entry->compressed > kMaxMimeTypeBytes) {
        return {};
    }
    const std::string type(AsText(data.At(entry->data, entry->compressed)));
    static constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
        {"application/vnd.oasis.opendocument.text", "odt"},
        {"application/vnd.oasis.opendocument.spreadsheet", "ods"},
        {"application/vnd.oasis.opendocument.presentation", "odp"},
        {"application/vnd.oasis.opendocument.graphics", "odg"},
        {"application/epub+zip", "epub"},
    };
    for (const auto& [mime, extension] : kTypes) {
        if (type == mime) {
            return std::string(extension);
        }
    }
    return {};
}

Metadata ReadZipMetadata(Window& data, uint64_t end) {
    const std::optional<CentralDirectory> cd = FindCentralDirectory(data, end);
    if (!cd) {
        return {};
    }
    bool contentTypes = false;
    bool androidManifest = false;
    bool javaManifest = false;
    std::string office;
    std::string first;
    uint64_t pos = cd->offset;
    for (uint64_t n = 0; n < cd->entries && n < kMaxNamedEntries && pos < cd->end; ++n) {
        const std::optional<CentralEntry> entry = ReadCentralEntry(data, pos);
        if (!entry) {
            break;
        }
        const std::string& name = entry->name;
        if (n == 0) {
            first = name;
        }
        contentTypes = contentTypes || name == "[Content_Types].xml";
        androidManifest = androidManifest || name == "AndroidManifest.xml";
        javaManifest = javaManifest || name == "META-INF/MANIFEST.MF";
        for (const auto& [folder, extension] :
             {std::pair{"word/", "docx"}, {"xl/", "xlsx"}, {"ppt/", "pptx"}}) {
            if (office.empty() && name.starts_with(folder)) {
                office = extension;
            }
        }
        pos = entry->next;
    }
    Metadata metadata;
    if (first == "mimetype") {
        metadata.extension = ExtensionOfMimeType(data);
    } else if (contentTypes && !office.empty()) {
        metadata.extension = office;
    } else if (androidManifest) {
        metadata.extension = "apk";
    } else if (javaManifest) {
        metadata.extension = "jar";
    }
    return metadata;
}

}  // namespace

const Format kZipFormat = {
    .family = Family::Zip,
    .name = "ZIP",
    .extension = "zip",
    .IsHeader = IsZipHeader,
    .Check = CheckZip,
    .FindEnd = FindZipEnd,
    .ReadMetadata = ReadZipMetadata,
    .maxBytes = kMaxBytes,
};

}  // namespace relicta::content
