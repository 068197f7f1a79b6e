#include "view/list_sort.h"

#include <algorithm>
#include <array>
#include <string_view>

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

// Byte-wise as unsigned characters (as char_traits<char> compares), the shorter first where
// one begins the other. An empty text may have no storage at all.
int CompareBytes(std::string_view a, std::string_view b) {
    return Sign(a.compare(b));
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

namespace {

// A row's place in a column as numbers compared before anything else: a number column's
// value itself, or a text's first bytes in the order the bytes compare. Sorting a million rows
// then mostly compares these, side by side in memory, rather than texts scattered in the table.
struct SortKey {
    uint64_t high = 0;
    uint32_t low = 0;
    uint32_t position = 0;
};

constexpr std::size_t kPrefixBytes = 12;

SortKey PrefixKey(std::string_view text) {
    std::array<uint8_t, kPrefixBytes> bytes{};
    std::copy_n(text.begin(), std::min(text.size(), bytes.size()), bytes.begin());
    SortKey key;
    for (std::size_t i = 0; i < sizeof(key.high); ++i) {
        key.high = (key.high << 8) | bytes[i];
    }
    for (std::size_t i = sizeof(key.high); i < bytes.size(); ++i) {
        key.low = (key.low << 8) | bytes[i];
    }
    return key;
}

bool IsTextColumn(int column) {
    return column == kColumnName || column == kColumnDirectory || column == kColumnCondition;
}

// Ordered as CompareFoundFiles orders: equal keys of a text column compare further.
SortKey KeyOf(const scan::FoundFile& file, int column) {
    switch (column) {
        case kColumnName:
            return PrefixKey(file.name);
        case kColumnDirectory:
            return PrefixKey(file.dir);
        case kColumnSize:
            return {static_cast<uint64_t>(file.size)};
        case kColumnModified:
            return {~file.modifiedTime};  // newest first
        case kColumnCondition:
            return PrefixKey(file.condition);
        case kColumnContent:
            return {static_cast<uint64_t>(ContentRank(file.Notes().content))};
        default:
            return {};
    }
}

}  // namespace

std::vector<int> SortedOrder(const std::vector<uint32_t>& items, const ListSort& sort) {
    const scan::FoundFileTable& files = scan::foundFiles;
    std::vector<SortKey> keys(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        keys[i] = items[i] < files.size() ? KeyOf(files[items[i]], sort.sortColumn) : SortKey{};
        keys[i].position = static_cast<uint32_t>(i);
    }
    const bool textColumn = IsTextColumn(sort.sortColumn);
    // Equal rows keep their order: the position decides last.
    std::sort(keys.begin(), keys.end(), [&](const SortKey& x, const SortKey& y) {
        if (x.high != y.high || x.low != y.low) {
            const bool less = x.high != y.high ? x.high < y.high : x.low < y.low;
            return sort.sortReversed ? !less : less;
        }
        if (textColumn) {
            if (const int result = sort.Compare(items[x.position], items[y.position])) {
                return result < 0;
            }
        }
        return x.position < y.position;
    });
    std::vector<int> order(keys.size());
    std::transform(keys.begin(), keys.end(), order.begin(),
                   [](const SortKey& key) { return static_cast<int>(key.position); });
    return order;
}

}  // namespace relicta::view
