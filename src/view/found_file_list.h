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

// The row walking both lists share; a row has its item number and selection.
template <typename RowType>
class RowList : public scan::FileListControl {
  public:
    using Row = RowType;

    void DeleteAllRows() override { rows.clear(); }
    int RowCount() const override { return static_cast<int>(rows.size()); }
    uint32_t ItemData(int row) const override { return rows.at(row).itemData; }
    bool IsSelected(int row) const override { return rows.at(row).selected; }

    std::vector<Row> rows;
};

// Four bytes a row: a scan lists millions.
struct FoundFileRow {
    uint32_t itemData : 31 = 0;
    uint32_t selected : 1 = 0;
};

class FoundFileList : public RowList<FoundFileRow> {
  public:
    void AppendItem(uint32_t itemNum) override { rows.push_back({itemNum, false}); }
    std::string CellText(int row, int column) const override;
};

struct MemoryFileRow {
    std::vector<std::string> cells;
    uint32_t itemData = 0;
    bool selected = false;
};

// A list that keeps its texts: the tests' list, which sees what a scan changed only when told.
class MemoryFileList : public RowList<MemoryFileRow> {
  public:
    void AppendItem(uint32_t itemNum) override;
    void RefreshItems(const std::vector<std::size_t>& items) override;
    std::string CellText(int row, int column) const override;
};

}  // namespace relicta::view
