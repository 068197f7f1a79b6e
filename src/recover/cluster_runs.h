#pragma once
// Where a found FAT or exFAT file's clusters lie, as runs of consecutive clusters: what
// recovery copies and the content check reads.

#include <cstdint>
#include <optional>
#include <vector>

#include "ntfs/bitmaps.h"
#include "scan/found_files.h"
#include "volume/exfat_fat.h"
#include "volume/vcb.h"

namespace relicta::recover {

inline constexpr int64_t kFirstFatCluster = 2;

// The free clusters a deleted FAT file is taken to occupy: its first cluster, then each
// next free one, wrapping past the end of the volume, for at most one pass over it.
class FreeClusterWalk {
  public:
    explicit FreeClusterWalk(int64_t first) : current_(first) {}

    int64_t Current() const { return current_; }

    bool Advance() {
        const int64_t last = volume::Vcb->TotalClusters + 1;
        // Every other cluster once; the walk never comes back to where it began.
        while (stepped_ + 1 < volume::Vcb->TotalClusters) {
            ++stepped_;
            current_ = current_ >= last ? kFirstFatCluster : current_ + 1;
            if (ntfs::FatClusterFree(current_)) {
                return true;
            }
        }
        return false;
    }

  private:
    int64_t current_;
    int64_t stepped_ = 0;
};

// A file's clusters as runs of consecutive clusters, each at most `limit` long.
class ClusterRuns {
  public:
    virtual ~ClusterRuns() = default;
    virtual std::optional<volume::ClusterExtent> Next(uint64_t limit) = 0;
};

// The free clusters from the first on: FAT's rule for a deleted file, and exFAT's guess.
class FreeClusterRuns final : public ClusterRuns {
  public:
    explicit FreeClusterRuns(int64_t first) : walk_(first) {}

    std::optional<volume::ClusterExtent> Next(uint64_t limit) override {
        if (!atNext_ && (exhausted_ || !walk_.Advance())) {
            return std::nullopt;
        }
        // Consecutive free clusters are read at once; the walk goes no further than needed.
        const int64_t start = walk_.Current();
        uint64_t clusters = 1;
        atNext_ = false;
        while (clusters < limit) {
            if (!walk_.Advance()) {
                exhausted_ = true;
                break;
            }
            if (walk_.Current() != start + static_cast<int64_t>(clusters)) {
                atNext_ = true;
                break;
            }
            ++clusters;
        }
        return volume::ClusterExtent{0, start, static_cast<int64_t>(clusters)};
    }

  private:
    FreeClusterWalk walk_;
    bool atNext_ = true;  // the walk stands on the next cluster to take
    bool exhausted_ = false;
};

// Clusters whose places are known: an exFAT run or chain.
class ExtentRuns final : public ClusterRuns {
  public:
    explicit ExtentRuns(std::vector<volume::ClusterExtent> extents)
        : extents_(std::move(extents)) {}

    std::optional<volume::ClusterExtent> Next(uint64_t limit) override {
        while (index_ < extents_.size() && taken_ >= extents_[index_].clusters) {
            ++index_;
            taken_ = 0;
        }
        if (index_ >= extents_.size()) {
            return std::nullopt;
        }
        const volume::ClusterExtent& e = extents_[index_];
        const int64_t clusters =
            std::min<int64_t>(e.clusters - taken_, static_cast<int64_t>(limit));
        const volume::ClusterExtent run{0, e.lcn + taken_, clusters};
        taken_ += clusters;
        return run;
    }

  private:
    std::vector<volume::ClusterExtent> extents_;
    std::size_t index_ = 0;
    int64_t taken_ = 0;
};

// The clusters an exFAT file's data lies in, by the layout the scan found; nullopt (after a
// message) when they are no longer where the scan found them.
std::optional<std::vector<volume::ClusterExtent>> ExFatExtents(const scan::FoundFile& entry);

// Every run of a FAT or exFAT file's data as recovery takes it, up to its size; nullopt when
// an exFAT file's clusters are no longer where the scan found them.
std::optional<std::vector<volume::ClusterExtent>> FileExtents(const scan::FoundFile& entry);

}  // namespace relicta::recover
