#pragma once
// The drive list of the drive and scan-options dialog: the drives the scanners can read,
// and the all-hard-drives entry when there is more than one.

#include <string>
#include <vector>

namespace relicta::app {

// Item data of the all-hard-drives entry; a drive's entry carries its letter's code.
inline constexpr int kAllHardDrives = 1;
// The dialog's result when cancelled.
inline constexpr int kDriveDialogCancel = 2;

struct DriveChoice {
    std::string text;
    int itemData = 0;
};

struct DriveChoices {
    std::vector<DriveChoice> entries;
    // Fixed drives left out because this user may not read their device, one line each.
    std::vector<std::string> unreadable;
};

// Removable drives are listed as they are; fixed ones when their file system is "NTFS",
// "FAT32", "FAT" or "exFAT". Drives from C count in the all-drives summary.
DriveChoices ListScanDrives();

}  // namespace relicta::app
