#pragma once
// What the finders rebuild of old file systems: files and folders with the links between
// them, turned into found files with their paths by one routine for every kind.

#include <cstdint>
#include <string>
#include <vector>

#include "scan/found_files.h"
#include "scan/scan_context.h"

namespace relicta::deep {

inline constexpr uint64_t kNoParent = UINT64_MAX;
// A key's low 48 bits are its number (an MFT record number, a folder's first cluster); the
// bits above may tell reuses apart (an NTFS sequence number).
inline constexpr uint64_t kKeyNumberMask = (uint64_t{1} << 48) - 1;

// Names made up for what the old volume no longer names. A '$' and a number: no FAT or
// exFAT name the finders accept, and no NTFS name outside the system files, looks like it.
inline constexpr const char* kMadeUpFolderPrefix = "$Folder";  // + key number
inline constexpr const char* kLostFilesFolder = "$LostFiles";  // no folder known at all
inline constexpr const char* kMadeUpVolumePrefix = "$Volume";  // + start sector

// One file or folder of an old volume.
struct OldEntry {
    std::string name;  // UTF-8
    // A folder's identity within its volume (an NTFS record number with its sequence number
    // above kKeyNumberMask; a FAT or exFAT folder's first cluster); unused for a file.
    uint64_t key = 0;
    uint64_t parentKey = kNoParent;  // its folder's key; kNoParent when none is known
    bool isFolder = false;
    // Size, attributes, times, condition, mftOrCluster, layout, valid length, found-by and the
    // deep location of a file; its name and dir are set when it is listed.
    scan::FoundFile file;
};

struct OldVolume {
    const char* kind = "";  // "NTFS", "FAT12", "FAT16", "FAT32", "exFAT"
    int64_t start = 0;      // byte offset on the drive
    uint32_t clusterBytes = 0;
    bool geometryInferred = false;  // from where its structures lie, not from a boot sector
    uint64_t rootKey = kNoParent;   // the root folder's key, when known
    std::vector<OldEntry> entries;
};

// How many folders deep a path is followed before the rest is taken for a loop.
inline constexpr int kMaxFolderDepth = 256;

// Lists the files of `volumes` found on `drive`: each under its folders' names up to its
// volume's root; below a made-up "$Folder<n>" at the top where a folder's own entry is gone;
// under "$LostFiles" where no folder is known. A folder is written as the normal scan of its
// kind writes it: with a trailing backslash on NTFS, without on FAT and exFAT. With more than one
// volume holding files, each volume's files go below "$Volume<start sector>". A file the list holds
// already (the same name, size and record or first cluster, from `firstItem` on) is not listed
// twice; the scan's filters apply. Returns the number of files listed.
std::size_t AddOldVolumeFiles(scan::ScanContext& context, std::vector<OldVolume>& volumes,
                              char drive, std::size_t firstItem);

}  // namespace relicta::deep
