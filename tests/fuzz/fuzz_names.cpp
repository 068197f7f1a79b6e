// The readers of names from deleted folders and the Recycle Bin, over arbitrary bytes: a $I
// file, and a cluster offered as a deleted folder's next one.
#include <cstddef>
#include <cstdint>
#include <span>

#include "scan/fat_entries.h"
#include "scan/recycle_bin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    if (const auto info = relicta::scan::ParseRecycleInfo(bytes)) {
        if (info->originalPath.size() < 4 || info->originalPath[1] != ':') {
            __builtin_trap();
        }
    }
    const relicta::scan::EntryLimits limits{size % 2 == 0, 65536, uint64_t{1} << 32};
    const relicta::scan::EntriesCheck check = relicta::scan::CheckDirectoryEntries(bytes, limits);
    if (check.readsAsEntries && (check.shortEntries == 0 || check.firstDataCluster > 65536)) {
        __builtin_trap();
    }
    relicta::scan::MayBeginDirectoryCluster(bytes, limits);
    return 0;
}
