#pragma once
// Old FAT volumes rebuilt from the directory clusters the deep scan found: the geometry from
// where their folders lie (or a boot sector, or the current volume, that agrees), folders
// linked through their "." and ".." entries and allocation order, files placed on the drive.

#include <string>
#include <vector>

#include "deep/boot_sector_finder.h"
#include "deep/current_volume.h"
#include "deep/fat_directory_finder.h"
#include "deep/old_volume.h"

namespace relicta::deep {

std::vector<OldVolume> RebuildFatVolumes(const FatDirectoryFinder& finder,
                                         const std::vector<FoundBootSector>& boots,
                                         const CurrentVolume& current,
                                         std::vector<std::string>& notes);

}  // namespace relicta::deep
