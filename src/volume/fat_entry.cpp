#include "volume/fat_entry.h"

#include "app/consistency.h"
#include "bytes/le_bytes.h"
#include "volume/vcb.h"

namespace relicta::volume {
namespace {

constexpr uint32_t kFat12MarkStart = 0xFF0;
constexpr uint32_t kFat16MarkStart = 0xFFF0;
constexpr uint32_t kFat12Widen = 0x0FFFF000;
constexpr uint32_t kFat16Widen = 0x0FFF0000;
constexpr uint32_t kFat32Mask = 0x0FFFFFFF;
constexpr uint32_t kReservedStart = 0x0FFFFFF0;

}  // namespace

uint32_t FatEntry(const VCB& vcb, uint32_t FatIndex, std::span<const uint8_t> FatBuffer) {
    CONSISTENCY_CHECK_TEXT(FatIndex >= 2, "(FatIndex) >= 2");
    CONSISTENCY_CHECK_TEXT(
        uint64_t{FatIndex} <= uint64_t{vcb.AllocationSupport.NumberOfClusters} + 1,
        "(FatIndex) <= ((Vcb)->AllocationSupport.NumberOfClusters + 1)");
    return ReadFatEntry(vcb.AllocationSupport.FatIndexBitSize, FatIndex, FatBuffer);
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
    if (value < kFatBadMark) {
        return ClusterReserved;
    }
    return value == kFatBadMark ? ClusterBad : ClusterLast;
}

}  // namespace relicta::volume
