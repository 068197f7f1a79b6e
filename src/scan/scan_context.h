#pragma once
// What one scan hands its scanners: the list to fill and the filters to apply.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "scan/file_list.h"
#include "scan/filters.h"

namespace relicta::scan {

// Full paths of the directories a scan has already walked up to the root, by record
// number and sequence number.
using DirectoryPathCache = std::unordered_map<uint64_t, std::string>;

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
