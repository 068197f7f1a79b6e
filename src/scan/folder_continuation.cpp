#include "scan/folder_continuation.h"

#include <algorithm>
#include <array>

#include "ntfs/bitmaps.h"
#include "volume/raw_io.h"
#include "volume/vcb.h"

namespace relicta::scan {

void AllocationTrail::Note(int64_t firstCluster, int64_t clusters) {
    lastDataStart = firstCluster;
    dataEnd = std::max(dataEnd, firstCluster + clusters);
}

void AllocationTrail::Follow(const AllocationTrail& next) {
    if (next.lastDataStart != 0) {
        lastDataStart = next.lastDataStart;
    }
    dataEnd = next.dataEnd != 0 ? next.dataEnd : dataEnd;
}

void KnownData::Add(int64_t start, int64_t end) {
    if (end <= start) {
        return;
    }
    if (!sorted_) {
        ranges_.push_back({start, end});
        return;
    }
    // Once asked, the sorted ranges stay as they are: later ones go to a map, folded in when
    // it has grown.
    constexpr std::size_t kLateLimit = 4096;
    auto next = late_.upper_bound(start);
    auto grown = next;
    if (next != late_.begin() && std::prev(next)->second >= start) {
        grown = std::prev(next);
        grown->second = std::max(grown->second, end);
    } else {
        grown = late_.emplace_hint(next, start, end);
    }
    for (auto after = std::next(grown); after != late_.end() && after->first <= grown->second;) {
        grown->second = std::max(grown->second, after->second);
        after = late_.erase(after);
    }
    if (late_.size() >= kLateLimit) {
        for (const auto& [from, to] : late_) {
            ranges_.push_back({from, to});
        }
        late_.clear();
        Sort();
    }
}

void KnownData::Sort() {
    std::sort(ranges_.begin(), ranges_.end(),
              [](const Range& a, const Range& b) { return a.start < b.start; });
    std::size_t kept = 0;
    for (const Range& r : ranges_) {
        if (kept > 0 && r.start <= ranges_[kept - 1].end) {
            ranges_[kept - 1].end = std::max(ranges_[kept - 1].end, r.end);
        } else {
            ranges_[kept++] = r;
        }
    }
    ranges_.resize(kept);
    sorted_ = true;
}

int64_t KnownData::After(int64_t cluster) {
    if (!sorted_) {
        Sort();
    }
    for (;;) {
        const int64_t from = cluster;
        const auto it = std::upper_bound(ranges_.begin(), ranges_.end(), cluster,
                                         [](int64_t c, const Range& r) { return c < r.start; });
        if (it != ranges_.begin() && std::prev(it)->end > cluster) {
            cluster = std::prev(it)->end;
        }
        const auto late = late_.upper_bound(cluster);
        if (late != late_.begin() && std::prev(late)->second > cluster) {
            cluster = std::prev(late)->second;
        }
        if (cluster == from) {
            return cluster;
        }
    }
}

int64_t FirstFreeCluster(int64_t cluster, int64_t lastCluster, KnownData* known) {
    while (cluster <= lastCluster) {
        if (!ntfs::FatClusterFree(cluster)) {
            ++cluster;
            continue;
        }
        const int64_t past = known != nullptr ? known->After(cluster) : cluster;
        if (past == cluster) {
            return cluster;
        }
        cluster = past;
    }
    return cluster;
}

bool ContinuesData(int64_t firstData, int64_t candidate, int64_t expectedData, KnownData& known,
                   int64_t lastCluster) {
    return firstData != 0 && (firstData == expectedData ||
                              (candidate == expectedData &&
                               firstData == FirstFreeCluster(candidate + 1, lastCluster, &known)));
}

namespace {

constexpr uint64_t kFarSearchBytes = uint64_t{32} << 20;  // how far past the data to look

// The free clusters from `start` on, a run at a time, for a cluster whose first entry may be
// a folder's and that then reads as this folder's next one.
bool BeginsLikeFolder(int64_t cluster, std::vector<uint8_t>& head, const ContinuationTests& tests) {
    volume::ReadClusterBytes(volume::Vcb->hVolume, cluster, head);
    return tests.beginsLikeFolder(head);
}

// The first of the folder-like free clusters that end right before the follower.
std::optional<int64_t> ClusterBeforeFollower(int64_t start, const ContinuationTests& tests,
                                             std::vector<uint8_t>& head) {
    constexpr int64_t kMaxRun = 4096;
    int64_t first = tests.follower;
    while (first - 1 > start && tests.follower - first < kMaxRun &&
           ntfs::FatClusterFree(first - 1) && tests.usable(first - 1) &&
           BeginsLikeFolder(first - 1, head, tests)) {
        --first;
    }
    if (first == tests.follower || !tests.readsAsFolder(first, start)) {
        return std::nullopt;
    }
    return first;
}

// The free clusters from `start` on, read a run at a time (one read of a run costs less
// than one read of each cluster's first sector), for one that begins like a folder and then
// reads as this one's next cluster.
std::optional<int64_t> ScanForward(int64_t start, int64_t end, KnownData& known,
                                   const ContinuationTests& tests) {
    constexpr int64_t kRunClusters = 64;
    const uint32_t clusterBytes = volume::Vcb->BytesPerCluster;
    int64_t unbounded = INT64_MAX;
    int64_t& left = tests.farClustersLeft != nullptr ? *tests.farClustersLeft : unbounded;
    const int64_t budget = std::min(static_cast<int64_t>(kFarSearchBytes / clusterBytes), left);
    end = std::min(end, tests.lastCluster + 1);
    std::vector<uint8_t> run;
    int64_t cluster = FirstFreeCluster(start, tests.lastCluster, &known);
    for (int64_t searched = 0; cluster < end && searched < budget;) {
        int64_t count = 1;
        while (count < kRunClusters && cluster + count < end &&
               ntfs::FatClusterFree(cluster + count) &&
               known.After(cluster + count) == cluster + count) {
            ++count;
        }
        run.resize(static_cast<std::size_t>(count) * clusterBytes);
        volume::ReadClusters(volume::Vcb->hVolume, cluster, run, static_cast<uint32_t>(count));
        for (int64_t i = 0; i < count; ++i) {
            const std::span<const uint8_t> head(run.data() + i * clusterBytes, clusterBytes);
            if (tests.beginsLikeFolder(head) && tests.usable(cluster + i) &&
                tests.readsAsFolder(cluster + i, start)) {
                left -= i + 1;
                return cluster + i;
            }
        }
        searched += count;
        left -= count;
        cluster = FirstFreeCluster(cluster + count, tests.lastCluster, &known);
    }
    return std::nullopt;
}

// A cluster past the folder's data whose first file's data begins where the folder's left
// off. A folder grown when it was closed ends right before what its parent was given next;
// one grown file by file lies further on, before that when it was given out later.
std::optional<int64_t> FarFolderCluster(int64_t start, KnownData& known,
                                        const ContinuationTests& tests) {
    const bool followerAfter = tests.follower > start && tests.follower <= tests.lastCluster + 1;
    if (followerAfter) {
        std::vector<uint8_t> head(
            std::min<uint32_t>(volume::Vcb->BytesPerCluster, volume::Vcb->BytesPerSector));
        if (const std::optional<int64_t> found = ClusterBeforeFollower(start, tests, head)) {
            return found;
        }
    }
    return ScanForward(start, followerAfter ? tests.follower : tests.lastCluster + 1, known, tests);
}

}  // namespace

std::optional<int64_t> NextFolderCluster(int64_t current, const AllocationTrail& trail,
                                         KnownData& known, const ContinuationTests& tests) {
    std::array<int64_t, 3> candidates = {current + 1, 0, 0};
    std::size_t count = 1;
    if (trail.dataEnd != 0) {
        for (KnownData* skip : {static_cast<KnownData*>(nullptr), &known}) {
            const int64_t candidate = FirstFreeCluster(trail.dataEnd, tests.lastCluster, skip);
            if (std::find(candidates.begin(), candidates.begin() + count, candidate) ==
                candidates.begin() + count) {
                candidates[count++] = candidate;
            }
        }
    }
    std::vector<uint8_t> head(
        std::min<uint32_t>(volume::Vcb->BytesPerCluster, volume::Vcb->BytesPerSector));
    for (std::size_t i = 0; i < count; ++i) {
        const int64_t candidate = candidates[i];
        if (candidate >= 2 && candidate <= tests.lastCluster && tests.usable(candidate) &&
            BeginsLikeFolder(candidate, head, tests) && tests.readsAsFolder(candidate, 0)) {
            return candidate;
        }
    }
    if (trail.dataEnd == 0) {
        return std::nullopt;
    }
    return FarFolderCluster(FirstFreeCluster(trail.dataEnd, tests.lastCluster, &known), known,
                            tests);
}

}  // namespace relicta::scan
