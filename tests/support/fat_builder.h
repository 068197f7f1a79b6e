#pragma once
// A small FAT16 volume in memory: 2048-byte clusters, a FAT, a root directory of 512
// entries and directory entries written slot by slot.

#include <cstdint>
#include <string>
#include <vector>

namespace relicta::test {

struct DirEntry {
    std::string name83 = "FILE    TXT";  // 11 bytes, blank padded
    uint8_t attributes = 0x20;
    uint32_t cluster = 0;
    uint32_t size = 0;
    uint16_t date = (42 << 9) | (1 << 5) | 2;  // 2022-01-02
    uint16_t time = (3 << 11) | (4 << 5) | 3;  // 03:04:06
    uint8_t caseFlags = 0;
    bool deleted = false;
};

class FatImage {
  public:
    static constexpr uint32_t kClusterBytes = 2048;
    static constexpr uint32_t kRootSector = 129;
    static constexpr uint32_t kDataSector = 161;

    FatImage();

    // Slot writers; `where` is a root slot index or a cluster with a slot index.
    void RootEntry(std::size_t slot, const DirEntry& entry);
    void ClusterEntry(uint32_t cluster, std::size_t slot, const DirEntry& entry);
    // The long-name slots of `name` (deleted ones when `deleted`) ending just before `slot`.
    void LongName(uint32_t cluster, std::size_t slot, const std::u16string& name, bool deleted);
    void RawSlot(uint32_t cluster, std::size_t slot, const std::vector<uint8_t>& bytes);
    // "." and ".." of a directory at `cluster` whose parent is `parent`.
    void DirectoryHeader(uint32_t cluster, uint32_t parent);
    void SetFat(uint32_t cluster, uint16_t value);

    std::size_t SlotOffset(uint32_t cluster, std::size_t slot) const;  // cluster 0: root
    std::vector<uint8_t> bytes;
};

std::vector<uint8_t> EntryBytes(const DirEntry& e);

// A file's slot, deleted unless said otherwise.
DirEntry File(const char* name83, uint32_t cluster, uint32_t size, bool deleted = true);

}  // namespace relicta::test
