#pragma once
// exFAT directory entry sets: a File entry, its Stream Extension and its File Name entries,
// read from a directory's bytes, deleted or not.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "bytes/le_bytes.h"

namespace relicta::scan {

struct ExFatFileSet {
    std::size_t entries = 0;  // entries the set takes, its File entry included
    bool deleted = false;     // the File entry's in-use bit is clear
    bool checksumMatches = false;
    uint16_t attributes = 0;
    uint32_t modifiedTimestamp = 0;  // DOS date (high half) and time (low half), local
    uint32_t createdTimestamp = 0;
    uint32_t accessedTimestamp = 0;
    uint8_t modified10ms = 0;
    uint8_t modifiedUtcOffset = 0;
    uint8_t streamFlags = 0;
    uint32_t firstCluster = 0;
    uint64_t validDataLength = 0;
    uint64_t dataLength = 0;
    std::string name;  // UTF-8

    bool IsDirectory() const;
    bool NoFatChain() const;
    // Whether clusters were ever given to the stream.
    bool HasClusters() const;
    // The modification time as a local FILETIME, with its hundredths of a second.
    uint64_t ModifiedFileTime() const;
    // Minutes east of UTC of the modification time, when the entry recorded them.
    std::optional<int16_t> UtcOffsetMinutes() const;
};

// The set whose File entry is entry `index` of `dir`; nullopt when its stream or name does
// not read sanely (no stream entry next, a name length of 0, name entries missing or cut
// off, characters no exFAT name may hold, a valid length past the data length). A secondary
// count that disagrees only fails the checksum: the set is still read by what it holds.
std::optional<ExFatFileSet> ParseExFatFileSet(bytes::Bytes dir, std::size_t index);

// Whether an entry type byte is one a directory can hold, in use or not.
bool IsKnownExFatEntryType(uint8_t type);

}  // namespace relicta::scan
