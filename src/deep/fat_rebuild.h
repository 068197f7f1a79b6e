#pragma once
// Placeholder.

#include <string>
#include <vector>

#include "deep/boot_sector_finder.h"
#include "deep/current_volume.h"
#include "deep/fat_directory_finder.h"
#include "deep/old_volume.h"

namespace relicta::deep {

inline std::vector<OldVolume> RebuildFatVolumes(const FatDirectoryFinder& /*finder*/,
                                 const std::vector<FoundBootSector>& /*boots*/,
                                 const CurrentVolume& /*current*/,
                                 std::vector<std::string>& /*notes*/) {
    return {};
}

}  // namespace relicta::deep
