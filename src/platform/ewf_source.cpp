#include "platform/ewf_source.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/chunked_source.h"
#include "platform/ewf_layout.h"
#include "platform/file_io.h"
#include "platform/last_error.h"
#include "bytes/le_bytes.h"

namespace relicta::platform {
namespace {

using bytes::Bytes;
using bytes::U16;
using bytes::U32;
using bytes::U64;

constexpr std::string_view kSignature = {"EVF\x09\x0d\x0a\xff\x00", 8};
constexpr uint32_t kFirstSegment = 1;
constexpr uint32_t kMaxSegments = 100 + 26 * 26 * 22;  // .E01 to .ZZZ
constexpr uint32_t kMaxSectionsPerSegment = 1U << 20;
constexpr uint32_t kMaxTableEntries = 1U << 20;
// What deflate may add to a chunk that would not shrink (such chunks are stored as they are,
// but a damaged table may still call them deflated).
constexpr uint64_t kDeflateSlackBytes = 1024;
constexpr std::size_t kLoadedTables = 4;  // the entries of this many tables are kept

uint32_t Adler32(Bytes bytes) {
    return libdeflate_adler32(1, bytes.data(), bytes.size());
}

std::string SectionType(Bytes descriptor) {
    const auto* type = reinterpret_cast<const char*>(descriptor.data() + ewf::section::Type);
    return {type, strnlen(type, ewf::section::TypeBytes)};
}

// The name of segment `number` beside `first` (which ends in .E01, .e01, .s01 and the like):
// two digits up to 99, then two letters after the first letter moves on (.EAA ... .EZZ,
// .FAA ...).
std::optional<std::string> SegmentName(const std::string& first, uint32_t number) {
    const std::size_t dot = first.rfind('.');
    if (dot == std::string::npos || first.size() - dot != 4 ||
        std::isalpha(static_cast<unsigned char>(first[dot + 1])) == 0) {
        return number == kFirstSegment ? std::optional<std::string>(first) : std::nullopt;
    }
    std::string name = first;
    char* ext = name.data() + dot + 1;
    const bool upper = std::isupper(static_cast<unsigned char>(ext[0])) != 0;
    constexpr uint32_t kNumbered = 99;
    constexpr uint32_t kLetters = 26;
    if (number <= kNumbered) {
        ext[1] = static_cast<char>('0' + number / 10);
        ext[2] = static_cast<char>('0' + number % 10);
        return name;
    }
    const uint32_t past = number - kNumbered - 1;
    const uint32_t firstLetter =
        static_cast<uint32_t>(std::toupper(static_cast<unsigned char>(ext[0])) - 'A') +
        past / (kLetters * kLetters);
    if (firstLetter >= kLetters) {
        return std::nullopt;
    }
    const char a = upper ? 'A' : 'a';
    ext[0] = static_cast<char>(a + firstLetter);
    ext[1] = static_cast<char>(a + past / kLetters % kLetters);
    ext[2] = static_cast<char>(a + past % kLetters);
    return name;
}

struct Segment {
    FileDescriptor fd;
    std::string name;
    uint64_t size = 0;
};

// One table section: where the entries of the chunks it lists lie, and where their data ends.
struct Table {
    uint64_t firstChunk = 0;
    uint32_t entries = 0;
    uint32_t segment = 0;        // index in the source's segments
    uint64_t entriesAt = 0;      // in the segment file
    uint64_t copyEntriesAt = 0;  // its "table2" copy; 0 when there is none
    uint64_t base = 0;           // what the entries' offsets count from
    uint64_t dataEnd = 0;        // the end of the section that holds the chunks
};

// What an opened image's reads go by; fixed once it is open.
struct Layout {
    std::vector<Segment> segments;
    std::vector<Table> tables;  // by first chunk
    ChunkGeometry geometry;
};

// Expands chunks, with the table entries it read last; one per thread.
class EwfDecoder : public ChunkDecoder {
  public:
    explicit EwfDecoder(std::shared_ptr<const Layout> layout) : layout_(std::move(layout)) {}

    // False too when the chunk's checksum fails.
    bool Decode(uint64_t chunk, std::span<uint8_t> out) override;

  private:
    const std::vector<uint32_t>* Entries(std::size_t table);
    bool ReadEntries(const Table& t, uint64_t at, std::vector<uint32_t>& entries);

