#pragma once
// Placeholder: old MFTs rebuilt into old volumes.

#include <string>
#include <vector>

#include "deep/boot_sector_finder.h"
#include "deep/current_volume.h"
#include "deep/ntfs_record_finder.h"
#include "deep/old_volume.h"

namespace relicta::deep {

inline std::vector<OldVolume> RebuildNtfsVolumes(const NtfsRecordFinder& /*records*/,
                                                 const std::vector<FoundBootSector>& /*boots*/,
                                                 const CurrentVolume& /*current*/,
                                                 std::vector<std::string>& /*notes*/) {
    return {};
}

}  // namespace relicta::deep
