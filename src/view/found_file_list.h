#pragma once
// Lists over the found-file table. FoundFileList is a virtual list: each row keeps its item
// number and selection, and its cell texts are made from the table when asked, not stored
// twice. MemoryFileList keeps every row's texts, as a list control that holds strings does.

#include <cstdint>
#include <string>
#include <vector>

#include "scan/file_list.h"
#include "scan/found_files.h"

namespace relicta::view {

// The text a list shows in `column` (kColumnName to kColumnContent) for `file`.
std::string CellText(const scan::FoundFile& file, int column);

class FoundFileList : public scan::FileListControl {
  public:
    // Four bytes a row: a scan lists millions.
    struct Row {
        uint32_t itemData : 31 = 0;
        uint32_t selected : 1 = 0;
    };

    void AppendItem(uint32_t itemNum) override { rows.push_back({itemNum, false}); }
    void DeleteAllRows() override { rows.clear(); }

    int RowCount() const override { return static_cast<int>(rows.size()); }
    std::string CellText(int row, int column) const override;
    uint32_t ItemData(int row) const override { return rows.at(row).itemData; }
    bool IsSelected(int row) const override { return rows.at(row).selected; }

    std::vector<Row> rows;
};

// A list that keeps its texts: the tests' list, which sees what a scan changed only when told.
class MemoryFileList : public scan::FileListControl {
  public:
    struct Row {
        std::vector<std::string> cells;
        uint32_t itemData = 0;
        bool selected = false;
    };

    void AppendItem(uint32_t itemNum) override;
    void RefreshItems(const std::vector<std::size_t>& items) override;
    void DeleteAllRows() override { rows.clear(); }

    int RowCount() const override { return static_cast<int>(rows.size()); }
    std::string CellText(int row, int column) const override;
    uint32_t ItemData(int row) const override { return rows.at(row).itemData; }
    bool IsSelected(int row) const override { return rows.at(row).selected; }

    std::vector<Row> rows;
};

}  // namespace relicta::view
