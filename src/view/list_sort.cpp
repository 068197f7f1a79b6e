#include "view/list_sort.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "scan/found_files.h"
#include "view/list_texts.h"

namespace relicta::view {
namespace {

int Sign(int value) {
    return (value > 0) - (value < 0);
}

template <typename T>
int CompareNumbers(T a, T b) {
    return (a > b) - (a < b);
}

// Byte-wise as unsigned characters, up to the first difference or the end.
int CompareBytes(std::string_view a, std::string_view b) {
    const int common = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
    return common != 0 ? Sign(common) : CompareNumbers(a.size(), b.size());
}

// Good news first, then what may still be worth a look, then the broken; unchecked last.
int ContentRank(const std::string& verdict) {
    static constexpr const char* kOrder[] = {"ok", "unknown", "damaged", "mismatch", "zeroed"};
    for (int rank = 0; rank < static_cast<int>(std::size(kOrder)); ++rank) {
        if (verdict == kOrder[rank]) {
            return rank;
        }
    }
    return static_cast<int>(std::size(kOrder));
}

}  // namespace

int CompareFoundFiles(uint32_t a, uint32_t b, int column) {
    const scan::FoundFileTable& files = scan::foundFiles;
    if (a >= files.size() || b >= files.size()) {
        return 0;
    }
    const scan::FoundFile& fa = files[a];
    const scan::FoundFile& fb = files[b];
    switch (column) {
        case kColumnName:
            return CompareBytes(fa.name, fb.name);
        case kColumnDirectory:
            return CompareBytes(fa.dir, fb.dir);
        case kColumnSize:
            return CompareNumbers(static_cast<uint64_t>(fa.size), static_cast<uint64_t>(fb.size));
        case kColumnModified:
            return CompareNumbers(fb.modifiedTime, fa.modifiedTime);
        case kColumnCondition:
            return CompareBytes(fa.condition, fb.condition);
        case kColumnContent:
            return CompareNumbers(ContentRank(fa.Notes().content), ContentRank(fb.Notes().content));
        default:
            return 0;
    }
}

void ListSort::HeaderClicked(int column) {
    if (column != sortColumn) {
        sortReversed = true;
        sortColumn = column;
    } else {
        sortReversed = !sortReversed;
    }
}

int ListSort::Compare(uint32_t a, uint32_t b) const {
    const int result = CompareFoundFiles(a, b, sortColumn);
    return sortReversed ? -result : result;
}

std::vector<int> SortedOrder(const std::vector<uint32_t>& items, const ListSort& sort) {
    std::vector<int> order(items.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int x, int y) { return sort.Compare(items[x], items[y]) < 0; });
    return order;
}

}  // namespace relicta::view
