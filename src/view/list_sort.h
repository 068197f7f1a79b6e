#pragma once
// Sorting the file list by a column header: rows compare through the found-file table by
// their item numbers, never through the texts shown.

#include <cstdint>
#include <vector>

namespace relicta::view {

// The base order of two entries in `column`: names, directories and conditions byte-wise,
// sizes ascending, times newest first, content verdicts from ok to zeroed (unchecked last);
// the number column keeps every pair equal.
int CompareFoundFiles(uint32_t a, uint32_t b, int column);

// The sort state: a first click on a column gives the reverse of its base order, each
// further click on it flips the order.
struct ListSort {
    int sortColumn = -1;
    bool sortReversed = true;

    void HeaderClicked(int column);
    int Compare(uint32_t a, uint32_t b) const;
};

// The new order of `items` (their positions, stable for equal rows) under `sort`.
std::vector<int> SortedOrder(const std::vector<uint32_t>& items, const ListSort& sort);

}  // namespace relicta::view
