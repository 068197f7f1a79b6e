// The two-fragment search for ZIP: the end record past the break tells the gap, the local
// headers tell which entry the split cuts, and that entry's data tells where: a stored entry
// by its CRC, a deflated one by inflating it.
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "bytes/le_bytes.h"
#include "content/formats/zip_layout.h"
#include "deep/bifragment_search.h"

namespace relicta::deep::bifragment {
namespace {

namespace zip = content::zip;

// The central directory repeats a local header's fields from the version needed on, after the
// version made by.
constexpr std::size_t kCentralShift = 2;
static_assert(zip::local::CompressedSize + kCentralShift == zip::central::CompressedSize);
constexpr std::size_t kCentralFlags = zip::local::Flags + kCentralShift;
constexpr std::size_t kCentralMethod = zip::local::Method + kCentralShift;
constexpr std::size_t kCentralCrc = zip::local::Crc + kCentralShift;
constexpr std::size_t kExtraLengthAt = 2;  // after an extra field's id
// How far past the break the end record is looked for, how large a directory is read, how
// many end records are tried.
constexpr int64_t kMaxZipReach = int64_t{256} << 20;
constexpr uint64_t kMaxDirectoryBytes = uint64_t{64} << 20;
constexpr int kMaxEndRecords = 64;
// The most an entry cut in two may inflate to, and the compressed bytes the trials of one
// entry's splits may inflate in all.
constexpr uint64_t kMaxInflatedBytes = uint64_t{1} << 30;
constexpr uint64_t kMaxTrialBytes = uint64_t{1} << 30;
constexpr std::size_t kMaxDeflateBlocks = 1 << 20;
// Where inflating the unbroken bytes breaks, the split is looked for this many blocks back.
constexpr int64_t kInflateBackBlocks = 64;
// A split is kept when one of the deflate block ends that follow it is one the stream has.
constexpr int kBlockEndsToMeet = 2;
constexpr std::size_t kInflateChunk = std::size_t{64} * 1024;

struct ZipEntry {
    uint64_t local = 0;  // its local header, from the archive's first byte
    uint64_t packed = 0;
    uint64_t size = 0;
    uint32_t crc = 0;
    uint16_t method = 0;
    uint16_t flags = 0;
    std::vector<uint8_t> name;
};

// What an end record found past the break tells of the archive.
struct ZipArchive {
    int64_t gap = 0;                // between the two pieces
    uint64_t directory = 0;         // where the central directory begins in the archive
    uint64_t length = 0;            // the archive's bytes, to its end record's end
    std::vector<ZipEntry> entries;  // by where their local headers lie
};

// The ZIP64 sizes and offset an entry's extra field gives for the fields marked so.
void ReadZip64Extra(std::span<const uint8_t> extra, ZipEntry& e, uint32_t size, uint32_t packed,
                    uint32_t local) {
    for (std::size_t at = 0; at + zip::ExtraHeaderBytes <= extra.size();) {
        const uint16_t id = bytes::U16(extra, at);
        const uint16_t length = bytes::U16(extra, at + kExtraLengthAt);
        if (id == zip::Zip64ExtraId) {
            std::size_t field = at + zip::ExtraHeaderBytes;
            const std::size_t end =
                std::min<std::size_t>(extra.size(), at + zip::ExtraHeaderBytes + length);
            for (auto [marked, value] : {std::pair{size == zip::Wide32, &e.size},
                                         std::pair{packed == zip::Wide32, &e.packed},
                                         std::pair{local == zip::Wide32, &e.local}}) {
                if (marked && field + sizeof(uint64_t) <= end) {
                    *value = bytes::U64(extra, field);
                    field += sizeof(uint64_t);
                }
            }
            return;
        }
        at += zip::ExtraHeaderBytes + length;
    }
}

// The central directory's entries; nullopt when it does not parse as `count` entries.
std::optional<std::vector<ZipEntry>> ReadDirectory(std::span<const uint8_t> d, uint64_t count) {
    std::vector<ZipEntry> entries;
    std::size_t at = 0;
    for (uint64_t n = 0; n < count; ++n) {
        if (!bytes::InBounds(d, at, zip::central::Bytes) ||
            std::memcmp(d.data() + at, zip::CentralSignature.data(),
                        zip::CentralSignature.size()) != 0) {
            return std::nullopt;
        }
        const std::size_t nameLength = bytes::U16(d, at + zip::central::NameLength);
        const std::size_t extraLength = bytes::U16(d, at + zip::central::ExtraLength);
        const std::size_t commentLength = bytes::U16(d, at + zip::central::CommentLength);
        const std::size_t next =
            at + zip::central::Bytes + nameLength + extraLength + commentLength;
        if (next > d.size()) {
            return std::nullopt;
        }
        ZipEntry e;
        const uint32_t size = bytes::U32(d, at + zip::central::Size);
        const uint32_t packed = bytes::U32(d, at + zip::central::CompressedSize);
        const uint32_t local = bytes::U32(d, at + zip::central::LocalOffset);
        e.size = size;
        e.packed = packed;
        e.local = local;
        e.crc = bytes::U32(d, at + kCentralCrc);
        e.method = bytes::U16(d, at + kCentralMethod);
        e.flags = bytes::U16(d, at + kCentralFlags);
        const std::span<const uint8_t> name = d.subspan(at + zip::central::Bytes, nameLength);
        e.name.assign(name.begin(), name.end());
        ReadZip64Extra(d.subspan(at + zip::central::Bytes + nameLength, extraLength), e, size,
                       packed, local);
        entries.push_back(std::move(e));
        at = next;
    }
    std::sort(entries.begin(), entries.end(),
              [](const ZipEntry& a, const ZipEntry& b) { return a.local < b.local; });
    return entries;
}

// The archive an end record at drive offset `at` closes, when its central directory lies a
// whole number of blocks (within the gap limit) after where the archive's own offsets put it.
std::optional<ZipArchive> ArchiveEndingAt(Search& s, int64_t at) {
    std::vector<uint8_t> buffer;
    const std::span<const uint8_t> end = s.Bytes(at, zip::end::Bytes, buffer);
    if (end.size() != zip::end::Bytes) {
        return std::nullopt;
    }
    uint64_t count = bytes::U16(end, zip::end::Entries);
    uint64_t directorySize = bytes::U32(end, zip::end::DirectorySize);
    uint64_t directory = bytes::U32(end, zip::end::DirectoryOffset);
    const uint64_t length = zip::end::Bytes + bytes::U16(end, zip::end::CommentLength);
    int64_t directoryEnd = at;  // on the drive
    if (directory == zip::Wide32 || directorySize == zip::Wide32) {
        const int64_t locator = at - static_cast<int64_t>(zip::locator64::Bytes);
        const int64_t record = locator - static_cast<int64_t>(zip::end64::Bytes);
        const std::span<const uint8_t> r = s.Bytes(record, zip::end64::Bytes, buffer);
        if (r.size() != zip::end64::Bytes ||
            std::memcmp(r.data(), zip::End64Signature.data(), zip::End64Signature.size()) != 0 ||
            !s.Holds(locator, zip::Locator64Signature)) {
            return std::nullopt;
        }
        count = bytes::U64(r, zip::end64::Entries);
        directorySize = bytes::U64(r, zip::end64::DirectorySize);
        directory = bytes::U64(r, zip::end64::DirectoryOffset);
        directoryEnd = record;
    }
    if (directorySize > kMaxDirectoryBytes || directory > s.MaxBytes() ||
        static_cast<int64_t>(directorySize) > directoryEnd - s.In().start) {
        return std::nullopt;
    }
    const int64_t directoryAt = directoryEnd - static_cast<int64_t>(directorySize);
    const int64_t gap = directoryAt - s.In().start - static_cast<int64_t>(directory);
    if (gap <= 0 || gap > s.GapLimit() || gap % s.Block() != 0) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes;
    const std::span<const uint8_t> d =
        s.Bytes(directoryAt, static_cast<std::size_t>(directorySize), bytes);
    std::optional<std::vector<ZipEntry>> entries =
        d.size() == directorySize ? ReadDirectory(d, count) : std::nullopt;
    if (!entries || entries->empty()) {
        return std::nullopt;
    }
    const auto archiveLength =
        static_cast<uint64_t>(at - s.In().start - gap) + static_cast<uint64_t>(length);
    return ZipArchive{gap, directory, archiveLength, std::move(*entries)};
}

// Where an entry's data begins when its local header lies at `at` of `data` and matches the
// directory's name; nullopt when it does not.
std::optional<uint64_t> LocalDataAt(content::DataReader& data, uint64_t at, const ZipEntry& e) {
    std::vector<uint8_t> h(zip::local::Bytes + e.name.size());
    if (at > data.Size() || h.size() > data.Size() - at || !data.Read(at, h) ||
        std::memcmp(h.data(), zip::LocalSignature.data(), zip::LocalSignature.size()) != 0 ||
        bytes::U16(h, zip::local::NameLength) != e.name.size() ||
        !std::equal(e.name.begin(), e.name.end(), h.begin() + zip::local::Bytes)) {
        return std::nullopt;
    }
    return at + h.size() + bytes::U16(h, zip::local::ExtraLength);
}

// A raw inflate of an entry's data stepped from one deflate block end to the next: copied at
// one, it goes on over other bytes.
class Inflater {
  public:
    enum class Step { BlockEnd, End, Broken, Paused };

