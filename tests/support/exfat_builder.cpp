#include "support/exfat_builder.h"

#include <algorithm>

#include "volume/exfat_boot.h"

namespace relicta::test {
namespace {

constexpr uint32_t kVolumeSectors = ExFatImage::kHeapSector + ExFatImage::kClusterCount;
constexpr uint32_t kBootRegionSectors = 12;
constexpr uint32_t kFatSectors = 32;

void Put(std::vector<uint8_t>& b, std::size_t at, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        b[at + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void WriteBootRegion(std::vector<uint8_t>& b, uint32_t firstSector) {
    const std::size_t at = std::size_t{firstSector} * ExFatImage::kSectorBytes;
    b[at] = 0xEB;
    b[at + 1] = 0x76;
    b[at + 2] = 0x90;
    std::copy_n("EXFAT   ", 8, b.begin() + static_cast<std::ptrdiff_t>(at + 3));
    Put(b, at + 0x48, kVolumeSectors, 8);
    Put(b, at + 0x50, ExFatImage::kFatSector, 4);
    Put(b, at + 0x54, kFatSectors, 4);
    Put(b, at + 0x58, ExFatImage::kHeapSector, 4);
    Put(b, at + 0x5C, ExFatImage::kClusterCount, 4);
    Put(b, at + 0x60, ExFatImage::kRootCluster, 4);
    Put(b, at + 0x64, 0x12345678, 4);
    Put(b, at + 0x68, 0x0100, 2);
    b[at + 0x6C] = 9;  // 512-byte sectors
    b[at + 0x6D] = 0;  // one sector a cluster
    b[at + 0x6E] = 1;
    Put(b, at + 0x1FE, 0xAA55, 2);
    const bytes::Bytes region(b.data() + at, std::size_t{11} * ExFatImage::kSectorBytes);
    const uint32_t sum = volume::ExFatBootChecksum(region, ExFatImage::kSectorBytes);
    for (std::size_t i = 0; i < ExFatImage::kSectorBytes; i += 4) {
        Put(b, at + 11 * ExFatImage::kSectorBytes + i, sum, 4);
    }
}

}  // namespace

std::vector<uint8_t> ExFatSetBytes(const ExFatEntrySet& set) {
    const std::size_t names = (set.name.size() + 14) / 15;
    std::vector<uint8_t> b(32 * (2 + names));
    b[0] = 0x85;
    b[1] = static_cast<uint8_t>(1 + names);
    Put(b, 4, set.attributes, 2);
    Put(b, 8, set.modified, 4);
    Put(b, 12, set.modified, 4);
    Put(b, 16, set.modified, 4);
    b[0x17] = set.utcOffset;
    b[32] = 0xC0;
    b[33] = static_cast<uint8_t>(0x01 | (set.noFatChain ? 0x02 : 0));
    b[35] = static_cast<uint8_t>(set.name.size());
    Put(b, 40, set.validDataLength == UINT64_MAX ? set.dataLength : set.validDataLength, 8);
    Put(b, 52, set.firstCluster, 4);
    Put(b, 56, set.dataLength, 8);
    for (std::size_t i = 0; i < set.name.size(); ++i) {
        const std::size_t entry = 64 + 32 * (i / 15);
        b[entry] = 0xC1;
        Put(b, entry + 2 + 2 * (i % 15), set.name[i], 2);
    }
    Put(b, 2, volume::ExFatSetChecksum(b), 2);
    if (set.deleted) {
        for (std::size_t e = 0; e < b.size(); e += 32) {
            b[e] &= 0x7F;
        }
    }
    return b;
}

ExFatImage::ExFatImage() : bytes(std::size_t{kVolumeSectors} * kSectorBytes) {
    WriteBootRegion(bytes, 0);
    WriteBootRegion(bytes, kBootRegionSectors);
    SetFat(0, 0xFFFFFFF8);
    SetFat(1, 0xFFFFFFFF);
    SetFat(kBitmapCluster, 0xFFFFFFFF);
    SetInUse(kBitmapCluster, true);
    for (uint32_t c = kRootCluster; c < kRootCluster + kRootClusters; ++c) {
        SetFat(c, c + 1 < kRootCluster + kRootClusters ? c + 1 : 0xFFFFFFFF);
        SetInUse(c, true);
    }
    const std::size_t root = ClusterOffset(kRootCluster);
    bytes[root] = 0x81;
    Put(bytes, root + 0x14, kBitmapCluster, 4);
    Put(bytes, root + 0x18, (kClusterCount + 7) / 8, 8);
}

std::size_t ExFatImage::ClusterOffset(uint32_t cluster) const {
    return (std::size_t{kHeapSector} + cluster - 2) * kSectorBytes;
}

std::size_t ExFatImage::PutSet(uint32_t cluster, std::size_t index, const ExFatEntrySet& set) {
    const std::vector<uint8_t> entries = ExFatSetBytes(set);
    std::copy(entries.begin(), entries.end(),
              bytes.begin() + static_cast<std::ptrdiff_t>(ClusterOffset(cluster) + 32 * index));
    return index + entries.size() / 32;
}

void ExFatImage::SetFat(uint32_t cluster, uint32_t value) {
    Put(bytes, std::size_t{kFatSector} * kSectorBytes + 4 * std::size_t{cluster}, value, 4);
}

void ExFatImage::SetInUse(uint32_t cluster, bool inUse) {
    const std::size_t bit = cluster - 2;
    uint8_t& byte = bytes[ClusterOffset(kBitmapCluster) + bit / 8];
    byte = static_cast<uint8_t>(inUse ? byte | (1u << (bit % 8)) : byte & ~(1u << (bit % 8)));
}

}  // namespace relicta::test
