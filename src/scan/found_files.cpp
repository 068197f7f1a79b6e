#include "scan/found_files.h"

#include "view/list_texts.h"

namespace relicta::scan {

std::vector<FoundFile> foundFiles;

namespace {
constexpr std::size_t kGrowthStep = 1000;
}

void AddFoundFile(FileListControl& listCtrl, std::string name, std::string dir, int64_t size,
                  uint32_t attributes, uint64_t modifiedTime, std::string condition,
                  uint32_t mftOrCluster) {
    const uint32_t itemNum = static_cast<uint32_t>(foundFiles.size());
    // The table grows by doubling (or is reserved by the scan): a fixed step copied it whole
    // every step.
    foundFiles.push_back(FoundFile{std::move(name), std::move(dir), size, attributes, modifiedTime,
                                   std::move(condition), mftOrCluster});
    const FoundFile& entry = foundFiles.back();
    const int row = listCtrl.AppendRow(entry.name);
    if (listCtrl.KeepsCellTexts()) {
        for (int column = view::kColumnDirectory; column <= view::kColumnNumber; ++column) {
            listCtrl.SetCell(row, column, CellText(entry, column));
        }
    }
    listCtrl.SetItemData(row, itemNum);
}

std::string CellText(const FoundFile& file, int column) {
    switch (column) {
        case view::kColumnName:
            return file.name;
        case view::kColumnDirectory:
            return file.dir;
        case view::kColumnSize:
            return view::SizeText(file.size);
        case view::kColumnModified:
            return view::DateText(file.modifiedTime);
        case view::kColumnCondition:
            return file.condition;
        case view::kColumnNumber:
            return std::to_string(file.mftOrCluster);
        default:
            return {};
    }
}

void ClearFoundFiles() {
    foundFiles.clear();
    foundFiles.shrink_to_fit();
    foundFiles.reserve(kGrowthStep);
}

void ReserveFoundFiles(std::size_t more) {
    foundFiles.reserve(foundFiles.size() + more);
}

}  // namespace relicta::scan
