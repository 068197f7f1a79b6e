#include "volume/exfat_fat.h"

#include <algorithm>
#include <unordered_set>

#include "volume/exfat_layout.h"
#include "volume/raw_io.h"

namespace relicta::volume {

using bytes::InBounds;
using bytes::U32;
using bytes::U64;
namespace {

constexpr std::size_t kFatEntryBytes = 4;
// The bitmap entry stands among the first entries of the root: a few clusters suffice.
constexpr std::size_t kRootClustersForBitmap = 16;

// How far the other FAT lies from the active one, when the volume keeps two (TexFAT).
std::optional<int64_t> OtherFatDistance(const ExFatGeometry& g) {
    if (g.NumberOfFats < 2) {
        return std::nullopt;
    }
    const int64_t fatBytes = int64_t{g.FatLength} << g.BytesPerSectorShift;
    return g.SecondFatActive() ? -fatBytes : fatBytes;
}

// Whether all that a read of `size` bytes at `offset` missed lies in unreadable sectors, not
// past the volume's end (which no other copy makes up for).
bool MissedOnlyUnreadable(int64_t offset, uint64_t size, uint64_t read) {
    uint64_t unreadable = 0;
    for (const platform::ByteRun& run : Vcb->Unreadable.Within(offset, size)) {
        unreadable += run.length;
    }
    return read + unreadable == size;
}

// The cache slot holding FAT block `block`, read now when no slot holds it.
const std::vector<uint8_t>& FatBlock(int64_t block) {
    ExFatFatCache& cache = Vcb->ExFatFat;
    for (int slot = 0; slot < ExFatFatCache::kSlots; ++slot) {
        if (cache.block[slot] == block) {
            return cache.bytes[slot];
        }
    }
    const int slot = cache.nextSlot;
    cache.nextSlot = (cache.nextSlot + 1) % ExFatFatCache::kSlots;
    const ExFatGeometry& g = Vcb->ExFat;
    const uint64_t fatBytes = uint64_t{g.FatLength} << g.BytesPerSectorShift;
    const uint64_t at = static_cast<uint64_t>(block) * ExFatFatCache::kBlockBytes;
    std::vector<uint8_t>& bytes = cache.bytes[slot];
    bytes.resize(static_cast<std::size_t>(
        std::min<uint64_t>(ExFatFatCache::kBlockBytes, fatBytes > at ? fatBytes - at : 0)));
    const uint64_t offset = (g.ActiveFatOffset() << g.BytesPerSectorShift) + at;
    const uint64_t read = ReadVolumeBytes(Vcb->hVolume, static_cast<int64_t>(offset), bytes);
    if (read != bytes.size() &&
        (!MissedOnlyUnreadable(static_cast<int64_t>(offset), bytes.size(), read) ||
         !PatchFromOtherCopy(static_cast<int64_t>(offset), bytes, OtherFatDistance(g)))) {
        bytes.clear();  // unread entries are bad clusters, not free ones
    }
    cache.block[slot] = block;
    return bytes;
}

// Cuts a looped chain before its first cluster walked twice (only a looped chain pays for
// the set).
void TrimRepeats(ClusterChain& chain) {
    std::unordered_set<int64_t> seen;
    int64_t kept = 0;
    for (std::size_t i = 0; i < chain.extents.size(); ++i) {
        ClusterExtent& e = chain.extents[i];
        for (int64_t k = 0; k < e.clusters; ++k) {
            if (!seen.insert(e.lcn + k).second) {
                e.clusters = k;
                chain.extents.resize(e.clusters > 0 ? i + 1 : i);
                chain.clusters = kept;
                return;
            }
            ++kept;
        }
    }
}

}  // namespace

bool IsExFatCluster(int64_t cluster) {
    return cluster >= kExFatFirstCluster && cluster <= int64_t{Vcb->ExFat.ClusterCount} + 1;
}

uint32_t ExFatEntry(uint32_t cluster) {
    const uint64_t offset = uint64_t{cluster} * kFatEntryBytes;
    const int64_t block = static_cast<int64_t>(offset / ExFatFatCache::kBlockBytes);
    const std::vector<uint8_t>& bytes = FatBlock(block);
    const std::size_t inBlock = offset % ExFatFatCache::kBlockBytes;
    return InBounds(bytes, inBlock, kFatEntryBytes) ? U32(bytes, inBlock) : kExFatBadCluster;
}

ClusterChain FollowExFatChain(uint32_t first, int64_t maxClusters) {
    ClusterChain chain;
    uint32_t cluster = first;
    // Brent's cycle check: a link back to a cluster already walked ends the walk within
    // twice the chain's length, whatever bound the caller gave.
    uint32_t saved = 0;
    int64_t power = 1;
    int64_t sinceSaved = 0;
    while (chain.clusters < maxClusters && IsExFatCluster(cluster)) {
        if (chain.clusters > 0 && cluster == saved) {
            TrimRepeats(chain);
            break;
        }
        if (sinceSaved == power) {
            saved = cluster;
            power *= 2;
            sinceSaved = 0;
        }
        ++sinceSaved;
        if (!chain.extents.empty() &&
            chain.extents.back().lcn + chain.extents.back().clusters == cluster) {
            ++chain.extents.back().clusters;
        } else {
            chain.extents.push_back({chain.clusters, cluster, 1});
        }
        ++chain.clusters;
        const uint32_t next = ExFatEntry(cluster);
        if (next == kExFatEndOfChain) {
            chain.endMark = true;
            break;
        }
        cluster = next;
    }
    return chain;
}

std::vector<ClusterExtent> ContiguousExtents(uint32_t first, int64_t clusters) {
    if (clusters <= 0 || !IsExFatCluster(first)) {
        return {};
    }
    const int64_t last =
        std::min<int64_t>(int64_t{first} + clusters - 1, int64_t{Vcb->ExFat.ClusterCount} + 1);
    return {{0, first, last - first + 1}};
}

std::vector<ClusterExtent> ExFatStreamExtents(uint32_t first, int64_t clusters, bool noFatChain) {
    return noFatChain ? ContiguousExtents(first, clusters)
                      : FollowExFatChain(first, clusters).extents;
}

bool AppendHeapBytes(std::vector<uint8_t>& buffer, int64_t cluster, uint64_t offset,
                     uint64_t bytes) {
    const std::size_t at = buffer.size();
    buffer.resize(at + static_cast<std::size_t>(bytes));
    const __int128 position =
        static_cast<__int128>(Vcb->AllocationSupport.FileAreaLbo) +
        static_cast<__int128>(cluster - kExFatFirstCluster) * Vcb->BytesPerCluster + offset;
    return ReadVolumeBytes(
               Vcb->hVolume,
               position >= 0 && position <= INT64_MAX ? static_cast<int64_t>(position) : -1,
               std::span<uint8_t>(buffer).subspan(at)) == bytes;
}

void AppendExtents(std::vector<uint8_t>& buffer, const std::vector<ClusterExtent>& extents) {
    for (const ClusterExtent& e : extents) {
        const std::size_t at = buffer.size();
        buffer.resize(at + static_cast<std::size_t>(e.clusters) * Vcb->BytesPerCluster);
        ReadClusters(Vcb->hVolume, e.lcn, std::span<uint8_t>(buffer).subspan(at),
                     static_cast<uint32_t>(e.clusters));
    }
}

std::vector<uint8_t> ReadExFatRoot(std::size_t maxClusters) {
    std::vector<uint8_t> root;
    AppendExtents(
        root, FollowExFatChain(Vcb->ExFat.RootCluster, static_cast<int64_t>(maxClusters)).extents);
    return root;
}

std::optional<ExFatBitmapEntry> FindExFatBitmapEntry() {
    const std::vector<uint8_t> root = ReadExFatRoot(kRootClustersForBitmap);
    const uint8_t wanted = Vcb->ExFat.SecondFatActive() ? exfat_entry::SecondBitmap : 0;
    for (std::size_t at = 0; at + exfat_entry::Size <= root.size(); at += exfat_entry::Size) {
        const Bytes entry = Bytes(root).subspan(at, exfat_entry::Size);
        if (entry[exfat_entry::EntryType] == exfat_entry::EndOfDirectory) {
            break;
        }
        if (entry[exfat_entry::EntryType] == exfat_entry::AllocationBitmap &&
            (entry[exfat_entry::BitmapFlags] & exfat_entry::SecondBitmap) == wanted) {
            return ExFatBitmapEntry{U32(entry, exfat_entry::ClusterField),
                                    U64(entry, exfat_entry::LengthField)};
        }
    }
    return std::nullopt;
}

std::optional<uint32_t> ExFatBitmapCluster() {
    const std::optional<ExFatBitmapEntry> entry = FindExFatBitmapEntry();
    return entry ? std::optional<uint32_t>(entry->firstCluster) : std::nullopt;
}

std::optional<std::vector<uint8_t>> ReadExFatAllocationBitmap(std::size_t bytes) {
    const std::optional<ExFatBitmapEntry> entry = FindExFatBitmapEntry();
    if (!entry || !IsExFatCluster(entry->firstCluster) || entry->length < bytes) {
        return std::nullopt;
    }
    const int64_t clusters =
        static_cast<int64_t>((bytes + Vcb->BytesPerCluster - 1) / Vcb->BytesPerCluster);
    // The bitmap has its chain in the FAT; a FAT that lost it leaves the run.
    ClusterChain chain = FollowExFatChain(entry->firstCluster, clusters);
    const std::vector<ClusterExtent> extents =
        chain.clusters == clusters ? std::move(chain.extents)
                                   : ContiguousExtents(entry->firstCluster, clusters);
    std::vector<uint8_t> bitmap;
    AppendExtents(bitmap, extents);
    bitmap.resize(bytes);
    return bitmap;
}

}  // namespace relicta::volume
