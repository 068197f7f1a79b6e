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
    constexpr std::size_t kPendingLimit = 4096;
    if (end > start) {
        pending_.push_back({start, end});
        if (pending_.size() >= kPendingLimit) {
            SortIn();
        }
    }
}

void KnownData::SortIn() {
    if (pending_.empty()) {
        return;
    }
    const auto byStart = [](const Range& a, const Range& b) { return a.start < b.start; };
    std::sort(pending_.begin(), pending_.end(), byStart);
    const std::size_t middle = ranges_.size();
    ranges_.insert(ranges_.end(), pending_.begin(), pending_.end());
    pending_.clear();
    std::inplace_merge(ranges_.begin(), ranges_.begin() + static_cast<std::ptrdiff_t>(middle),
                       ranges_.end(), byStart);
    std::size_t kept = 0;
    for (const Range& r : ranges_) {
        if (kept > 0 && r.start <= ranges_[kept - 1].end) {
            ranges_[kept - 1].end = std::max(ranges_[kept - 1].end, r.end);
        } else {
            ranges_[kept++] = r;
        }
    }
    ranges_.resize(kept);
}

int64_t KnownData::After(int64_t cluster) {
    SortIn();
    const auto it = std::upper_bound(ranges_.begin(), ranges_.end(), cluster,
                                     [](int64_t c, const Range& r) { return c < r.start; });
    if (it != ranges_.begin() && std::prev(it)->end > cluster) {
        return std::prev(it)->end;
    }
    return cluster;
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
std::optional<int64_t> FarFolderCluster(int64_t start, KnownData& known,
                                        const ContinuationTests& tests) {
    const uint32_t clusterBytes = volume::Vcb->BytesPerCluster;
    const int64_t budget = static_cast<int64_t>(kFarSearchBytes / clusterBytes);
    // Only a cluster's first sector is read until it may begin a folder.
    std::vector<uint8_t> head(std::min<uint32_t>(clusterBytes, volume::Vcb->BytesPerSector));
    int64_t cluster = FirstFreeCluster(start, tests.lastCluster, &known);
    for (int64_t searched = 0; cluster <= tests.lastCluster && searched < budget; ++searched) {
        volume::ReadClusterBytes(volume::Vcb->hVolume, cluster, head);
        if (tests.beginsLikeFolder(head) && tests.usable(cluster) &&
            tests.readsAsFolder(cluster, start)) {
            return cluster;
        }
        cluster = FirstFreeCluster(cluster + 1, tests.lastCluster, &known);
    }
    return std::nullopt;
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
    for (std::size_t i = 0; i < count; ++i) {
        const int64_t candidate = candidates[i];
        if (candidate >= 2 && candidate <= tests.lastCluster && tests.usable(candidate) &&
            tests.readsAsFolder(candidate, 0)) {
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
