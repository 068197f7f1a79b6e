#pragma once
// What the deep scan does with its finders' findings, for the fuzz targets that make them:
// old volumes rebuilt from them, and their files listed.

#include <iterator>
#include <string>
#include <vector>

#include "deep/boot_sector_finder.h"
#include "deep/current_volume.h"
#include "deep/exfat_entry_set_finder.h"
#include "deep/exfat_rebuild.h"
#include "deep/fat_directory_finder.h"
#include "deep/fat_rebuild.h"
#include "deep/ntfs_rebuild.h"
#include "deep/ntfs_record_finder.h"
#include "deep/old_volume.h"
#include "scan/filters.h"
#include "scan/scan_context.h"
#include "view/found_file_list.h"

namespace relicta::fuzz {

inline void RebuildAndList(const deep::BootSectorFinder& boots,
                           const deep::NtfsRecordFinder& records,
                           const deep::FatDirectoryFinder& fatDirectories,
                           const deep::ExFatEntrySetFinder& exFatSets,
                           const deep::CurrentVolume& current) {
    std::vector<std::string> notes;
    std::vector<deep::OldVolume> volumes =
        deep::RebuildNtfsVolumes(records, boots.Found(), current, notes);
    const auto append = [&volumes](std::vector<deep::OldVolume> more) {
        std::move(more.begin(), more.end(), std::back_inserter(volumes));
    };
    append(deep::RebuildFatVolumes(fatDirectories, boots.Found(), current, notes));
    append(deep::RebuildExFatVolumes(exFatSets, boots.Found(), current, notes));
    view::MemoryFileList list;
    const scan::CompiledPattern pattern("*");
    scan::ScanContext context{list, scan::ScanFilters{"*", &pattern, false}};
    deep::AddOldVolumeFiles(context, volumes, 'C', 0);
}

}  // namespace relicta::fuzz
