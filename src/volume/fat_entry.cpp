#include "volume/fat_entry.h"

#include "app/consistency.h"
#include "volume/le_bytes.h"
#include "volume/vcb.h"

namespace relicta::volume {
namespace {

constexpr uint32_t kFat12Mask = 0x0FFF;
constexpr uint32_t kFat12MarkStart = 0xFF0;
constexpr uint32_t kFat16MarkStart = 0xFFF0;
constexpr uint32_t kFat12Widen = 0x0FFFF000;
constexpr uint32_t kFat16Widen = 0x0FFF0000;
constexpr uint32_t kFat32Mask = 0x0FFFFFFF;
constexpr uint32_t kReservedStart = 0x0FFFFFF0;
constexpr uint32_t kBadMark = 0x0FFFFFF7;

uint32_t BadMarkFor(uint8_t bits) {
    switch (bits) {
        case 12:
            return kBadMark & kFat12Mask;
        case 16:
            return kBadMark & 0xFFFF;
        default:
            return kBadMark;
    }
}

}  // namespace

uint32_t FatEntry(const VCB& vcb, uint32_t FatIndex, std::span<const uint8_t> FatBuffer) {
    CONSISTENCY_CHECK_TEXT(FatIndex >= 2, "(FatIndex) >= 2");
    CONSISTENCY_CHECK_TEXT(
        uint64_t{FatIndex} <= uint64_t{vcb.AllocationSupport.NumberOfClusters} + 1,
        "(FatIndex) <= ((Vcb)->AllocationSupport.NumberOfClusters + 1)");
    const uint8_t bits = vcb.AllocationSupport.FatIndexBitSize;
    const std::size_t index = FatIndex;
    switch (bits) {
        case 12: {
            const std::size_t offset = index * 3 / 2;
            if (!InBounds(FatBuffer, offset, 2)) {
                break;
            }
            const uint16_t word = U16(FatBuffer, offset);
            return (FatIndex & 1) != 0 ? word >> 4 : word & kFat12Mask;
        }
        case 16:
            if (!InBounds(FatBuffer, index * 2, 2)) {
                break;
            }
            return U16(FatBuffer, index * 2);
        case 32:
            if (!InBounds(FatBuffer, index * 4, 4)) {
                break;
            }
            return U32(FatBuffer, index * 4);
        default:
            break;
    }
    return BadMarkFor(bits);
}

ClusterType InterpretClusterType(const VCB& vcb, uint32_t value) {
    switch (vcb.AllocationSupport.FatIndexBitSize) {
        case 12:
            if (value >= kFat12MarkStart) {
                value |= kFat12Widen;
            }
            break;
        case 16:
            if (value >= kFat16MarkStart) {
                value |= kFat16Widen;
            }
            break;
        default:
            value &= kFat32Mask;
            break;
    }
    if (value == 0) {
        return ClusterAvailable;
    }
    if (value < kReservedStart) {
        return ClusterNext;
    }
    if (value < kBadMark) {
        return ClusterReserved;
    }
    return value == kBadMark ? ClusterBad : ClusterLast;
}

}  // namespace relicta::volume
