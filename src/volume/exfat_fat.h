#pragma once
// The FAT, cluster chains and allocation bitmap of the open exFAT volume.

#include <cstdint>
#include <optional>
#include <vector>

#include "volume/vcb.h"

namespace relicta::volume {

// Whether `cluster` is a data cluster of the open exFAT volume (2 to ClusterCount + 1).
bool IsExFatCluster(int64_t cluster);

// The FAT entry of `cluster` in the active FAT; one that cannot be read is a bad cluster.
uint32_t ExFatEntry(uint32_t cluster);

struct ClusterChain {
    std::vector<ClusterExtent> extents;  // in file order; vcn counts the file's clusters
    int64_t clusters = 0;
    bool endMark = false;  // the walk ended at an end-of-chain mark
};

// Follows the FAT chain from `first` for at most `maxClusters` clusters. The walk stops at
// an end mark, at a link that is free, bad or out of range, or after `maxClusters`; a chain
// that loops therefore never ends at its mark within the bound.
ClusterChain FollowExFatChain(uint32_t first, int64_t maxClusters);

// `clusters` clusters from `first` on, one after another.
std::vector<ClusterExtent> ContiguousExtents(uint32_t first, int64_t clusters);

// Where the data of a stream lies: the run from `first` when its entry says NoFatChain,
// else its chain, cut at `clusters`.
std::vector<ClusterExtent> ExFatStreamExtents(uint32_t first, int64_t clusters, bool noFatChain);

// Reads `bytes` bytes from `offset` bytes into cluster `cluster` onto the end of `buffer`;
// false when some could not be read (they are zero).
bool AppendHeapBytes(std::vector<uint8_t>& buffer, int64_t cluster, uint64_t offset,
                     uint64_t bytes);

// Reads the clusters of `extents` onto the end of `buffer`.
void AppendExtents(std::vector<uint8_t>& buffer, const std::vector<ClusterExtent>& extents);

// The root directory's clusters, along its chain, at most `maxClusters`.
std::vector<uint8_t> ReadExFatRoot(std::size_t maxClusters);

struct ExFatBitmapEntry {
    uint32_t firstCluster = 0;
    uint64_t length = 0;
};
// The root directory's entry for the active allocation bitmap (TexFAT keeps two).
std::optional<ExFatBitmapEntry> FindExFatBitmapEntry();
std::optional<uint32_t> ExFatBitmapCluster();

// The allocation bitmap the root directory names (the active one of two on TexFAT), at
// most `bytes` long; nullopt when the root names none that can be read.
std::optional<std::vector<uint8_t>> ReadExFatAllocationBitmap(std::size_t bytes);

}  // namespace relicta::volume
