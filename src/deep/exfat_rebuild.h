#pragma once
// Old exFAT volumes rebuilt from the entry sets the deep scan found: the geometry from where
// folders' entries point (or a boot sector, or the current volume, that agrees), folders
// linked through their first clusters, files placed on the drive.

#include <string>
#include <vector>

#include "deep/boot_sector_finder.h"
#include "deep/current_volume.h"
#include "deep/exfat_entry_set_finder.h"
#include "deep/old_volume.h"

namespace relicta::deep {

std::vector<OldVolume> RebuildExFatVolumes(const ExFatEntrySetFinder& finder,
                                           const std::vector<FoundBootSector>& boots,
                                           const CurrentVolume& current,
                                           std::vector<std::string>& notes);

}  // namespace relicta::deep
