#pragma once
// Old exFAT directory entry sets anywhere on the drive, deleted or not: a File entry, its
// Stream Extension and its File Name entries whose set checksum matches, kept compactly. The
// old volume's geometry is not known here: the rebuild infers it.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "deep/finder.h"
#include "deep/raw_pieces.h"

namespace relicta::deep {

struct FoundExFatSet {
    std::string name;    // UTF-8
    int64_t offset = 0;  // of its File entry on the drive
    uint64_t dataLength = 0;
    uint64_t validDataLength = 0;
    uint64_t modifiedTime = 0;      // local FILETIME
    uint32_t createdTimestamp = 0;  // DOS date (high half) and time (low half), local; 0: none
    uint32_t accessedTimestamp = 0;
    uint32_t firstCluster = 0;  // 0 when no clusters were given to it
    uint16_t attributes = 0;
    int16_t utcOffsetMinutes = 0;
    bool hasUtcOffset = false;
    bool noFatChain = false;
    bool deleted = false;
    uint8_t entries = 0;         // the set's, its File entry included
    bool endsDirectory = false;  // an end-of-directory entry follows it

    bool IsDirectory() const;
};

// The set whose File entry begins `bytes` (found at drive offset `offset`), when it reads
// whole and its checksum matches.
std::optional<FoundExFatSet> ReadFoundExFatSet(std::span<const uint8_t> bytes, int64_t offset);

class ExFatEntrySetFinder final : public Finder {
  public:
    void Feed(const Block& block) override;

    // By offset.
    const std::vector<FoundExFatSet>& Sets() const { return sets_; }
    // Where a root directory's Allocation Bitmap entry, followed by its Up-case Table entry,
    // lies: the root's first cluster holds it.
    const std::vector<int64_t>& RootMarks() const { return rootMarks_; }
    // Entries kept raw where a set runs past the end of a sector and what follows on the
    // drive is not its rest (a directory's next cluster lies elsewhere): the set's beginning
    // (a cut, at its File entry), and the entries that begin a sector before its first File
    // entry when no set read before takes them (a head, at its sector).
    const RawPieces& Cuts() const { return cuts_; }
    const RawPieces& Heads() const { return heads_; }
    // What was found, for a checkpoint; Load reads it back, false (the finder then unusable)
    // when it is not what Feed could have found.
    void Save(CheckpointWriter& out) const;
    bool Load(CheckpointReader& in);

  private:
    // A damaged disk can read as entry sets anywhere; past this many the rest are not kept.
    static constexpr std::size_t kMaxSets = std::size_t{1} << 24;
    static constexpr std::size_t kMaxMarks = 4096;

    // The set at `at`; the entries it takes, or 0.
    std::size_t ReadSet(std::span<const uint8_t> bytes, std::size_t at, int64_t offset);

    std::vector<FoundExFatSet> sets_;
    std::vector<int64_t> rootMarks_;
    RawPieces cuts_;
    RawPieces heads_;
    int64_t readUntil_ = 0;  // where the last set read ends
};

}  // namespace relicta::deep
