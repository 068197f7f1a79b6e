// Sorting the list through keys made once per row must give exactly the order of sorting by
// the table itself: texts alike far past the keys' bytes, texts that end where others hold a
// zero byte, bytes past ASCII, and equal rows that keep their places in both directions.

#include "view/list_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "scan/found_files.h"
#include "view/found_file_list.h"
#include "view/list_texts.h"

namespace relicta::view {
namespace {

std::vector<int> PlainOrder(const std::vector<uint32_t>& items, const ListSort& sort) {
    std::vector<int> order(items.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int x, int y) { return sort.Compare(items[x], items[y]) < 0; });
    return order;
}

TEST(ListSort, KeyedOrderIsTheTablesOrder) {
    using namespace std::string_literals;
    const std::string names[] = {"holiday_2024_0001.jpg",
                                 "holiday_2024_0002.jpg",
                                 "holiday_2024_0001.jpg",
                                 "holiday_2024_",
                                 "holiday_2024_\0x"s,
                                 "ab",
                                 "ab\0"s,
                                 "\xC3\xA9t\xC3\xA9.txt",
                                 "Zeta",
                                 "",
                                 "holiday_2024_0001.jpg"};
    const char* conditions[] = {scan::kGood, scan::kPoor, scan::kExcellent, scan::kHopeless, ""};
    scan::ClearFoundFiles();
    FoundFileList list;
    std::vector<uint32_t> items;
    for (std::size_t i = 0; i < std::size(names); ++i) {
        const std::string dir = "C:\\" + names[(i * 7) % std::size(names)] + "\\";
        scan::AddFoundFile(list, names[i], dir, static_cast<int64_t>(i % 3) << 40, 0,
                           (i % 4) * 1'000'000'007ULL, conditions[i % std::size(conditions)],
                           static_cast<uint32_t>(i));
        items.push_back(static_cast<uint32_t>(std::size(names) - 1 - i));  // not table order
    }
    for (int column = kColumnName; column <= kColumnContent; ++column) {
        for (const bool reversed : {true, false}) {
            const ListSort sort{column, reversed};
            EXPECT_EQ(SortedOrder(items, sort), PlainOrder(items, sort))
                << "column " << column << (reversed ? " reversed" : "");
        }
    }
    scan::ClearFoundFiles();
}

}  // namespace
}  // namespace relicta::view
