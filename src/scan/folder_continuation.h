#pragma once
// How a deleted FAT or exFAT folder's later clusters are found again once its chain is gone:
// by allocation order. A driver gives a full folder the next free cluster when it adds an
// entry, and that cluster lies past the data just written for the entries before it.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace relicta::scan {

// Where the data of a folder's entries lies, in entry order.
struct AllocationTrail {
    int64_t lastDataStart = 0;  // first cluster of the last entry with data
    int64_t dataEnd = 0;        // the cluster after the data of the current cluster's entries

    void Note(int64_t firstCluster, int64_t clusters);
    // Goes on with the trail of the folder's next piece, whose data end is the one that counts.
    void Follow(const AllocationTrail& next);
};

// Clusters known to hold found files' data. A scan adds tens of thousands of ranges before it
// first asks, and few after: they are sorted once, and later ones kept in a small map.
class KnownData {
  public:
    void Add(int64_t start, int64_t end);
    // The first cluster from `cluster` on that no known range covers.
    int64_t After(int64_t cluster);

  private:
    struct Range {
        int64_t start = 0;
        int64_t end = 0;  // exclusive
    };
    void Sort();

    std::vector<Range> ranges_;  // sorted and disjoint once sorted_
    bool sorted_ = false;
    std::map<int64_t, int64_t> late_;  // start -> end, disjoint
};

struct ContinuationTests {
    int64_t lastCluster = 0;
    // Free, named by no entry as its first cluster, not read as a directory already.
    std::function<bool(int64_t)> usable;
    // Reads as the folder's next cluster: its entries, and data in allocation order after
    // the trail's; when `expectedData` is not 0, its first entry with data must have it
    // begin there (or, when the cluster is that one itself, at the next free one).
    std::function<bool(int64_t candidate, int64_t expectedData)> readsAsFolder;
    // Whether a cluster that begins with this entry may be a folder's; a far search reads
    // no more of clusters that do not.
    std::function<bool(std::span<const uint8_t> firstEntry)> beginsLikeFolder;
    // The first cluster of what the folder's parent was given next, when known: a folder
    // grown when it was closed ends right before it.
    int64_t follower = 0;
    // Clusters the scan may still read looking far for folders: the searches of one scan are
    // bounded together, whatever a damaged volume holds.
    int64_t* farClustersLeft = nullptr;
};

// What one scan's far searches may read in all.
inline constexpr uint64_t kFarSearchesBytes = uint64_t{256} << 20;

// The first free cluster from `cluster` on; with `known`, also past known files' data.
int64_t FirstFreeCluster(int64_t cluster, int64_t lastCluster, KnownData* known);

// Whether a candidate's first entry with data, at `firstData`, begins where the folder's data
// left off (`expectedData`), or right after the candidate when that is the cluster expected.
bool ContinuesData(int64_t firstData, int64_t candidate, int64_t expectedData, KnownData& known,
                   int64_t lastCluster);

// The folder's next cluster after `current`: the cluster right after it, or the first free
// cluster past the data of the entries `current` holds (past the data of files found since,
// too). Failing those, a cluster further on whose first file's data begins exactly where the
// folder's data left off, looked for first in the run of clusters right before the follower: a
// driver that grows a folder only when it closes it puts the folder's later clusters past all its
// files' data. nullopt when none qualifies: a wrong link would put files under a wrong folder.
std::optional<int64_t> NextFolderCluster(int64_t current, const AllocationTrail& trail,
                                         KnownData& known, const ContinuationTests& tests);

}  // namespace relicta::scan
