#pragma once
// What the scan and the recover command need of the front end's report list. The list asks
// the found-file table for what it shows; the table knows nothing of columns.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace relicta::scan {

class FileListControl {
  public:
    virtual ~FileListControl() = default;
    // Appends a row for found file `itemNum` (an index into the found-file table).
    virtual void AppendItem(uint32_t itemNum) = 0;
    // Found files `items` changed after they were listed: a list that keeps their texts
    // makes them anew.
    virtual void RefreshItems(const std::vector<std::size_t>& /*items*/) {}
    virtual void DeleteAllRows() = 0;

    // The rows in list order, as the recover command walks them.
    virtual int RowCount() const = 0;
    virtual std::string CellText(int row, int column) const = 0;
    virtual uint32_t ItemData(int row) const = 0;
    virtual bool IsSelected(int row) const = 0;
};

}  // namespace relicta::scan
