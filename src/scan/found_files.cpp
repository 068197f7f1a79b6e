#include "scan/found_files.h"

#include "view/list_texts.h"

namespace relicta::scan {

std::vector<FoundFile> foundFiles;

namespace {
constexpr std::size_t kGrowthStep = 1000;
}

void AddFoundFile(FileListControl& listCtrl, const std::string& name, const std::string& dir,
                  int64_t size, uint32_t attributes, uint64_t modifiedTime,
                  const std::string& condition, uint32_t mftOrCluster) {
    const uint32_t itemNum = static_cast<uint32_t>(foundFiles.size());
    // The table grows by doubling: growing by a fixed step copied it whole every step.
    foundFiles.push_back(
        FoundFile{name, dir, size, attributes, modifiedTime, condition, mftOrCluster});
    const FoundFile& entry = foundFiles.back();
    const int row = listCtrl.AppendRow(entry.name);
    listCtrl.SetCell(row, view::kColumnDirectory, entry.dir);
    listCtrl.SetCell(row, view::kColumnSize, view::SizeText(entry.size));
    listCtrl.SetCell(row, view::kColumnModified, view::DateText(entry.modifiedTime));
    listCtrl.SetCell(row, view::kColumnCondition, entry.condition);
    listCtrl.SetCell(row, view::kColumnNumber, std::to_string(entry.mftOrCluster));
    listCtrl.SetItemData(row, itemNum);
}

void ClearFoundFiles() {
    foundFiles.clear();
    foundFiles.shrink_to_fit();
    foundFiles.reserve(kGrowthStep);
}

}  // namespace relicta::scan
