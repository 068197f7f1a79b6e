#pragma once
// What the scan and the recover command need of the front end's report list.

#include <cstdint>
#include <string>
#include <vector>

namespace relicta::scan {

class FileListControl {
  public:
    virtual ~FileListControl() = default;
    // Appends a row whose first column is `text`; returns its index.
    virtual int AppendRow(const std::string& text) = 0;
    virtual void SetCell(int row, int column, const std::string& text) = 0;
    virtual void SetItemData(int row, uint32_t data) = 0;
    virtual void DeleteAllRows() = 0;
    // False for a list that makes its cell texts from the found-file table when shown: it is
    // then given no texts to keep.
    virtual bool KeepsCellTexts() const { return true; }

    // The rows in list order, as the recover command walks them.
    virtual int RowCount() const = 0;
    virtual std::string CellText(int row, int column) const = 0;
    virtual uint32_t ItemData(int row) const = 0;
    virtual bool IsSelected(int row) const = 0;
};

// A list kept in memory: the command line's and the tests' list.
class MemoryFileList : public FileListControl {
  public:
    struct Row {
        std::vector<std::string> cells;
        uint32_t itemData = 0;
        bool selected = false;
    };

    int AppendRow(const std::string& text) override {
        rows.push_back(Row{{text}, 0, false});
        return static_cast<int>(rows.size()) - 1;
    }
    void SetCell(int row, int column, const std::string& text) override {
        std::vector<std::string>& cells = rows.at(row).cells;
        if (cells.size() <= static_cast<std::size_t>(column)) {
            cells.resize(column + 1);
        }
        cells[column] = text;
    }
    void SetItemData(int row, uint32_t data) override { rows.at(row).itemData = data; }
    void DeleteAllRows() override { rows.clear(); }

    int RowCount() const override { return static_cast<int>(rows.size()); }
    std::string CellText(int row, int column) const override {
        const std::vector<std::string>& cells = rows.at(row).cells;
        return static_cast<std::size_t>(column) < cells.size() ? cells[column] : std::string();
    }
    uint32_t ItemData(int row) const override { return rows.at(row).itemData; }
    bool IsSelected(int row) const override { return rows.at(row).selected; }

    std::vector<Row> rows;
};

}  // namespace relicta::scan
