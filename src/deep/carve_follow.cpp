#include "deep/carve_follow.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "content/formats/jpeg_decode.h"
#include "deep/bifragment.h"
#include "deep/extent_reader.h"

namespace relicta::deep {
namespace {

using content::Family;

// The most of a file kept in memory: a JPEG is read once for its end, its check and its
// decode, and no JPEG the carver follows is larger.
constexpr uint64_t kMaxHeldBytes = uint64_t{64} << 20;
constexpr uint64_t kFirstHeldBytes = uint64_t{64} << 10;
constexpr uint64_t kMaxHeldStep = uint64_t{8} << 20;

// Reads of a file from its start kept while they follow on: a walk through the whole file
// leaves it in memory; a walk that jumps (a video's boxes) reads only what it looks at.
class FrontCache final : public content::DataReader {
  public:
    FrontCache(content::DataReader& data, std::vector<uint8_t>& bytes)
        : data_(data), bytes_(bytes), limit_(std::min(data.Size(), kMaxHeldBytes)) {
        bytes_.clear();
    }
    uint64_t Size() const override { return data_.Size(); }
    bool Read(uint64_t offset, std::span<uint8_t> out) override {
        const std::span<const uint8_t> held = View(offset, out.size());
        if (held.size() == out.size() && !out.empty()) {
            std::memcpy(out.data(), held.data(), out.size());
            return true;
        }
        return data_.Read(offset, out);
    }
    std::span<const uint8_t> View(uint64_t offset, std::size_t n) override {
        if (offset > limit_ || n > limit_ - offset ||
            (offset + n > bytes_.size() && !Extend(offset, offset + n))) {
            return {};
        }
        return std::span<const uint8_t>(bytes_).subspan(static_cast<std::size_t>(offset), n);
    }
    // The first `n` bytes when they are held already.
    std::span<const uint8_t> Held(uint64_t n) const {
        return n <= bytes_.size()
                   ? std::span<const uint8_t>(bytes_).first(static_cast<std::size_t>(n))
                   : std::span<const uint8_t>();
    }

  private:
    bool Extend(uint64_t offset, uint64_t end) {
        const uint64_t held = bytes_.size();
        const uint64_t step = std::clamp(held, kFirstHeldBytes, kMaxHeldStep);
        if (stuck_ || offset > held + step) {
            return false;
        }
        const uint64_t want = std::min(std::max(end, held + step), limit_);
        bytes_.resize(static_cast<std::size_t>(want));
        if (!data_.Read(held, std::span<uint8_t>(bytes_).subspan(static_cast<std::size_t>(held)))) {
            bytes_.resize(static_cast<std::size_t>(held));
            stuck_ = true;  // unreadable there: reads go to the drive from now on
            return false;
        }
        return true;
    }

