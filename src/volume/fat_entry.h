#pragma once
// Entries of the in-memory FAT and what they mean.

#include <cstdint>
#include <span>

#include "bytes/le_bytes.h"

namespace relicta::volume {

using bytes::InBounds;
using bytes::U16;
using bytes::U32;

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

inline constexpr uint32_t kFatBadMark = 0x0FFFFFF7;  // FAT32's; FAT12 and FAT16 keep its low bits

// The same read without the consistency check on the index, for callers whose indices lie
// in range by construction (a pass over every cluster of the volume). The buffer is still
// bounds-checked: an index past it reads as a bad cluster.
inline uint32_t ReadFatEntry(uint8_t bits, uint32_t FatIndex, std::span<const uint8_t> FatBuffer) {
    constexpr uint32_t kFat12Mask = 0x0FFF;
    const std::size_t index = FatIndex;
    switch (bits) {
        case 12: {
            const std::size_t offset = index * 3 / 2;
            if (!InBounds(FatBuffer, offset, 2)) {
                return kFatBadMark & kFat12Mask;
            }
            const uint16_t word = U16(FatBuffer, offset);
            return (FatIndex & 1) != 0 ? word >> 4 : word & kFat12Mask;
        }
        case 16:
            return InBounds(FatBuffer, index * 2, 2) ? U16(FatBuffer, index * 2)
                                                     : kFatBadMark & 0xFFFF;
        case 32:
            return InBounds(FatBuffer, index * 4, 4) ? U32(FatBuffer, index * 4) : kFatBadMark;
        default:
            return kFatBadMark;
    }
}

ClusterType InterpretClusterType(const VCB& vcb, uint32_t value);

}  // namespace relicta::volume
