#pragma once
// The found-file table: every deleted file the current scan accepted, in the order found.

#include <cstdint>
#include <string>
#include <vector>

#include "scan/file_list.h"

namespace relicta::scan {

inline constexpr const char* kExcellent = "Excellent";
inline constexpr const char* kGood = "Good";
inline constexpr const char* kPoor = "Poor";
inline constexpr const char* kHopeless = "Hopeless";

// Attribute bits of found files.
inline constexpr uint32_t kAttributeReadOnly = 0x01;
inline constexpr uint32_t kAttributeHidden = 0x02;
inline constexpr uint32_t kAttributeSystem = 0x04;
inline constexpr uint32_t kAttributeDirectory = 0x10;
inline constexpr uint32_t kAttributeArchive = 0x20;
inline constexpr uint32_t kAttributeReparsePoint = 0x400;

// One entry; sizes are 64-bit (files of 2 GiB and more are kept whole).
struct FoundFile {
    std::string name;
    std::string dir;
    int64_t size = 0;
    uint32_t attributes = 0;
    uint64_t modifiedTime = 0;  // FILETIME, already local time
    std::string condition;
    uint32_t mftOrCluster = 0;
};

// The table, indexed by itemNum.
extern std::vector<FoundFile> foundFiles;

void AddFoundFile(FileListControl& listCtrl, std::string name, std::string dir, int64_t size,
                  uint32_t attributes, uint64_t modifiedTime, std::string condition,
                  uint32_t mftOrCluster);
void ClearFoundFiles();
// Makes room for `more` entries at once: a scan that knows how many candidates it will look
// at spares the table its copies while growing.
void ReserveFoundFiles(std::size_t more);

// The text a list shows in `column` (view::kColumnName to view::kColumnNumber) for `file`.
std::string CellText(const FoundFile& file, int column);

}  // namespace relicta::scan
