#pragma once
// Entries of the in-memory FAT and what they mean.

#include <cstdint>
#include <span>

namespace relicta::volume {

struct VCB;

enum ClusterType {
    ClusterAvailable = 0,
    ClusterReserved = 1,
    ClusterBad = 2,
    ClusterLast = 3,
    ClusterNext = 4,
};

// The raw entry of cluster `FatIndex`. An entry beyond the FAT buffer reads as a bad
// cluster, so that nothing unknown is taken for free space or a chain link.
uint32_t FatEntry(const VCB& vcb, uint32_t FatIndex, std::span<const uint8_t> FatBuffer);

ClusterType InterpretClusterType(const VCB& vcb, uint32_t value);

}  // namespace relicta::volume
