#pragma once
// The deep scan of a drive: the normal scan where a file system is found, then one pass over
// what it does not use (or the whole drive) whose finders give back the files of old
// volumes: formatted ones, ones whose boot sector or partition table is lost.

#include <optional>

#include "platform/platform.h"
#include "scan/file_list.h"
#include "scan/scan_driver.h"

namespace relicta::deep {

// Whether a deep scan also looks for files by their content alone.
enum class Carving : bool { Off, On };

class DeepCheckpoint;

// Scans drive `root` ("X:\") deeply, carving too; what is found joins the found-file table and
// `listCtrl`.
void ScanOneDriveDeep(scan::ScanSettings& settings, scan::FileListControl& listCtrl,
                      const char* root);

// RunScan with every drive scanned deeply, those of no known file system too. With
// `checkpoint`, each pass saves where it stands there, and goes on where a checkpoint it
// resumed from stood.
void RunDeepScan(scan::ScanSettings& settings, scan::FileListControl& listCtrl,
                 Carving carving = Carving::On, DeepCheckpoint* checkpoint = nullptr);

// Opens drive `letter` for a deep scan's reads: as its file system when the platform names
// one it knows, else raw (no geometry: only byte offsets are read). nullopt or an invalid
// handle, after telling the user, when it cannot be opened.
std::optional<platform::Handle> OpenDrive(char letter);

// Opens drive `letter` to read its found files: as OpenDrive does when a deep scan found any
// of them, else as the normal scan opens it.
std::optional<platform::Handle> OpenDriveOfFoundFiles(char letter);

}  // namespace relicta::deep
