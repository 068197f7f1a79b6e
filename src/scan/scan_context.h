#pragma once
// What one scan hands its scanners: the list to fill and the filters to apply.

#include <cstdint>
#include <stdexcept>
#include <string>

#include "scan/directory_path_cache.h"
#include "scan/file_list.h"
#include "scan/filters.h"

namespace relicta::scan {

struct ScanContext {
    FileListControl& listCtrl;
    ScanFilters filters;
    DirectoryPathCache directoryPaths = {};
};

// A failure that ends the scan of one drive (the scan driver reports it).
class ScanError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace relicta::scan