    Inflater() : ok_(inflateInit2(&z_, -MAX_WBITS) == Z_OK) {}
    Inflater(const Inflater& other) : crc_(other.crc_) {
        ok_ = other.ok_ && inflateCopy(&z_, const_cast<z_stream*>(&other.z_)) == Z_OK;
        z_.next_in = nullptr;  // input is read again from where the copy has consumed it
        z_.avail_in = 0;
    }
    Inflater& operator=(const Inflater&) = delete;
    ~Inflater() {
        if (ok_) {
            inflateEnd(&z_);
        }
    }

    // Inflates `data` (the entry's data from its first byte) to the next block end or the
    // stream's end, or until `pause` bytes are consumed; broken on bad data, on data that runs
    // out, or past `most` bytes made.
    Step Next(content::DataReader& data, uint64_t most, uint64_t pause = UINT64_MAX) {
        in_.resize(kInflateChunk);
        out_.resize(kInflateChunk);
        while (ok_) {
            // With the data all read, the inflate is called once more: the end of its last
            // block and the end of the stream come apart.
            if (z_.avail_in == 0 && z_.total_in >= pause) {
                return Step::Paused;
            }
            if (z_.avail_in == 0 && z_.total_in < data.Size()) {
                const uint64_t at = z_.total_in;
                const auto n = static_cast<std::size_t>(
                    std::min({uint64_t{in_.size()}, data.Size() - at, pause - at}));
                if (!data.Read(at, std::span<uint8_t>(in_).first(n))) {
                    return Step::Broken;
                }
                z_.next_in = in_.data();
                z_.avail_in = static_cast<uInt>(n);
            }
            z_.next_out = out_.data();
            z_.avail_out = static_cast<uInt>(out_.size());
            const int status = inflate(&z_, Z_BLOCK);
            const std::size_t made = out_.size() - z_.avail_out;
            crc_ = static_cast<uint32_t>(crc32(crc_, out_.data(), static_cast<uInt>(made)));
            if (z_.total_out > most || (status != Z_OK && status != Z_STREAM_END)) {
                return Step::Broken;
            }
            if (status == Z_STREAM_END) {
                return Step::End;
            }
            if ((z_.data_type & kAtBlockEnd) != 0) {
                return Step::BlockEnd;
            }
        }
        return Step::Broken;
    }
    // Where the inflate stands in the data, in bits; what it has consumed and made.
    uint64_t Bits() const { return uint64_t{z_.total_in} * 8 - (z_.data_type & kUnusedBits); }
    uint64_t Consumed() const { return z_.total_in; }
    uint64_t Made() const { return z_.total_out; }
    uint32_t Crc() const { return crc_; }

