#pragma once
// What the FAT and exFAT rebuilds share about an old volume's clusters: where they lie on the
// drive, which geometry the structures found agree on, and where a file's data lies in it.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "deep/boot_sector_finder.h"
#include "deep/current_volume.h"
#include "deep/old_volume.h"
#include "scan/found_files.h"

namespace relicta::deep {

inline constexpr int64_t kFirstCluster = 2;

// Where an old volume's clusters lie on the drive.
struct ClusterGeometry {
    uint32_t clusterBytes = 0;
    int64_t heapStart = 0;  // drive offset of cluster 2

    int64_t OffsetOf(int64_t cluster) const {
        return heapStart + (cluster - kFirstCluster) * int64_t{clusterBytes};
    }
    // The cluster that holds drive offset `offset`; below 2 before cluster 2.
    int64_t ClusterAt(int64_t offset) const;
    // Clusters that `bytes` bytes take.
    uint64_t ClustersFor(uint64_t bytes) const;
    bool operator==(const ClusterGeometry&) const = default;
};

enum class GeometrySource : uint8_t { BootSector, CurrentVolume, Inferred };

// A geometry something beside the structures found vouches for: a boot sector found, or the
// file system the drive holds now (a quick format with the same tool keeps it).
struct VouchedGeometry {
    ClusterGeometry geometry;
    GeometrySource source = GeometrySource::BootSector;
    int64_t volumeStart = 0;
    int64_t volumeEnd = 0;  // past the volume's last byte
    const FoundBootSector* boot = nullptr;
};

// The geometries `boots` of `kind` and `current` (when it is of `currentKind`) vouch for.
std::vector<VouchedGeometry> VouchedGeometries(std::span<const FoundBootSector> boots,
                                               BootKind kind, const CurrentVolume& current,
                                               CurrentKind currentKind);

struct GeometryScore {
    ClusterGeometry geometry;
    std::size_t votes = 0;
};

// An old volume's geometry and what tells it.
struct ChosenGeometry {
    ClusterGeometry geometry;
    GeometrySource source = GeometrySource::Inferred;
    int64_t volumeStart = 0;
    int64_t volumeEnd = 0;
    const FoundBootSector* boot = nullptr;
    // Nothing found agrees with it: taken for want of another, its files' places are guesses.
    bool unconfirmed = false;
};

// The geometry most votes agree on, one vouched for on a tie. A lone vote tells nothing of
// the cluster size unless something vouches for it: nullopt then.
std::optional<ChosenGeometry> ChooseGeometry(std::vector<GeometryScore> scores,
                                             std::span<const VouchedGeometry> vouched,
                                             int64_t driveLength);

// Adds to `votes` the geometry of each cluster size up to `maxClusterBytes` that puts cluster
// `cluster` at drive offset `offset`.
void VoteForPlace(std::vector<ClusterGeometry>& votes, int64_t offset, int64_t cluster,
                  uint32_t maxClusterBytes);

// Counts equal geometries of `votes` into scores.
std::vector<GeometryScore> CountVotes(std::vector<ClusterGeometry> votes);

// The cluster sizes an old FAT or exFAT volume may have had.
inline constexpr uint32_t kMinClusterBytes = 512;
inline constexpr uint32_t kMaxFatClusterBytes = 64 * 1024;
inline constexpr uint32_t kMaxExFatClusterBytes = 32 * 1024 * 1024;

// An old volume as chosen: its geometry, the records that voted for it (FAT "." entries,
// exFAT folder entries), and the stretch of the drive its other structures may lie in.
struct ChosenVolume {
    ChosenGeometry chosen;
    std::vector<std::size_t> voters;
    int64_t low = 0;
    int64_t high = 0;
};

// How the records vote for a FAT or an exFAT volume's geometry.
struct GeometryVoting {
    // The candidates' votes among `voters`, the records not taken yet.
    std::function<std::vector<GeometryScore>(const std::vector<std::size_t>& voters)> scores;
    // Whether record `voter` lies where geometry `g` puts it.
    std::function<bool(const ClusterGeometry& g, std::size_t voter)> fits;
    std::size_t voters = 0;
    // Found structures that no record can vote for: they take a vouched geometry, unconfirmed.
    bool anyFound = false;
    // What may lie right before an inferred volume's cluster 2 (a FAT12/16 root directory).
    int64_t rootBytes = 0;
};

// Old volumes one after another: the geometry most records agree on, the records it fits
// taken away, until none is agreed on. Each gets its stretch of the drive: a vouched
// volume's own; an inferred one's from its cluster 2 (less `rootBytes`) up to the next one.
std::vector<ChosenVolume> ChooseVolumes(const GeometryVoting& voting,
                                        std::span<const VouchedGeometry> vouched,
                                        int64_t driveLength);

// Which of `volumes` each of `offsets` (sorted) belongs to: the volume one of whose voters'
// first clusters (`firstCluster` of each) holds it, else the first whose stretch holds it.
struct Assignment {
    std::vector<std::vector<std::size_t>> held;  // per volume: indexes into offsets
    std::vector<std::size_t> lost;               // in none
};
Assignment AssignToVolumes(std::span<const int64_t> offsets, std::span<const ChosenVolume> volumes,
                           const std::function<int64_t(std::size_t voter)>& firstCluster);

// The volumes of `built` that hold entries, each noted where its geometry (`geometries`, one
// each) came from, with `lost` (entries of no volume) in the first, or in one of `kind`.
std::vector<OldVolume> KeepVolumes(std::vector<OldVolume> built,
                                   std::span<const ChosenGeometry> geometries,
                                   std::vector<OldEntry> lost, const char* kind,
                                   std::vector<std::string>& notes);

// The note that tells the user where the geometry of an old `kind` volume came from; empty
// when a boot sector gave it.
std::string GeometryNote(const char* kind, const ChosenGeometry& chosen);

// Sets the size, location, layout and condition of a file of `size` bytes whose data begins at
// cluster `first` of `chosen`. Its clusters are known when `runKnown` (an exFAT run) or when it
// takes one, and the geometry is confirmed; then it is Good unless the drive's file system
// uses one of them now (Poor); else its layout is a guess from the first cluster on: Poor.
// A file that cannot lie where its entry says is Hopeless; an empty one gets `emptyCondition`.
void PlaceFile(scan::FoundFile& file, const ChosenGeometry& chosen, int64_t first, uint64_t size,
               bool runKnown, const char* emptyCondition, const CurrentVolume& current);

}  // namespace relicta::deep
