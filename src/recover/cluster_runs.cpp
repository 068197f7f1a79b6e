#include "recover/cluster_runs.h"

#include <memory>

#include "app/dialogs.h"

namespace relicta::recover {

using volume::Vcb;

std::optional<std::vector<volume::ClusterExtent>> ExFatExtents(const scan::FoundFile& entry) {
    const int64_t clusters = static_cast<int64_t>(
        (static_cast<uint64_t>(entry.size) + Vcb->BytesPerCluster - 1) / Vcb->BytesPerCluster);
    std::vector<volume::ClusterExtent> extents;
    int64_t found = 0;
    if (entry.layout == scan::DataLayout::Chain) {
        volume::ClusterChain chain = volume::FollowExFatChain(entry.mftOrCluster, clusters);
        found = chain.clusters;
        extents = std::move(chain.extents);
    } else {
        extents = volume::ContiguousExtents(entry.mftOrCluster, clusters);
        found = extents.empty() ? 0 : extents.front().clusters;
    }
    if (found != clusters) {
        app::MessageBox("The clusters of \"" + entry.name +
                            "\" are no longer where the scan found them; it is not recovered.",
                        "Notice");
        return std::nullopt;
    }
    return extents;
}

std::optional<std::vector<volume::ClusterExtent>> FileExtents(const scan::FoundFile& entry) {
    if (entry.size <= 0) {
        return std::vector<volume::ClusterExtent>();
    }
    std::unique_ptr<ClusterRuns> runs;
    if (Vcb->IsExFat && entry.layout != scan::DataLayout::Guessed) {
        std::optional<std::vector<volume::ClusterExtent>> extents = ExFatExtents(entry);
        if (!extents) {
            return std::nullopt;
        }
        runs = std::make_unique<ExtentRuns>(std::move(*extents));
    } else {
        runs = std::make_unique<FreeClusterRuns>(entry.mftOrCluster);
    }
    const uint64_t clusterBytes = Vcb->BytesPerCluster;
    uint64_t wanted = (static_cast<uint64_t>(entry.size) + clusterBytes - 1) / clusterBytes;
    std::vector<volume::ClusterExtent> all;
    while (wanted > 0) {
        const std::optional<volume::ClusterExtent> run = runs->Next(wanted);
        if (!run) {
            break;  // a volume without enough free clusters: the rest reads as missing
        }
        all.push_back(*run);
        wanted -= static_cast<uint64_t>(run->clusters);
    }
    return all;
}

}  // namespace relicta::recover
