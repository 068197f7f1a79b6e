#include "volume/exfat_boot.h"

#include <algorithm>
#include <cstring>

#include "volume/boot_sector_layout.h"
#include "volume/exfat_layout.h"

namespace relicta::volume {

using bytes::InBounds;
using bytes::U16;
using bytes::U32;
using bytes::U64;
using bytes::U8;
namespace {

constexpr char kExFatName[] = "EXFAT   ";
constexpr uint16_t kBootSignature = 0xAA55;
// Bytes of the boot sector the checksum leaves out: volume flags and percent in use.
constexpr std::size_t kSkippedFlags0 = exfat_boot::VolumeFlags;
constexpr std::size_t kSkippedFlags1 = exfat_boot::VolumeFlags + 1;
constexpr std::size_t kSkippedPercent = exfat_boot::PercentInUse;
constexpr std::size_t kSetChecksumBytes[] = {exfat_entry::SetChecksum,
                                             exfat_entry::SetChecksum + 1};

uint32_t RotateAdd32(uint32_t sum, uint8_t byte) {
    return ((sum & 1) != 0 ? 0x80000000u : 0u) + (sum >> 1) + byte;
}

}  // namespace

bool ExFatGeometry::SecondFatActive() const {
    return NumberOfFats > 1 && (VolumeFlags & exfat_boot::ActiveFatFlag) != 0;
}

uint64_t ExFatGeometry::ActiveFatOffset() const {
    return uint64_t{FatOffset} + (SecondFatActive() ? FatLength : 0);
}

bool IsExFatBootSector(Bytes s) {
    if (!InBounds(s, 0, kBootSectorSize) || std::memcmp(&s[exfat_boot::FileSystemName], kExFatName,
                                                        exfat_boot::FileSystemNameLength) != 0) {
        return false;
    }
    const Bytes bpb = s.subspan(exfat_boot::MustBeZero, exfat_boot::MustBeZeroLength);
    return std::all_of(bpb.begin(), bpb.end(), [](uint8_t b) { return b == 0; });
}

std::optional<ExFatGeometry> ReadExFatGeometry(Bytes s) {
    if (!IsExFatBootSector(s)) {
        return std::nullopt;
    }
    ExFatGeometry g;
    g.VolumeLength = U64(s, exfat_boot::VolumeLength);
    g.FatOffset = U32(s, exfat_boot::FatOffset);
    g.FatLength = U32(s, exfat_boot::FatLength);
    g.ClusterHeapOffset = U32(s, exfat_boot::ClusterHeapOffset);
    g.ClusterCount = U32(s, exfat_boot::ClusterCount);
    g.RootCluster = U32(s, exfat_boot::FirstClusterOfRootDirectory);
    g.SerialNumber = U32(s, exfat_boot::VolumeSerialNumber);
    g.VolumeFlags = U16(s, exfat_boot::VolumeFlags);
    g.BytesPerSectorShift = U8(s, exfat_boot::BytesPerSectorShift);
    g.SectorsPerClusterShift = U8(s, exfat_boot::SectorsPerClusterShift);
    g.NumberOfFats = U8(s, exfat_boot::NumberOfFats);
    const bool sizesValid =
        g.BytesPerSectorShift >= exfat_boot::MinBytesPerSectorShift &&
        g.BytesPerSectorShift <= exfat_boot::MaxBytesPerSectorShift &&
        g.SectorsPerClusterShift <= exfat_boot::MaxClusterShift - g.BytesPerSectorShift;
    // The FAT describes clusters 2 to ClusterCount + 1 in 4 bytes each.
    const uint64_t fatBytesNeeded = (uint64_t{g.ClusterCount} + 2) * 4;
    const bool layoutValid = g.ClusterCount > 0 && g.FatLength > 0 && g.ClusterHeapOffset > 0 &&
                             (g.NumberOfFats == 1 || g.NumberOfFats == 2) &&
                             g.RootCluster >= kExFatFirstCluster &&
                             g.RootCluster <= uint64_t{g.ClusterCount} + 1;
    if (!sizesValid || !layoutValid ||
        fatBytesNeeded > (uint64_t{g.FatLength} << g.BytesPerSectorShift)) {
        return std::nullopt;
    }
    return g;
}

uint32_t ExFatBootChecksum(Bytes region, uint32_t bytesPerSector) {
    const std::size_t bytes = std::min<std::size_t>(
        region.size(), std::size_t{bytesPerSector} * exfat_boot::ChecksummedSectors);
    uint32_t sum = 0;
    for (std::size_t i = 0; i < bytes; ++i) {
        if (i == kSkippedFlags0 || i == kSkippedFlags1 || i == kSkippedPercent) {
            continue;
        }
        sum = RotateAdd32(sum, region[i]);
    }
    return sum;
}

bool ExFatBootRegionChecksumHolds(Bytes region, uint32_t bytesPerSector) {
    const std::size_t checksumSector = std::size_t{bytesPerSector} * exfat_boot::ChecksummedSectors;
    if (!InBounds(region, checksumSector, bytesPerSector) ||
        U16(region, exfat_boot::BootSignature) != kBootSignature) {
        return false;
    }
    const uint32_t sum = ExFatBootChecksum(region, bytesPerSector);
    for (std::size_t at = checksumSector; at < checksumSector + bytesPerSector; at += 4) {
        if (U32(region, at) != sum) {
            return false;
        }
    }
    return true;
}

uint16_t ExFatSetChecksum(Bytes entries) {
    uint16_t sum = 0;
    const auto add = [&sum](uint8_t byte) {
        sum = static_cast<uint16_t>(((sum & 1) != 0 ? 0x8000u : 0u) + (sum >> 1) + byte);
    };
    // The checksum field itself is left out; the loops need no test per byte.
    const std::size_t skipped = std::min(entries.size(), kSetChecksumBytes[0]);
    for (std::size_t i = 0; i < skipped; ++i) {
        add(entries[i]);
    }
    for (std::size_t i = kSetChecksumBytes[1] + 1; i < entries.size(); ++i) {
        add(entries[i]);
    }
    return sum;
}

}  // namespace relicta::volume
