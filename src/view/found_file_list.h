#pragma once
// A list over the found-file table, as a virtual list is: each row keeps its item number and
// selection, and its cell texts are made from the table when asked, not stored twice.

#include <cstdint>
#include <string>
#include <vector>

#include "scan/file_list.h"
#include "scan/found_files.h"

namespace relicta::view {

class FoundFileList : public scan::FileListControl {
  public:
    struct Row {
        uint32_t itemData = 0;
        bool selected = false;
    };

    int AppendRow(const std::string&) override {
        rows.push_back({});
        return static_cast<int>(rows.size()) - 1;
    }
    void SetCell(int, int, const std::string&) override {}
    void SetItemData(int row, uint32_t data) override { rows.at(row).itemData = data; }
    void DeleteAllRows() override { rows.clear(); }
    bool KeepsCellTexts() const override { return false; }

    int RowCount() const override { return static_cast<int>(rows.size()); }
    std::string CellText(int row, int column) const override;
    uint32_t ItemData(int row) const override { return rows.at(row).itemData; }
    bool IsSelected(int row) const override { return rows.at(row).selected; }

    std::vector<Row> rows;
};

}  // namespace relicta::view
