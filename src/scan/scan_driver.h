#pragma once
// One complete scan: one drive, or every fixed and removable drive holding NTFS or FAT.

#include <functional>
#include <string>

#include "scan/file_list.h"
#include "scan/filters.h"

namespace relicta::scan {

struct ScanSettings {
    std::string scanDrive;  // "" for all drives, else a root such as "D:\"
    std::string filePattern = "*";
    CompiledPattern compiledPattern;
    bool skipTempFiles = false;
};

// The root of the drive being scanned or recovered from.
extern char CurrentDriveRoot[4];

// Scans one drive, given its root ("X:\").
using DriveScanner =
    std::function<void(ScanSettings& settings, FileListControl& listCtrl, const char* root)>;

// Scans the settings' drive, or every fixed and removable drive whose file system is scanned
// (with `anyFileSystem`, those of no known file system too), each with `scanOne`.
void RunScan(ScanSettings& settings, FileListControl& listCtrl);
void RunScan(ScanSettings& settings, FileListControl& listCtrl, DriveScanner scanOne,
             bool anyFileSystem);
// Whether the scans read a file system of this name ("NTFS", "FAT32", "FAT", "exFAT").
bool IsScannedFileSystem(const std::string& name);
// Drives the last scan could open.
int OpenedDrives();
// Counts a drive a scanner other than ScanOneDrive opened.
void NoteOpenedDrive();
// Drives of the last scan where sectors could not be read: what it lists of them is partial.
int PartialDrives();
// Reports the open volume's unreadable sectors, if any, and counts the drive as partial.
void ReportUnreadableSectorsOfDrive();
void ScanOneDrive(ScanSettings& settings, FileListControl& listCtrl, const char* root);

// Compiles the pattern before a scan; "Regcomp failed" when it does not compile.
void CompileScanPattern(ScanSettings& settings);

}  // namespace relicta::scan
