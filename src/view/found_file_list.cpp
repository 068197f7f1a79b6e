#include "view/found_file_list.h"

namespace relicta::view {

std::string FoundFileList::CellText(int row, int column) const {
    const uint32_t item = rows.at(row).itemData;
    return item < scan::foundFiles.size() ? scan::CellText(scan::foundFiles[item], column)
                                          : std::string();
}

}  // namespace relicta::view
