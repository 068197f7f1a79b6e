#pragma once
// A small exFAT volume in memory: 512-byte sectors and clusters, a checksummed boot
// region and its backup, one FAT, the allocation bitmap in cluster 2 and the root
// directory in clusters 4 to 7, holding the bitmap's entry; entry sets written one by one.

#include <cstdint>
#include <string>
#include <vector>

namespace relicta::test {

struct ExFatEntrySet {
    std::u16string name = u"file.txt";
    uint16_t attributes = 0x20;
    uint32_t firstCluster = 0;
    uint64_t dataLength = 0;
    uint64_t validDataLength = UINT64_MAX;  // the data length unless set
    bool noFatChain = true;
    bool deleted = true;
    uint32_t modified = (42u << 25) | (1u << 21) | (2u << 16) | (3u << 11) | (4u << 5) | 3;
    uint8_t utcOffset = 0;
};

// The set's entries, with the checksum a driver writes (before a deletion clears the
// in-use bits).
std::vector<uint8_t> ExFatSetBytes(const ExFatEntrySet& set);

class ExFatImage {
  public:
    static constexpr uint32_t kSectorBytes = 512;
    static constexpr uint32_t kFatSector = 24;
    static constexpr uint32_t kHeapSector = 64;
    static constexpr uint32_t kClusterCount = 1984;
    static constexpr uint32_t kBitmapCluster = 2;
    static constexpr uint32_t kRootCluster = 4;  // and the 3 after it, a chain
    static constexpr uint32_t kRootClusters = 4;

    ExFatImage();

    std::size_t ClusterOffset(uint32_t cluster) const;
    // Writes `set` at entry `index` of directory cluster `cluster`; returns the next index.
    std::size_t PutSet(uint32_t cluster, std::size_t index, const ExFatEntrySet& set);
    void SetFat(uint32_t cluster, uint32_t value);
    void SetInUse(uint32_t cluster, bool inUse);

    std::vector<uint8_t> bytes;
};

}  // namespace relicta::test
