#pragma once
// Original names from the Recycle Bin. Windows keeps a recycled file as $R<6>.<ext> (its data)
// beside $I<6>.<ext> (its original path and when it was deleted); once the bin is emptied
// both are deleted files. A scan hands the bin's $I files here, and the pairs are listed
// under the original path.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "scan/found_files.h"

namespace relicta::scan {

// What a $I file says.
struct RecycleInfo {
    std::string originalPath;  // "X:\dir\name", UTF-8
    uint64_t deletedTime = 0;  // FILETIME, UTC
};

// Reads a $I file of version 1 or 2; nullopt unless it checks out (version, a path length
// within the file, a path of the form X:\...).
std::optional<RecycleInfo> ParseRecycleInfo(std::span<const uint8_t> data);

// The most of a $I file worth reading: version 2 with the longest path Windows writes.
inline constexpr std::size_t kMaxRecycleInfoBytes = std::size_t{64} * 1024;

class RecycleBin {
  public:
    // Whether a deleted file `name` in `dir` is a $I file of a Recycle Bin folder
    // ("X:\$Recycle.Bin\<SID>"; on FAT the bin folder may have lost its first letter).
    static bool IsInfoFile(std::string_view dir, std::string_view name);

    // Keeps a $I file whose data read as `info` until the scan of its drive ends; it is
    // listed then only when no $R file pairs with it and the scan's filters `accepted` it.
    void HoldInfo(FoundFile file, RecycleInfo info, bool accepted);

    // Renames the found files from `firstItem` on that pair with a held $I file (a recycled
    // file, or a file in a recycled folder), and lists the $I files left unpaired.
    void Apply(FileListControl& listCtrl, std::size_t firstItem);

  private:
    struct Held {
        FoundFile file;
        RecycleInfo info;
        std::string key;  // the name after "$I", upper case
        bool accepted = true;
        bool paired = false;
    };
    Held* Partner(const std::string& binFolder, const std::string& recycledName);

    std::vector<Held> held_;
};

}  // namespace relicta::scan
