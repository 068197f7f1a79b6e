#pragma once
// Tells a cluster of FAT directory entries from other data, so that a deleted folder's
// later clusters are taken only when they read as entries throughout.

#include <cstddef>
#include <cstdint>
#include <span>

namespace relicta::scan {

// The checksum a long name's slots carry of their short entry's 11 name bytes.
uint8_t ShortNameChecksum(std::span<const uint8_t> entry);

// The first name byte that gives a deleted short entry (whose first byte now marks it
// deleted) the long-name checksum `checksum`: exactly one does.
uint8_t LostFirstByte(std::span<const uint8_t> entry, uint8_t checksum);

// Whether a long name with `checksum` belongs to `entry`; a deleted entry's lost first byte
// must then have been one a short name may begin with.
bool LongNameChecksumMatches(std::span<const uint8_t> entry, uint8_t checksum);

struct EntryLimits {
    bool fat32 = false;
    int64_t lastCluster = 0;
    uint64_t volumeBytes = 0;
};

struct EntriesCheck {
    bool readsAsEntries = false;
    std::size_t shortEntries = 0;
    int64_t firstDataCluster = 0;  // of the first short entry with a first cluster; 0: none
};

// Whether `slot` may be the first of a directory's later cluster: a long-name slot or a short
// entry that reads as one.
bool MayBeginDirectoryCluster(std::span<const uint8_t> slot, const EntryLimits& limits);

// Whether `cluster` holds only what a directory's later cluster may hold: short entries with
// valid names, attributes, times, first clusters and sizes, long-name slots whose checksum
// matches their short entry, no "." or ".." and no volume label; up to an end-of-directory
// entry, and at least one short entry before it.
EntriesCheck CheckDirectoryEntries(std::span<const uint8_t> cluster, const EntryLimits& limits);

}  // namespace relicta::scan
