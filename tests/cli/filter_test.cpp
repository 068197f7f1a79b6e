// The list filters of scan and recover over the FAT16 fixture: each narrows the JSON list to
// the expected items (numbered as unfiltered), recover writes just those, and a value that
// means nothing is a usage error.

#include <gtest/gtest.h>

#include <filesystem>

#include "support/paths.h"

namespace relicta::cli {
namespace {

namespace fs = std::filesystem;
using test::RunCommand;

test::CommandResult Relicta(const std::string& args) {
    return RunCommand("TZ=UTC " + test::RelictaBinary() + " " + args + " </dev/null");
}

std::vector<int> ListedItems(const std::string& json) {
    std::vector<int> items;
    for (const std::string& line : test::Lines(json)) {
        items.push_back(std::stoi(test::JsonField(line, "item")));
    }
    return items;
}

TEST(ListFilterOptions, NarrowTheListToTheMatchingItems) {
    struct Case {
        const char* filters;
        std::vector<int> items;
    };
    // fat16: 0-5 in the root (5: ?IG.BIN, 20000 bytes), 6-7 in ?LDDIR, 8 in ?LDDIR\?UB,
    // 9-12 JPEGs in PHOTOS (March 2022), 13 ?RAG.BIN (Poor); 3 is an empty .DAT (Poor).
    const Case cases[] = {
        {"--kind pictures", {9, 10, 11, 12}},
        {"--kind DOCUMENTS", {0, 1, 2, 4, 6, 7, 8}},
        {"--kind pictures,other", {3, 5, 9, 10, 11, 12, 13}},
        {"--kind pictures --kind audio", {9, 10, 11, 12}},
        {"--min-condition good", {0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
        {"--min-condition Excellent", {}},
        {"--min-size 5000 --max-size 9000", {1, 13}},
        {"--min-size 10K", {5}},
        {"--modified-after 2022-03-04T05:06:18 --modified-before 2022-03-04T05:06:40", {10, 11}},
        {"--modified-after 2022-04-01", {13}},
        {"--found-by entry --kind video", {}},
        {"--found-by carved", {}},
        {"--kind documents --min-size 800 --modified-before 2022-02-01", {0, 1, 4}},
    };
    const std::string image = test::FixturePath("fat16.img");
    for (const Case& c : cases) {
        const test::CommandResult r =
            Relicta("scan --format json " + std::string(c.filters) + " '" + image + "'");
        EXPECT_EQ(r.status, 0) << c.filters << ": " << r.err;
        EXPECT_EQ(ListedItems(r.out), c.items) << c.filters;
    }
}

TEST(ListFilterOptions, RecoverWritesOnlyWhatTheFiltersList) {
    const fs::path to = fs::temp_directory_path() / ("relicta-filter-" + std::to_string(getpid()));
    fs::remove_all(to);
    const std::string image = test::FixturePath("fat16.img");
    const test::CommandResult r =
        Relicta("recover --all --kind pictures --to '" + to.string() + "' '" + image + "'");
    EXPECT_EQ(r.status, 0) << r.err;
    int written = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(to)) {
        EXPECT_EQ(entry.path().extension(), ".JPG") << entry.path();
        ++written;
    }
    EXPECT_EQ(written, 4);
    // An item the filters leave out is named as such, not recovered.
    const test::CommandResult outside =
        Relicta("recover --item 0 --kind pictures --to '" + to.string() + "' '" + image + "'");
    EXPECT_EQ(outside.status, 2);
    EXPECT_NE(outside.err.find("not among the files the filters list"), std::string::npos);
    fs::remove_all(to);
}

TEST(ListFilterOptions, AValueThatMeansNothingIsAUsageError) {
    const std::string image = test::FixturePath("fat16.img");
    for (const char* bad :
         {"--kind pics", "--min-condition great", "--min-size 1Q", "--max-size -4",
          "--modified-after 2023-02-30", "--modified-before 2022-1-2", "--found-by disk",
          "--min-size 99999999999T"}) {
        const test::CommandResult r = Relicta("scan " + std::string(bad) + " '" + image + "'");
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("takes"), std::string::npos) << bad << ": " << r.err;
        EXPECT_TRUE(r.out.empty()) << bad;
    }
}

}  // namespace
}  // namespace relicta::cli
