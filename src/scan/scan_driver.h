#pragma once
// One complete scan: one drive, or every fixed and removable drive holding NTFS or FAT.

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

void RunScan(ScanSettings& settings, FileListControl& listCtrl);
// Drives the last scan could open.
int OpenedDrives();
void ScanOneDrive(ScanSettings& settings, FileListControl& listCtrl, const char* root);

// Compiles the pattern before a scan; "Regcomp failed" when it does not compile.
void CompileScanPattern(ScanSettings& settings);

}  // namespace relicta::scan
