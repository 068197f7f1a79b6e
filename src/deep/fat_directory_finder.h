#pragma once
// Old FAT directories anywhere on the drive: the "." and ".." entries that begin a folder's
// first cluster, and every sector that reads as directory entries, kept as compact entries
// with their names. The old volume's geometry is not known here: the rebuild infers it.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "deep/finder.h"
#include "deep/raw_pieces.h"

namespace relicta::deep {

// A folder's first sector: its "." entry names its own cluster, its ".." entry its parent's
// first cluster (0: the root).
struct FoundFatFolder {
    int64_t offset = 0;
    uint32_t cluster = 0;
    uint32_t parentCluster = 0;
};

// One short entry (neither "." nor ".." nor a volume label) with the name its slots give it.
struct FoundFatEntry {
    std::string name;  // UTF-8: the long name where its slots are whole and match, else 8.3
    uint64_t modifiedTime = 0;  // local FILETIMEs; 0 where the entry keeps none
    uint64_t createdTime = 0;
    uint64_t accessedTime = 0;
    uint32_t size = 0;
    uint32_t firstCluster = 0;
    uint8_t attributes = 0;
    bool deleted = false;

    bool IsDirectory() const;
};

// A sector that reads as directory entries; its entries are Entries()[firstEntry, + entries).
struct FoundFatSector {
    enum Flag : uint8_t {
        kBeginsFolder = 1,  // "." and ".." first
        kBeginsRoot = 2,    // a volume label first
        kEnds = 4,          // an end-of-directory slot: its folder's entries end here
        kNameHead = 8,      // its first entry's long name may begin in the sector before
        kNameTail = 16,     // ends in long-name slots of an entry the next sector holds
    };
    int64_t offset = 0;
    uint32_t firstEntry = 0;
    uint8_t entries = 0;
    uint8_t flags = 0;

    bool Has(Flag flag) const { return (flags & flag) != 0; }
};

class FatDirectoryFinder final : public Finder {
  public:
    void Feed(const Block& block) override;

    const std::vector<FoundFatFolder>& Folders() const { return folders_; }
    const std::vector<FoundFatSector>& Sectors() const { return sectors_; }
    const std::vector<FoundFatEntry>& Entries() const { return entries_; }
    // Slots kept raw to join a long name split between two sectors: the long-name slots
    // that end a sector (its tail), and a sector's slots up to its first short entry when
    // that entry's name may begin in the sector before (its head); each at its sector.
    const RawPieces& Heads() const { return heads_; }
    const RawPieces& Tails() const { return tails_; }
    // What was found, for a checkpoint; Load reads it back, false (the finder then unusable)
    // when it is not what Feed could have found.
    void Save(CheckpointWriter& out) const;
    bool Load(CheckpointReader& in);

  private:
    // A damaged disk can read as entries anywhere; past this many the rest are not kept.
    static constexpr std::size_t kMaxEntries = std::size_t{1} << 24;
    static constexpr std::size_t kMaxSectors = std::size_t{1} << 23;

    void ReadSector(std::span<const uint8_t> sector, int64_t offset);

    std::vector<FoundFatFolder> folders_;
    std::vector<FoundFatSector> sectors_;
    std::vector<FoundFatEntry> entries_;
    RawPieces heads_;
    RawPieces tails_;
};

// The long name the slots in front of the short entry at slot `index` of `slots` spell, when
// they are whole (they begin with the slot that ends the name, or follow another entry) and
// their checksum is the entry's.
std::optional<std::string> WholeLongName(std::span<const uint8_t> slots, std::size_t index);

}  // namespace relicta::deep