  private:
    static constexpr int kAtBlockEnd = 128;
    static constexpr int kUnusedBits = 7;
    z_stream z_{};
    bool ok_ = false;
    uint32_t crc_ = 0;
    std::vector<uint8_t> in_;
    std::vector<uint8_t> out_;
};

// A block end of an inflate: where, in bits of the data, and the bytes made by then.
struct BlockEnd {
    uint64_t bits = 0;
    uint64_t made = 0;
    bool operator<(const BlockEnd& o) const {
        return bits != o.bits ? bits < o.bits : made < o.made;
    }
    bool operator==(const BlockEnd&) const = default;
};

// The entry's data read on unbroken from drive offset `data`, and the gap's length past its
// end: its bytes hold the first piece's part, the gap, then the second piece's part. Inflate
// falls back in step with the stream soon after foreign bytes, so when it runs on to the
// stream's end there, the block ends it meets past the gap are the stream's own, moved by the
// gap: where they lie and how much is made by each (counted back from the entry's size) tell
// a split right at the first block end after it.
struct Unbroken {
    std::vector<BlockEnd> ends;    // where the inflate stood at each block end, from the start
    std::vector<BlockEnd> stream;  // the stream's block ends, when it ran on to its end
    uint64_t reach = 0;            // bytes consumed before it broke or ended
};

Unbroken InflateUnbroken(Search& s, const ZipEntry& e, int64_t data, int64_t gap) {
    const uint64_t length = e.packed + static_cast<uint64_t>(gap);
    ExtentReader bytes(s.Drive(), {{data, length}}, length);
    Unbroken u;
    u.ends.push_back({0, 0});
    Inflater inflater;
    Inflater::Step step = Inflater::Step::BlockEnd;
    while (u.ends.size() < kMaxDeflateBlocks &&
           (step = inflater.Next(bytes, kMaxInflatedBytes)) == Inflater::Step::BlockEnd) {
        u.ends.push_back({inflater.Bits(), inflater.Made()});
    }
    u.reach = inflater.Consumed();
    if (step == Inflater::Step::End && inflater.Consumed() == length && inflater.Made() >= e.size) {
        const uint64_t moved = static_cast<uint64_t>(gap) * 8;
        const uint64_t excess = inflater.Made() - e.size;
        for (const BlockEnd& end : u.ends) {
            if (end.bits >= moved && end.made >= excess) {
                u.stream.push_back({end.bits - moved, end.made - excess});
            }
        }
        std::sort(u.stream.begin(), u.stream.end());
    }
    return u;
}

// Whether the entry's data read across a split at `e1` (the inflate of the unbroken bytes
// copied there) inflates to its size and CRC; where the stream's block ends are known, the
// first ones after the split must be among them.
bool DeflatedSplitHolds(Search& s, const ZipEntry& e, int64_t data, int64_t gap, int64_t e1,
                        const Inflater& before, const Unbroken& u, uint64_t& spent) {
    const auto first = static_cast<uint64_t>(e1 - data);
    ExtentReader joined(s.Drive(), {{data, first}, {e1 + gap, e.packed - first}}, e.packed);
    Inflater inflater(before);
    int met = 0;
    for (;;) {
        const uint64_t from = inflater.Consumed();
        const Inflater::Step step = inflater.Next(joined, e.size);
        spent += inflater.Consumed() - from;
        if (step == Inflater::Step::End) {
            return inflater.Made() == e.size && inflater.Crc() == e.crc &&
                   inflater.Consumed() == e.packed;
        }
        if (step == Inflater::Step::Broken || spent > kMaxTrialBytes) {
            return false;
        }
        if (u.stream.empty() || inflater.Bits() <= first * 8) {
            continue;
        }
        // A block end where the stream has one must have made as much as the stream has.
        const auto same =
            std::lower_bound(u.stream.begin(), u.stream.end(), BlockEnd{inflater.Bits(), 0});
        if (same != u.stream.end() && same->bits == inflater.Bits()) {
            if (same->made != inflater.Made()) {
                return false;
            }
            met = kBlockEndsToMeet;
        } else if (++met >= kBlockEndsToMeet) {
            return false;
        }
    }
}

// The splits among `tried` (ascending) whose data inflates whole: the unbroken bytes are
// inflated once, up to each split in turn, and copied there to go on over the second piece.
std::vector<int64_t> InflatingSplits(Search& s, const ZipEntry& e, int64_t data, int64_t gap,
                                     const Unbroken& u, const std::vector<int64_t>& tried,
                                     uint64_t& spent) {
    ExtentReader bytes(s.Drive(), {{data, e.packed}}, e.packed);
    Inflater walk;
    std::vector<int64_t> splits;
    for (const int64_t e1 : tried) {
        const auto first = static_cast<uint64_t>(e1 - data);
        Inflater::Step step = Inflater::Step::BlockEnd;
        while (walk.Consumed() < first && step == Inflater::Step::BlockEnd) {
            step = walk.Next(bytes, kMaxInflatedBytes, first);
        }
        if (walk.Consumed() != first || spent > kMaxTrialBytes) {
            break;
        }
        if (DeflatedSplitHolds(s, e, data, gap, e1, walk, u, spent)) {
            splits.push_back(e1);
        }
    }
    return splits;
}

// The splits inside a deflated entry whose data lies at drive offset `data`, among the block
// boundaries in [lo, hi]. Where the unbroken bytes ran on to the stream's end, the split lies
// before the first of the stream's block ends seen past the gap, most likely after the block
// end before that: those are tried first, then the rest. Where they broke, only splits near
// where, and where a block of zeros begins.
std::vector<int64_t> DeflatedSplits(Search& s, const ZipEntry& e, int64_t data, int64_t gap,
                                    int64_t lo, int64_t hi) {
    if (e.size > kMaxInflatedBytes) {
        return {};
    }
    const Unbroken u = InflateUnbroken(s, e, data, gap);
    const int64_t broke = data + static_cast<int64_t>(std::min<uint64_t>(u.reach, e.packed));
    uint64_t after = 0;  // bits
    uint64_t before = 0;
    if (!u.stream.empty()) {
        before = u.stream.front().bits;
        for (const BlockEnd& end : u.ends) {
            after = end.bits < before ? end.bits : after;
        }
    }
    std::vector<int64_t> likely;
    std::vector<int64_t> rest;
    for (int64_t e1 = s.Ceil(std::max(lo, data)); e1 <= std::min(hi, broke); e1 += s.Block()) {
        const auto bits = static_cast<uint64_t>(e1 - data) * 8;
        if (u.stream.empty()) {
            if (e1 > s.Floor(broke) - kInflateBackBlocks * s.Block()) {
                likely.push_back(e1);
            }
        } else {
            (bits > after && bits < before ? likely : rest).push_back(e1);
        }
    }
    if (u.stream.empty()) {
        if (const std::optional<int64_t> zeros = FirstBlockWhere(s, data, broke, AllZero)) {
            likely.push_back(*zeros);
            std::sort(likely.begin(), likely.end());
        }
    }
    uint64_t spent = 0;
    std::vector<int64_t> splits = InflatingSplits(s, e, data, gap, u, likely, spent);
    return splits.empty() ? InflatingSplits(s, e, data, gap, u, rest, spent) : splits;
}

// Whether every local header of the archive read across a split at `e1` lies where the
// directory says.
bool LocalHeadersHold(Search& s, const ZipArchive& a, int64_t e1) {
    ExtentReader joined = s.Joined(e1, e1 + a.gap, a.length);
    return std::all_of(a.entries.begin(), a.entries.end(), [&joined](const ZipEntry& e) {
        return LocalDataAt(joined, e.local, e).has_value();
    });
}

// Where the first piece may end inside entry `e`, whose data begins at drive offset `data`,
// between `lo` and `hi`: past its data (a data descriptor or the next header is cut) anywhere;
// inside it where its CRC holds.
std::vector<int64_t> EndsInEntry(Search& s, const ZipArchive& a, const ZipEntry& e, int64_t data,
                                 int64_t lo, int64_t hi) {
    std::vector<int64_t> ends;
    const int64_t dataEnd = data + static_cast<int64_t>(e.packed);
    if ((e.flags & zip::FlagEncrypted) == 0 && e.method == zip::MethodStored) {
        const CrcStretch stretch{data, dataEnd, std::max(lo, data), std::min(hi, dataEnd)};
        for (const Split& split : CrcSplits(
                 s, stretch, {a.gap}, [&e](int64_t) { return std::optional<uint32_t>(e.crc); })) {
            ends.push_back(split.e1);
        }
    } else if ((e.flags & zip::FlagEncrypted) == 0 && e.method == zip::MethodDeflated) {
        ends = DeflatedSplits(s, e, data, a.gap, lo, std::min(hi, dataEnd));
    }
    for (int64_t e1 = s.Ceil(std::max(lo, dataEnd + 1)); e1 <= hi; e1 += s.Block()) {
        ends.push_back(e1);
    }
    return ends;
}

// The first piece's possible ends for an archive: the local headers before the split must lie
// where the directory says, those after it moved by the gap.
std::optional<Pieces> SearchArchive(Search& s, const ZipArchive& a) {
    const int64_t start = s.In().start;
    const std::size_t n = a.entries.size();
    std::vector<bool> unmoved(n);
    std::vector<bool> moved(n);
    for (std::size_t k = 0; k < n; ++k) {
        const auto local = static_cast<int64_t>(a.entries[k].local);
        unmoved[k] =
            LocalDataAt(s.Disk(), static_cast<uint64_t>(start + local), a.entries[k]).has_value();
        moved[k] = LocalDataAt(s.Disk(), static_cast<uint64_t>(start + local + a.gap), a.entries[k])
                       .has_value();
    }
    std::vector<bool> movedFrom(n + 1, true);
    for (std::size_t k = n; k-- > 0;) {
        movedFrom[k] = movedFrom[k + 1] && moved[k];
    }
    for (std::size_t k = 0; k < n; ++k) {
        if (k > 0 && !unmoved[k - 1]) {
            break;
        }
        if (!movedFrom[k + 1]) {
            continue;
        }
        const ZipEntry& e = a.entries[k];
        const int64_t lo = start + static_cast<int64_t>(e.local) + 1;
        const int64_t hi =
            start + static_cast<int64_t>(k + 1 < n ? a.entries[k + 1].local : a.directory);
        std::vector<int64_t> ends;
        if (const std::optional<uint64_t> data =
                LocalDataAt(s.Disk(), static_cast<uint64_t>(lo - 1), e)) {
            ends = EndsInEntry(s, a, e, static_cast<int64_t>(*data), lo, hi);
        } else {
            const int64_t header = lo - 1 + static_cast<int64_t>(zip::local::Bytes + e.name.size());
            for (int64_t e1 = s.Ceil(lo); e1 < header; e1 += s.Block()) {
                ends.push_back(e1);  // the split cuts the local header itself
            }
        }
        for (const int64_t e1 : ends) {
            if (s.Spent()) {
                return std::nullopt;
            }
            if (LocalHeadersHold(s, a, e1)) {
                if (std::optional<Pieces> pieces = s.Try(e1, e1 + a.gap)) {
                    return pieces;
                }
            }
        }
    }
    return std::nullopt;
}

}  // namespace

// ZIP: an end record past the break whose central directory lies a gap after where the
// archive's offsets put it tells the gap; the local headers and the cut entry's data pin the
// split.
std::optional<Pieces> SearchZip(Search& s) {
    const int64_t from =
        std::max(s.In().start, s.In().breakAt - static_cast<int64_t>(zip::end::Bytes));
    const int64_t to = std::min(s.In().driveLength, from + s.GapLimit() + kMaxZipReach);
    std::vector<uint8_t> buffer;
    int records = 0;
    for (int64_t at = from; at < to && records < kMaxEndRecords;) {
        const auto n = static_cast<std::size_t>(std::min<int64_t>(kStreamBytes, to - at));
        const std::span<const uint8_t> b = s.Bytes(at, n, buffer);
        if (b.size() < zip::EndSignature.size()) {
            break;
        }
        const std::string_view text(reinterpret_cast<const char*>(b.data()), b.size());
        std::vector<int64_t> ends;
        for (std::size_t hit = text.find(zip::EndSignature); hit != std::string_view::npos;
             hit = text.find(zip::EndSignature, hit + 1)) {
            ends.push_back(at + static_cast<int64_t>(hit));
        }
        for (const int64_t end : ends) {
            if (++records > kMaxEndRecords) {
                break;
            }
            if (const std::optional<ZipArchive> archive = ArchiveEndingAt(s, end)) {
                if (std::optional<Pieces> pieces = SearchArchive(s, *archive)) {
                    return pieces;
                }
            }
        }
        if (b.size() < n) {
            break;
        }
        at += static_cast<int64_t>(b.size() - (zip::EndSignature.size() - 1));
    }
    return std::nullopt;
}

}  // namespace relicta::deep::bifragment
