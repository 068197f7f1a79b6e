#include "volume/raw_io.h"

#include <algorithm>
#include <limits>
#include <new>

#include "app/consistency.h"
#include "app/process_exit.h"
#include "app/system_error.h"
#include "platform/last_error.h"
#include "volume/boot_sector_layout.h"
#include "volume/vcb.h"

namespace relicta::volume {
namespace {

constexpr uint32_t kMinBytesPerSector = 128;
constexpr uint32_t kMaxBytesPerSector = 4096;

// Byte offset of a unit on the volume; nullopt when it cannot be represented.
std::optional<int64_t> OffsetOf(int64_t unit, uint64_t unitBytes, int64_t base = 0) {
    const __int128 offset = static_cast<__int128>(unit) * unitBytes + base;
    if (offset < 0 || offset > std::numeric_limits<int64_t>::max()) {
        return std::nullopt;
    }
    return static_cast<int64_t>(offset);
}

// The stretch read ahead doubles while reads use it to its end and shrinks when they jump
// past it. Its largest still fits a core's cache: records are copied out while warm.
constexpr std::size_t kMinReadAheadBytes = std::size_t{64} * 1024;
constexpr std::size_t kMaxReadAheadBytes = std::size_t{256} * 1024;
constexpr std::size_t kMaxReadAheadRequest = std::size_t{64} * 1024;

bool Covers(const ReadAhead& ahead, platform::Handle h, int64_t offset, std::size_t size) {
    return ahead.handle == h && offset >= ahead.offset &&
           static_cast<uint64_t>(offset - ahead.offset) + size <= ahead.bytes.size();
}

// Serves a small read from the read-ahead bytes, reading the next stretch of the volume when
// the read continues forward from the last one. False: read it directly (a failed or short
// stretch leaves errors to the direct read, as without read-ahead).
bool ReadAheadServes(platform::Handle h, int64_t offset, std::span<uint8_t> target) {
    // A FAT scan reads its directories' clusters where they lie, rarely one after another.
    if (Vcb == nullptr || Vcb->IsFat || target.size() > kMaxReadAheadRequest || target.empty()) {
        return false;
    }
    // Near unreadable sectors every read is narrowed on its own.
    if (!Vcb->Unreadable.Empty()) {
        return false;
    }
    ReadAhead& ahead = Vcb->readAhead;
    if (!Covers(ahead, h, offset, target.size())) {
        const bool forward = ahead.handle == h && offset >= ahead.streamEnd &&
                             offset - ahead.streamEnd < static_cast<int64_t>(kMaxReadAheadBytes);
        ahead.handle = h;
        ahead.streamEnd = offset + static_cast<int64_t>(target.size());
        if (!forward) {
            return false;
        }
        const std::size_t used = static_cast<std::size_t>(std::max<int64_t>(ahead.reach, 0));
        ahead.bytes.resize(std::clamp(2 * used, kMinReadAheadBytes, kMaxReadAheadBytes));
        std::size_t bytesRead = 0;
        if (!platform::CurrentPlatform().ReadAt(h, offset, ahead.bytes, bytesRead)) {
            bytesRead = 0;
        }
        ahead.bytes.resize(bytesRead);
        ahead.offset = offset;
        ahead.reach = 0;
        if (!Covers(ahead, h, offset, target.size())) {
            return false;
        }
    }
    const auto from = ahead.bytes.begin() + (offset - ahead.offset);
    std::copy(from, from + static_cast<std::ptrdiff_t>(target.size()), target.begin());
    ahead.streamEnd = offset + static_cast<int64_t>(target.size());
    ahead.reach = std::max(ahead.reach, ahead.streamEnd - ahead.offset);
    return true;
}

// A read this long is announced first: the kernel then fetches all of it at once rather than a
// read-ahead window after another.
constexpr std::size_t kAnnouncedReadBytes = std::size_t{1} << 20;

// Where the unreadable sectors of `h` are kept: the open volume's, or for another handle ones
// that last for this read only.
platform::ReadOutcome ReadNarrowed(platform::Handle h, int64_t offset, std::span<uint8_t> target) {
    platform::Platform& os = platform::CurrentPlatform();
    if (target.size() >= kAnnouncedReadBytes) {
        os.WillRead(h, offset, target.size());
    }
    if (Vcb != nullptr && Vcb->hVolume == h) {
        const platform::ReadOutcome read =
            platform::ReadAroundUnreadable(os, h, offset, target, Vcb->Unreadable);
        if (read.unreadable > 0 && Vcb->UnreadableSeen != nullptr) {
            const std::vector<platform::ByteRun> met = Vcb->Unreadable.Within(offset, read.covered);
            Vcb->UnreadableSeen->insert(Vcb->UnreadableSeen->end(), met.begin(), met.end());
        }
        return read;
    }
    platform::UnreadableRuns once;
    return platform::ReadAroundUnreadable(os, h, offset, target, once);
}

// One positioned read of the whole request, narrowed around unreadable sectors (left zero and
// kept for the report at the end). What lies past the volume's end is zero-filled too, so that
// nobody works on stale data.
platform::ReadOutcome ReadWhole(platform::Handle hVolume, std::optional<int64_t> offset,
                                std::span<uint8_t> buffer, uint64_t wanted) {
    CONSISTENCY_CHECK_TEXT(wanted <= buffer.size(), "buffer.size() >= bytesToRead");
    const std::span<uint8_t> target = buffer.first(std::min<uint64_t>(wanted, buffer.size()));
    if (!offset) {
        platform::SetLastError(platform::kErrorInvalidParameter);
        app::ShowSystemError();
        std::fill(target.begin(), target.end(), 0);
        return {};
    }
    if (ReadAheadServes(hVolume, *offset, target)) {
        return {target.size(), 0};
    }
    return ReadNarrowed(hVolume, *offset, target);
}

}  // namespace

void ReadLogicalSectors(platform::Handle hVolume, int64_t sectorNumber, std::span<uint8_t> buffer,
                        uint32_t numberToRead) {
    if (buffer.empty()) {
        return;
    }
    const uint64_t wanted = uint64_t{Vcb->BytesPerSector} * numberToRead;
    // Unreadable sectors are not an inconsistency: only a volume that ends too soon is.
    const uint64_t bytesRead =
        ReadWhole(hVolume, OffsetOf(sectorNumber, Vcb->BytesPerSector), buffer, wanted).covered;
    CONSISTENCY_CHECK_TEXT(bytesRead == wanted, "bytesRead==Vcb->BytesPerSector*numberToRead");
}

namespace {

// Where cluster 0 would start: on FAT and exFAT clusters are numbered from 2 in the file
// area; on NTFS from the volume's start.
int64_t ClusterBase() {
    if (!Vcb->IsFat) {
        return 0;
    }
    const Bpb& bpb = *Vcb->pBpb;
    if (bpb.SectorsPerFat != 0 && Vcb->BytesPerSector != 0) {
        const uint64_t rootBytesRounded =
            (uint64_t{bpb.RootEntries} * kDirEntrySize + (Vcb->BytesPerSector - 1)) /
            Vcb->BytesPerSector * Vcb->BytesPerSector;
        CONSISTENCY_CHECK_TEXT(
            Vcb->AllocationSupport.FileAreaLbo ==
                (uint64_t{bpb.Fats} * bpb.SectorsPerFat + bpb.ReservedSectors) *
                        Vcb->BytesPerSector +
                    rootBytesRounded,
            "Vcb->AllocationSupport.FileAreaLbo==((Vcb->pBpb->Fats*Vcb->pBpb->SectorsPerFat+"
            "Vcb->pBpb->"
            "ReservedSectors)*Vcb->BytesPerSector)+(((Vcb->pBpb->RootEntries*32+(Vcb->"
            "BytesPerSector-1))/"
            "Vcb->BytesPerSector)*Vcb->BytesPerSector)");
    }
    return static_cast<int64_t>(Vcb->AllocationSupport.FileAreaLbo) -
           2 * int64_t{Vcb->BytesPerCluster};
}

}  // namespace

void ReadClusters(platform::Handle hVolume, int64_t cluster, std::span<uint8_t> buffer,
                  uint32_t numberToRead) {
    const int64_t base = ClusterBase();
    const uint64_t wanted = uint64_t{Vcb->BytesPerCluster} * numberToRead;
    const uint64_t bytesRead =
        ReadWhole(hVolume, OffsetOf(cluster, Vcb->BytesPerCluster, base), buffer, wanted).covered;
    CONSISTENCY_CHECK_TEXT(bytesRead == wanted, "bytesRead==Vcb->BytesPerCluster*numberToRead");
}

std::optional<int64_t> ClusterOffset(int64_t cluster) {
    return OffsetOf(cluster, Vcb->BytesPerCluster, ClusterBase());
}

void ReadClusterBytes(platform::Handle hVolume, int64_t cluster, std::span<uint8_t> buffer) {
    const int64_t base = ClusterBase();
    const uint64_t bytesRead =
        ReadWhole(hVolume, OffsetOf(cluster, Vcb->BytesPerCluster, base), buffer, buffer.size())
            .covered;
    CONSISTENCY_CHECK_TEXT(bytesRead == buffer.size(), "bytesRead==bytesToRead");
}

uint64_t ReadVolumeBytes(platform::Handle hVolume, int64_t offset, std::span<uint8_t> buffer) {
    const platform::ReadOutcome read =
        ReadWhole(hVolume, offset >= 0 ? std::optional<int64_t>(offset) : std::nullopt, buffer,
                  buffer.size());
    return read.covered - read.unreadable;
}

bool TryReadVolumeBytes(platform::Handle hVolume, int64_t offset, std::span<uint8_t> buffer) {
    if (offset < 0) {
        return false;
    }
    if (ReadAheadServes(hVolume, offset, buffer)) {
        return true;
    }
    return ReadNarrowed(hVolume, offset, buffer).Whole(buffer.size());
}

void WillReadVolumeBytes(platform::Handle hVolume, int64_t offset, uint64_t length) {
    if (offset >= 0 && length > 0) {
        platform::CurrentPlatform().WillRead(hVolume, offset, length);
    }
}

bool AnyUnreadable(int64_t offset, uint64_t length) {
    return Vcb != nullptr && Vcb->Unreadable.Overlaps(offset, length);
}

std::vector<uint8_t> ReadBootSector(platform::Handle hVolume) {
    VCB& vcb = EnsureVcb();
    if (vcb.BytesPerSector < kMinBytesPerSector || vcb.BytesPerSector > kMaxBytesPerSector) {
        vcb.BytesPerSector = kDefaultBytesPerSector;
    }
    std::vector<uint8_t> sector;
    try {
        // Whole sectors are read, of which the caller sees the first 512 bytes.
        sector.resize(std::max<std::size_t>(kBootSectorSize, vcb.BytesPerSector));
    } catch (const std::bad_alloc&) {
        app::FatalError("Cannot allocate memory to read boot sector", "Fatal error");
    }
    ReadLogicalSectors(hVolume, 0, sector, 1);
    sector.resize(kBootSectorSize);
    return sector;
}

bool PatchFromOtherCopy(int64_t offset, std::span<uint8_t> bytes, std::optional<int64_t> distance) {
    if (Vcb == nullptr) {
        return true;
    }
    const std::vector<platform::ByteRun> holes = Vcb->Unreadable.Within(offset, bytes.size());
    bool whole = true;
    for (const platform::ByteRun& hole : holes) {
        const std::span<uint8_t> piece =
            bytes.subspan(static_cast<std::size_t>(hole.offset - offset), hole.length);
        if (!distance || hole.offset > INT64_MAX - *distance) {
            whole = false;
            continue;
        }
        Vcb->Losses.otherFatCopy = true;
        // What the copy cannot give either stays zero.
        whole = TryReadVolumeBytes(Vcb->hVolume, hole.offset + *distance, piece) && whole;
    }
    if (!whole) {
        Vcb->Losses.unreadableFat = true;
    }
    return whole;
}

std::vector<uint8_t> ReadFat(platform::Handle hVolume) {
    const Bpb& bpb = *Vcb->pBpb;
    const AllocationSupport& geometry = Vcb->AllocationSupport;
    if (Vcb->BytesPerSector == 0) {
        return {};
    }
    // A damaged BPB may claim a FAT of terabytes: read no more than its clusters need.
    const uint64_t clusters = std::min<uint64_t>(geometry.NumberOfClusters, kFat32MaxClusters);
    const uint64_t neededBytes = ((clusters + 2) * geometry.FatIndexBitSize + 7) / 8;
    const uint64_t neededSectors = (neededBytes + Vcb->BytesPerSector - 1) / Vcb->BytesPerSector;
    // Nor more than the volume holds.
    const uint64_t onVolume =
        platform::CurrentPlatform().VolumeLength(hVolume) / Vcb->BytesPerSector;
    const uint32_t sectors =
        static_cast<uint32_t>(std::min({uint64_t{bpb.FatSize()}, neededSectors, onVolume}));
    std::vector<uint8_t> fat(uint64_t{sectors} * Vcb->BytesPerSector);
    ReadLogicalSectors(hVolume, bpb.ReservedSectors, fat, sectors);
    const uint64_t fatBytes = uint64_t{bpb.FatSize()} * Vcb->BytesPerSector;
    PatchFromOtherCopy(int64_t{bpb.ReservedSectors} * Vcb->BytesPerSector, fat,
                       bpb.Fats >= 2 && fatBytes <= INT64_MAX
                           ? std::optional<int64_t>(static_cast<int64_t>(fatBytes))
                           : std::nullopt);
    return fat;
}

}  // namespace relicta::volume