    content::DataReader& data_;
    std::vector<uint8_t>& bytes_;
    uint64_t limit_;
    bool stuck_ = false;
};

// How far a file at `offset` may reach: its format's bound, the drive's end, the next
// stretch the current volume uses (what lies there is a live file's, not this one's).
uint64_t Room(const FollowDrive& drive, int64_t offset, uint64_t maxBytes) {
    int64_t end = drive.length;
    if (drive.current != nullptr) {
        const std::vector<ByteRange>& used = drive.current->used;
        const auto next = std::upper_bound(
            used.begin(), used.end(), offset,
            [](int64_t at, const ByteRange& r) { return at < r.offset + r.length; });
        if (next != used.end()) {
            end = std::min(end, std::max(next->offset, offset));
        }
    }
    return end > offset ? std::min(maxBytes, static_cast<uint64_t>(end - offset)) : 0;
}

content::Metadata ReadMetadataOf(const content::Format& format, content::DataReader& data) {
    if (format.ReadMetadata == nullptr) {
        return {};
    }
    content::Window window(data);
    return format.ReadMetadata(window, data.Size());
}

void AcceptReassembled(const FollowDrive& drive, const content::Format& format, uint64_t breakAt,
                       CarvedFile& carved);

// Where the first sector of zeros lies in the first `end` bytes of `data` (from a sector on,
// as the drive's sectors fall: `start` is where the file begins); 0 when there is none. A
// file whose markers hold over a run of zeros but whose whole check fails most likely had its
// gap there.
uint64_t FirstZeroSector(content::DataReader& data, int64_t start, uint64_t end) {
    const uint64_t skew = static_cast<uint64_t>(start) % kSectorBytes;
    content::Window window(data);
    for (uint64_t at = kSectorBytes - skew; at < end && end - at >= kSectorBytes;
         at += kSectorBytes) {
        const std::span<const uint8_t> sector = window.At(at, kSectorBytes);
        if (sector.empty()) {
            return 0;
        }
        if (std::all_of(sector.begin(), sector.end(), [](uint8_t b) { return b == 0; })) {
            return at;
        }
    }
    return 0;
}

// The file read as one piece to the end its structure gives.
void AcceptWhole(const FollowDrive& drive, const content::Format& format,
                 const content::FileEnd& end, FrontCache& cache, CarvedFile& carved) {
    const std::span<const uint8_t> held = cache.Held(end.end);
    std::optional<content::MemoryReader> memory;
    std::optional<ExtentReader> onDrive;
    content::DataReader* data = nullptr;
    if (held.size() == end.end) {
        data = &memory.emplace(held);
    } else {
        data = &onDrive.emplace(drive.handle,
                                std::vector<scan::DeepExtent>{{carved.offset, end.end}}, end.end);
    }
    if (!ChecksWhole(format, *data)) {
        if (const uint64_t zeros = FirstZeroSector(*data, carved.offset, end.end); zeros > 0) {
            AcceptReassembled(drive, format, zeros, carved);
        }
        return;
    }
    carved.accepted = true;
    carved.good = !end.guessed;
    carved.size = end.end;
    carved.extents = {{carved.offset, end.end}};
    carved.metadata = ReadMetadataOf(format, *data);
}

// The file as two pieces with a gap between them, where its structure broke at `breakAt`.
void AcceptReassembled(const FollowDrive& drive, const content::Format& format, uint64_t breakAt,
                       CarvedFile& carved) {
    const BlockGeometry blocks = drive.current != nullptr
                                     ? GeometryAt(*drive.current, drive.boots, carved.offset)
                                     : BlockGeometry{};
    GapSearch search;
    search.start = carved.offset;
    search.breakAt = carved.offset + static_cast<int64_t>(breakAt);
    search.blockOrigin = blocks.origin;
    search.blockBytes = blocks.bytes;
    search.driveLength = drive.length;
    search.mayHold = drive.mayHold;
    std::optional<std::vector<scan::DeepExtent>> pieces = ReassembleTwoFragments(
        drive.handle, format, search,
        [&format](content::DataReader& data) { return ChecksWhole(format, data); });
    if (!pieces || pieces->empty()) {
        return;
    }
    uint64_t size = 0;
    for (const scan::DeepExtent& e : *pieces) {
        size += e.length;
    }
    carved.accepted = true;
    carved.reassembled = true;
    carved.size = size;
    carved.extents = std::move(*pieces);
    ExtentReader data(drive.handle, carved.extents, size);
    carved.metadata = ReadMetadataOf(format, data);
}

// Geometry of an old volume a boot sector describes, when `offset` begins one of its clusters.
std::optional<BlockGeometry> OldGeometryAt(const FoundBootSector& boot, int64_t offset) {
    if (boot.clusterBytes == 0 || boot.clusterBytes > (uint32_t{1} << 26)) {
        return std::nullopt;
    }
    const int64_t bytes = static_cast<int64_t>(std::min<__int128>(
        static_cast<__int128>(boot.totalSectors) * boot.bytesPerSector, INT64_MAX));
    for (const int64_t start : boot.VolumeStarts()) {
        const int64_t area = start + boot.ClusterAreaOffset();
        if (offset >= area && offset - start < bytes && (offset - area) % boot.clusterBytes == 0) {
            return BlockGeometry{area, boot.clusterBytes};
        }
    }
    return std::nullopt;
}

}  // namespace

BlockGeometry GeometryAt(const CurrentVolume& current, std::span<const FoundBootSector> boots,
                         int64_t offset) {
    if (current.kind != CurrentKind::None && current.clusterBytes != 0 &&
        offset >= current.clusterAreaOffset &&
        (offset - current.clusterAreaOffset) % current.clusterBytes == 0) {
        return {current.clusterAreaOffset, current.clusterBytes};
    }
    for (const FoundBootSector& boot : boots) {
        if (const std::optional<BlockGeometry> old = OldGeometryAt(boot, offset)) {
            return *old;
        }
    }
    return {};
}

bool ChecksWhole(const content::Format& format, content::DataReader& data) {
    if (format.family != Family::Jpeg) {
        content::Window window(data);
        return format.Check(window).ok;
    }
    // A JPEG's markers may line up over another file's bytes: its entropy data must decode.
    const uint64_t size = data.Size();
    std::span<const uint8_t> bytes = data.View(0, static_cast<std::size_t>(size));
    std::vector<uint8_t> read;
    if (bytes.size() != size) {
        if (size > kMaxHeldBytes) {
            return false;
        }
        read.resize(static_cast<std::size_t>(size));
        if (!data.Read(0, read)) {
            return false;
        }
        bytes = read;
    }
    content::MemoryReader memory(bytes);
    content::Window window(memory);
    return format.Check(window).ok && content::DecodesCleanly(bytes);
}

CarvedFile FollowHeader(const FollowDrive& drive, int64_t offset, std::size_t format,
                        std::vector<uint8_t>& buffer) {
    CarvedFile carved;
    carved.offset = offset;
    carved.format = format;
    const std::span<const content::Format* const> formats = content::CarvedFormats();
    if (format >= formats.size()) {
        return carved;
    }
    const content::Format& f = *formats[format];
    const uint64_t room = Room(drive, offset, f.maxBytes);
    if (room == 0) {
        return carved;
    }
    ExtentReader reader(drive.handle, {{offset, room}}, room);
    FrontCache cache(reader, buffer);
    content::FileEnd end;
    {
        content::Window window(cache);
        end = f.FindEnd(window);
    }
    if (end.found && end.end > 0 && end.end <= room) {
        AcceptWhole(drive, f, end, cache, carved);
    } else if (!end.found && end.end >= kSectorBytes && end.end <= room &&
               f.family != Family::Text) {
        AcceptReassembled(drive, f, end.end, carved);
    }
    return carved;
}

}  // namespace relicta::deep
