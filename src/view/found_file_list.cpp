#include "view/found_file_list.h"

#include "view/list_texts.h"

namespace relicta::view {
namespace {

// The columns a MemoryFileList keeps: those of the saved list.
constexpr int kKeptColumns = kColumnNumber + 1;

std::vector<std::string> CellTexts(uint32_t item) {
    std::vector<std::string> cells(kKeptColumns);
    if (item < scan::foundFiles.size()) {
        for (int column = kColumnName; column < kKeptColumns; ++column) {
            cells[column] = view::CellText(scan::foundFiles[item], column);
        }
    }
    return cells;
}

}  // namespace

std::string CellText(const scan::FoundFile& file, int column) {
    switch (column) {
        case kColumnName:
            return file.name;
        case kColumnDirectory:
            return file.dir;
        case kColumnSize:
            return SizeText(file.size);
        case kColumnModified:
            return DateText(file.modifiedTime);
        case kColumnCondition:
            return file.condition;
        case kColumnNumber:
            return std::to_string(file.mftOrCluster);
        case kColumnContent:
            return file.Notes().content;
        default:
            return {};
    }
}

std::string FoundFileList::CellText(int row, int column) const {
    const uint32_t item = rows.at(row).itemData;
    return item < scan::foundFiles.size() ? view::CellText(scan::foundFiles[item], column)
                                          : std::string();
}

void MemoryFileList::AppendItem(uint32_t itemNum) {
    rows.push_back({CellTexts(itemNum), itemNum, false});
}

void MemoryFileList::RefreshItems(const std::vector<std::size_t>& items) {
    std::vector<bool> changed(scan::foundFiles.size());
    for (const std::size_t item : items) {
        if (item < changed.size()) {
            changed[item] = true;
        }
    }
    for (Row& row : rows) {
        if (row.itemData < changed.size() && changed[row.itemData]) {
            row.cells = CellTexts(row.itemData);
        }
    }
}

std::string MemoryFileList::CellText(int row, int column) const {
    const std::vector<std::string>& cells = rows.at(row).cells;
    return static_cast<std::size_t>(column) < cells.size() ? cells[column] : std::string();
}

}  // namespace relicta::view
