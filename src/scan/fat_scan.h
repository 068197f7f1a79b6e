#pragma once
// The FAT deleted-file scan: the whole directory tree, live and deleted directories alike.

#include <cstdint>
#include <span>
#include <string>

#include "scan/scan_context.h"

namespace relicta::scan {

void ScanFatVolume(ScanContext& context);

// One directory's slots, then its subdirectories. `path` is "X:\" for the root, else
// "X:\DIR\SUB" without a trailing backslash.
void WalkFatDirectory(ScanContext& context, std::span<const uint8_t> directory,
                      const std::string& path, bool InDeletedDirectory);

// The long name whose slots stand in front of slot `index` of `dir`, in UTF-8.
std::string LongName(std::span<const uint8_t> dir, std::size_t index);

// A short entry's 8.3 name in UTF-8; a deleted one's lost first letter is "?".
std::string ShortName(std::span<const uint8_t> entry);

// A short entry's times as local FILETIMEs; 0 where the entry keeps none.
struct EntryTimes {
    uint64_t modified = 0;
    uint64_t created = 0;
    uint64_t accessed = 0;
};
EntryTimes ReadEntryTimes(std::span<const uint8_t> entry);

}  // namespace relicta::scan
