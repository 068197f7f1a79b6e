#pragma once
// Placeholder.

#include <string>
#include <vector>

#include "deep/boot_sector_finder.h"
#include "deep/current_volume.h"
#include "deep/exfat_entry_set_finder.h"
#include "deep/old_volume.h"

namespace relicta::deep {

inline std::vector<OldVolume> RebuildExFatVolumes(const ExFatEntrySetFinder& /*finder*/,
                                 const std::vector<FoundBootSector>& /*boots*/,
                                 const CurrentVolume& /*current*/,
                                 std::vector<std::string>& /*notes*/) {
    return {};
}

}  // namespace relicta::deep
