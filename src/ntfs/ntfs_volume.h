#pragma once
// Opening and closing the NTFS view of a volume (FAT volumes pass through the same steps).

#include <cstdint>
#include <optional>
#include <string>

#include "ntfs/mft_record.h"
#include "platform/platform.h"

namespace relicta::ntfs {

// A volume is open for an operation; a second open is refused.
extern bool DefragInProgress;
// The MFT's data size in bytes, its clusters and its records.
extern int64_t mftsize;
extern int64_t mftClusters;
// The root directory record, held while the volume is open.
extern MftRecordPtr rootDirectoryRecord;
// The volume label from $VOLUME_NAME, as UTF-8.
extern std::string VolumeLabel;

// Records the MFT holds (record numbers are 32-bit).
int64_t MftRecordCount();

// The volume handle, -1 on failure, or nullopt when an operation is already running.
std::optional<platform::Handle> OpenNtfsVolume(char letter);
platform::Handle OpenVolumeAndCheckMft(char letter);
void CloseNtfsVolume(platform::Handle hFile);
// Closes the volume an operation holds open, if any.
void CloseNtfsVolumeIfOpen();

}  // namespace relicta::ntfs
