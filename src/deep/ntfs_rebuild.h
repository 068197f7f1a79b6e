#pragma once
// Old MFTs rebuilt from the FILE records found anywhere on the drive: the records of one MFT
// lie at its start plus their number times the record size; each old MFT found, with its
// volume's geometry, is one old volume.

#include <string>
#include <vector>

#include "deep/boot_sector_finder.h"
#include "deep/current_volume.h"
#include "deep/ntfs_record_finder.h"
#include "deep/old_volume.h"

namespace relicta::deep {

// The old NTFS volumes `records` belong to, their files and folders linked by the records'
// parent references. Where no boot sector of `boots` gives a volume's geometry it is inferred
// from its records (or from `current`'s when the old MFT lies where the current one does),
// and `notes` says so.
std::vector<OldVolume> RebuildNtfsVolumes(const NtfsRecordFinder& records,
                                          const std::vector<FoundBootSector>& boots,
                                          const CurrentVolume& current,
                                          std::vector<std::string>& notes);

}  // namespace relicta::deep
