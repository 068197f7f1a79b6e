#pragma once
// What one scan hands its scanners: the list to fill and the filters to apply.

#include <cstdint>
#include <stdexcept>
#include <string>

#include "scan/directory_path_cache.h"
#include "scan/file_list.h"
#include "scan/filters.h"
#include "scan/recycle_bin.h"

namespace relicta::scan {

struct ScanContext {
    FileListControl& listCtrl;
    ScanFilters filters;
    DirectoryPathCache directoryPaths = {};
    RecycleBin recycleBin = {};
};

// The path of directory `name` inside `path` as the FAT and exFAT walks write it: the root
// is "X:\", any other directory has no trailing backslash.
inline std::string ChildPath(const std::string& path, const std::string& name) {
    return path.ends_with('\\') ? path + name : path + '\\' + name;
}

// A failure that ends the scan of one drive (the scan driver reports it).
class ScanError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace relicta::scan
