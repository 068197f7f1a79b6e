#pragma once
// The FAT layout computed from the BIOS parameter block.

#include <cstdint>

#include "volume/bpb.h"

namespace relicta::volume {

inline constexpr uint32_t kFat12MaxClusters = 4086;  // 4087 data clusters and up: FAT16
inline constexpr uint32_t kDirEntrySize = 32;
inline constexpr uint32_t kFat32MaxClusters = 0x0FFFFFF5;  // above this, entries are marks

struct AllocationSupport {
    uint64_t RootDirectoryLbo = 0;   // byte offset of the FAT12/16 root directory
    uint32_t RootDirectorySize = 0;  // RootEntries x 32
    uint64_t FileAreaLbo = 0;        // byte offset of cluster 2
    uint32_t NumberOfClusters = 0;   // data clusters the FAT describes
    uint8_t FatIndexBitSize = 0;     // 12, 16 or 32
    uint8_t LogOfBytesPerCluster = 0;
};

void ComputeFatGeometry(const Bpb& bpb, AllocationSupport& geometry);

// Data clusters of a FAT volume: what lies after the reserved sectors, the FATs and (on
// FAT12/16) the root directory, in whole clusters. 0 when the fields leave nothing.
uint32_t FatDataClusters(const Bpb& bpb);

// log2 of the cluster size: the number of halvings until the value is at most 1.
uint8_t LogOfBytesPerCluster(uint32_t bytesPerCluster);

}  // namespace relicta::volume