    std::shared_ptr<const Layout> layout_;
    Inflater inflater_;
    RecentTables<std::vector<uint32_t>, kLoadedTables> loaded_;
    std::vector<uint8_t> stored_;  // a chunk as the segment keeps it
};

bool EwfDecoder::ReadEntries(const Table& t, uint64_t at, std::vector<uint32_t>& entries) {
    std::vector<uint8_t> raw(std::size_t{t.entries} * ewf::table::EntryBytes +
                             ewf::StoredChunkChecksumBytes);
    std::size_t got = 0;
    if (at == 0 || !PreadAll(layout_->segments[t.segment].fd.get(), at, raw, got) ||
        got != raw.size()) {
        return false;
    }
    const Bytes bytes(raw);
    const std::size_t listBytes = raw.size() - ewf::StoredChunkChecksumBytes;
    // The oldest formats (EWF, SMART) keep no checksum of the entries: their chunks follow
    // the entries at once.
    const bool unchecked = t.base + (U32(bytes, 0) & ewf::table::EntryOffsetMask) == at + listBytes;
    if (!unchecked && Adler32(bytes.first(listBytes)) != U32(bytes, listBytes)) {
        return false;
    }
    entries.resize(t.entries);
    for (uint32_t i = 0; i < t.entries; ++i) {
        entries[i] = U32(bytes, std::size_t{i} * ewf::table::EntryBytes);
    }
    return true;
}

// The entries of table `table`, read (from its copy when it is damaged) once among the last
// few asked for; nullptr when neither copy checks out.
const std::vector<uint32_t>* EwfDecoder::Entries(std::size_t table) {
    return loaded_.Get(table, kLoadedTables, [&](std::vector<uint32_t>& entries) {
        const Table& t = layout_->tables[table];
        return ReadEntries(t, t.entriesAt, entries) || ReadEntries(t, t.copyEntriesAt, entries);
    });
}

bool EwfDecoder::Decode(uint64_t chunk, std::span<uint8_t> out) {
    const std::vector<Table>& tables = layout_->tables;
    const auto table = static_cast<std::size_t>(
        std::upper_bound(tables.begin(), tables.end(), chunk,
                         [](uint64_t c, const Table& t) { return c < t.firstChunk; }) -
        tables.begin() - 1);
    const std::vector<uint32_t>* entries = Entries(table);
    if (entries == nullptr) {
        return false;
    }
    const Table& t = tables[table];
    const Segment& segment = layout_->segments[t.segment];
    const auto index = static_cast<std::size_t>(chunk - t.firstChunk);
    const uint32_t entry = (*entries)[index];
    const uint64_t start = t.base + (entry & ewf::table::EntryOffsetMask);
    // A chunk ends where the next begins; the table's last where its section does.
    uint64_t end = t.dataEnd;
    if (index + 1 < entries->size()) {
        const uint64_t next = t.base + ((*entries)[index + 1] & ewf::table::EntryOffsetMask);
        if (next > start && next < end) {
            end = next;
        }
    }
    const bool compressed = (entry & ewf::table::EntryCompressed) != 0;
    const uint64_t most =
        out.size() + (compressed ? kDeflateSlackBytes : ewf::StoredChunkChecksumBytes);
    if (start >= end || start >= segment.size) {
        return false;
    }
    stored_.resize(static_cast<std::size_t>(std::min(end - start, most)));
    std::size_t got = 0;
    if (!PreadAll(segment.fd.get(), start, stored_, got)) {
        return false;
    }
    const Bytes stored = Bytes(stored_).first(got);
    if (compressed) {
        return inflater_.Expand(Inflater::Stream::Zlib, stored, out) == out.size();
    }
    if (stored.size() < out.size() + ewf::StoredChunkChecksumBytes ||
        Adler32(stored.first(out.size())) != U32(stored, out.size())) {
        return false;
    }
    std::memcpy(out.data(), stored.data(), out.size());
    return true;
}

// What a walk over the segments' sections gathers.
struct Walk {
    std::vector<Segment> segments;
    std::vector<Table> tables;
    std::optional<ChunkGeometry> geometry;
    uint64_t chunksListed = 0;
    bool done = false;
    std::string error;  // the reason the image cannot be read
};

bool ReadVolume(Bytes data, Walk& walk) {
    if (walk.geometry || data.size() < ewf::volume::MinBytes) {
        return true;  // later copies ("data" in each segment) change nothing
    }
    const uint64_t chunks = U32(data, ewf::volume::ChunkCount);
    const uint64_t sectorsPerChunk = U32(data, ewf::volume::SectorsPerChunk);
    const uint64_t bytesPerSector = U32(data, ewf::volume::BytesPerSector);
    const uint64_t sectors = data.size() >= ewf::volume::LongFormBytes
                                 ? U64(data, ewf::volume::SectorCount)
                                 : U32(data, ewf::volume::SectorCount);
    const uint64_t chunkBytes = sectorsPerChunk * bytesPerSector;
    if (sectorsPerChunk == 0 || bytesPerSector == 0 || chunkBytes > kMaxChunkBytes ||
        sectors > UINT64_MAX / bytesPerSector || chunks > UINT64_MAX / chunkBytes ||
        sectors * bytesPerSector > chunks * chunkBytes) {
        walk.error = "its volume section is damaged";
        return false;
    }
    walk.geometry = ChunkGeometry{chunkBytes, chunks, sectors * bytesPerSector};
    return true;
}

// Notes the table section at `at`, whose chunks' data ends at `dataEnd`, or with `copy` the
// place of the copy of the table noted last. False when the section is damaged.
bool ReadTable(Walk& walk, uint32_t segment, uint64_t at, uint64_t sectionBytes, uint64_t dataEnd,
               bool copy) {
    std::array<uint8_t, ewf::table::HeaderBytes> header{};
    std::size_t got = 0;
    const uint64_t headerAt = at + ewf::section::Bytes;
    if (sectionBytes < ewf::section::Bytes + header.size() ||
        !PreadAll(walk.segments[segment].fd.get(), headerAt, header, got) || got != header.size() ||
        Adler32(Bytes(header).first(ewf::table::Checksum)) != U32(header, ewf::table::Checksum)) {
        return false;
    }
    const uint32_t entries = U32(header, ewf::table::EntryCount);
    const uint64_t listBytes = uint64_t{entries} * ewf::table::EntryBytes;
    if (entries == 0 || entries > kMaxTableEntries ||
        ewf::section::Bytes + header.size() + listBytes > sectionBytes) {
        return false;
    }
    const uint64_t entriesAt = headerAt + header.size();
    if (copy) {
        if (!walk.tables.empty() && walk.tables.back().segment == segment &&
            walk.tables.back().entries == entries) {
            walk.tables.back().copyEntriesAt = entriesAt;
        }
        return true;
    }
    walk.tables.push_back({walk.chunksListed, entries, segment, entriesAt, 0,
                           U64(header, ewf::table::BaseOffset), dataEnd});
    walk.chunksListed += entries;
    return true;
}

// Walks the sections of segment `segment` (opened and checked already), bounded by their count
// and by each one starting past the last.
bool WalkSections(Walk& walk, uint32_t segment) {
    const Segment& s = walk.segments[segment];
    uint64_t at = ewf::file_header::Bytes;
    uint64_t sectorsEnd = 0;  // the end of the last "sectors" section
    bool tableDamaged = false;
    for (uint32_t n = 0; n < kMaxSectionsPerSegment; ++n) {
        std::array<uint8_t, ewf::section::Bytes> d{};
        std::size_t got = 0;
        if (!PreadAll(s.fd.get(), at, d, got) || got != d.size()) {
            walk.error = s.name + " ends before its last section";
            return false;
        }
        if (Adler32(Bytes(d).first(ewf::section::Checksum)) != U32(d, ewf::section::Checksum)) {
            walk.error = "a damaged section header at byte " + std::to_string(at) + " of " + s.name;
            return false;
        }
        const std::string type = SectionType(d);
        const uint64_t next = U64(d, ewf::section::Next);
        const uint64_t size = U64(d, ewf::section::Size);
        if (tableDamaged && type != "table2") {
            walk.error = "a chunk table in " + s.name + " and its copy are damaged";
            return false;
        }
        if (type == "done" || type == "next") {
            walk.done = type == "done";
            return true;
        }
        if (size < ewf::section::Bytes || size > s.size - at) {
            walk.error = "the " + type + " section at byte " + std::to_string(at) + " of " +
                         s.name + " runs past the file's end";
            return false;
        }
        const uint64_t end = at + size;
        if (type == "volume" || type == "disk") {
            std::vector<uint8_t> data(static_cast<std::size_t>(
                std::min<uint64_t>(size - ewf::section::Bytes, ewf::volume::LongFormBytes)));
            if (!PreadAll(s.fd.get(), at + ewf::section::Bytes, data, got) || got != data.size() ||
                !ReadVolume(data, walk)) {
                walk.error = walk.error.empty() ? s.name + ": its volume section cannot be read"
                                                : walk.error;
                return false;
            }
        } else if (type == "sectors") {
            sectorsEnd = end;
        } else if (type == "table" || type == "table2") {
            // A damaged table is read from the copy that follows it.
            const uint64_t dataEnd = sectorsEnd != 0 && sectorsEnd <= at ? sectorsEnd : end;
            const bool copy = type == "table2" && !tableDamaged;
            tableDamaged = !ReadTable(walk, segment, at, size, dataEnd, copy) && !copy;
        }
        if (next <= at || next > s.size) {
            walk.error = "the section after byte " + std::to_string(at) + " of " + s.name +
                         " lies outside it";
            return false;
        }
        at = next;
    }
    walk.error = s.name + " holds too many sections";
    return false;
}

// A large image has more segments than a process may open by default: every segment stays
// open while the image is read.
bool RaiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) {
        return false;
    }
    limit.rlim_cur = limit.rlim_max;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// Opens segment `number` and checks its file header; the error says what is wrong.
bool OpenSegment(Walk& walk, const std::string& first, uint32_t number) {
    const std::optional<std::string> name = SegmentName(first, number);
    if (!name) {
        walk.error = "the segments after " + first + " cannot be named from it";
        return false;
    }
    FileDescriptor fd(::open(name->c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0 && errno == EMFILE && RaiseOpenFileLimit()) {
        fd = FileDescriptor(::open(name->c_str(), O_RDONLY | O_CLOEXEC));
    }
    if (fd.get() < 0) {
        walk.error = errno == ENOENT ? "segment " + *name + " is missing"
                                     : *name + ": " + std::strerror(errno);
        return false;
    }
    std::array<uint8_t, ewf::file_header::Bytes> header{};
    std::size_t got = 0;
    if (!PreadAll(fd.get(), 0, header, got) || got != header.size() ||
        std::memcmp(header.data(), kSignature.data(), kSignature.size()) != 0) {
        walk.error = *name + " is not a segment of an E01 image";
        return false;
    }
    if (U16(header, ewf::file_header::SegmentNumber) != number) {
        walk.error = *name + " is segment " +
                     std::to_string(U16(header, ewf::file_header::SegmentNumber)) + ", not " +
                     std::to_string(number);
        return false;
    }
    const uint64_t size = LengthOf(fd.get());
    walk.segments.push_back({std::move(fd), *name, size});
    return true;
}

}  // namespace

OpenedImage OpenEwfImage(const std::string& first) {
    Walk walk;
    for (uint32_t number = kFirstSegment; !walk.done; ++number) {
        if (number > kMaxSegments || !OpenSegment(walk, first, number) ||
            !WalkSections(walk, static_cast<uint32_t>(walk.segments.size() - 1))) {
            if (walk.error.empty()) {
                walk.error = "it has more segments than names allow";
            }
            return {nullptr, {}, first + ": cannot read the E01 image: " + walk.error};
        }
    }
    if (!walk.geometry) {
        return {nullptr, {}, first + ": cannot read the E01 image: it has no volume section"};
    }
    if (walk.chunksListed < walk.geometry->chunks) {
        return {nullptr,
                {},
                first + ": cannot read the E01 image: its chunk tables list " +
                    std::to_string(walk.chunksListed) + " of its " +
                    std::to_string(walk.geometry->chunks) + " chunks"};
    }
    const std::size_t count = walk.segments.size();
    const ChunkGeometry geometry = *walk.geometry;
    auto layout = std::make_shared<const Layout>(
        Layout{std::move(walk.segments), std::move(walk.tables), geometry});
    auto source =
        MakeChunkedSource(geometry, [layout] { return std::make_unique<EwfDecoder>(layout); });
    return {std::move(source),
            "E01, " + std::to_string(count) + (count == 1 ? " segment" : " segments"),
            {}};
}

}  // namespace relicta::platform
