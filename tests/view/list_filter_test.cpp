// The list filter's parsers and rules over crafted values: what the command line and the
// filter bar accept as sizes, dates and folders, and a file's kind.

#include "view/list_filter.h"

#include <gtest/gtest.h>

#include "volume/filetime.h"

namespace relicta::view {
namespace {

TEST(ListFilter, SizesAsTypedAndWhatMeansNothing) {
    const std::pair<const char*, std::optional<int64_t>> cases[] = {
        {"0", 0},
        {"4096", 4096},
        {"10K", 10240},
        {"3 KB", 3072},
        {"2MiB", int64_t{2} << 20},
        {"1g", int64_t{1} << 30},
        {"7b", 7},
        {"", std::nullopt},
        {"K", std::nullopt},
        {"-1", std::nullopt},
        {"1.5M", std::nullopt},
        {"1Q", std::nullopt},
        {"5KX", std::nullopt},
        {"99999999999T", std::nullopt},  // past 2^63
    };
    for (const auto& [text, size] : cases) {
        EXPECT_EQ(ParseSize(text), size) << text;
    }
}

TEST(ListFilter, DatesAsTypedAndDaysThatDoNotExist) {
    const auto at = [](int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
        return std::optional<uint64_t>(volume::FileTimeFromCalendar({y, mo, d, h, mi, s}));
    };
    const std::pair<const char*, std::optional<uint64_t>> cases[] = {
        {"2024-02-29", at(2024, 2, 29)},
        {"2024-06-01T13:05", at(2024, 6, 1, 13, 5)},
        {"2024-06-01 13:05:07", at(2024, 6, 1, 13, 5, 7)},
        {"2023-02-29", std::nullopt},
        {"2024-04-31", std::nullopt},
        {"2024-6-1", std::nullopt},
        {"2024-06-01T24:00", std::nullopt},
        {"2024-06-01T13:5", std::nullopt},
        {"1600-12-31", std::nullopt},
        {"2024-06-01X13:05", std::nullopt},
    };
    for (const auto& [text, time] : cases) {
        EXPECT_EQ(ParseIsoDate(text), time) << text;
    }
    // "To" a day takes the day whole, whatever time is typed with it.
    EXPECT_EQ(ParseIsoDateEnd("2024-12-31T13:05"), at(2025, 1, 1));
}

TEST(ListFilter, FoldersAndWhatLiesBelowThem) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"C:\\A", "C:\\A", true},  {"C:\\A\\B", "C:\\A", true}, {"C:\\AB", "C:\\A", false},
        {"C:\\", "C:", true},      {"C:\\A\\", "C:\\A", true},  {"c:\\photos", "C:\\PHOTOS", false},
        {"D:\\A", "C:\\A", false}, {"C:", "C:\\A", false},
    };
    for (const auto& [dir, folder, in] : cases) {
        EXPECT_EQ(InFolder(dir, folder), in) << dir << " in " << folder;
    }
}

TEST(ListFilter, KindByExtensionUnlessTheContentSaysOtherwise) {
    const std::tuple<const char*, const char*, const char*, FileKind> cases[] = {
        {"IMG_0001.JPG", "", "", FileKind::Pictures},
        {"report.docx", "ok", "", FileKind::Documents},
        {"song.mp3", "", "", FileKind::Audio},
        {"clip.MOV", "", "", FileKind::Video},
        {"backup.7z", "", "", FileKind::Archives},
        {"noextension", "", "", FileKind::Other},
        {"a.verylongextension", "", "", FileKind::Other},
        {"photo.dat", "mismatch", "JPEG image data, JFIF standard 1.01", FileKind::Pictures},
        {"photo.jpg", "mismatch", "data", FileKind::Other},
        {"photo.jpg", "damaged", "cut short", FileKind::Pictures},
    };
    for (const auto& [name, verdict, detail, kind] : cases) {
        scan::FoundFile file;
        file.name = name;
        if (*verdict != '\0') {
            file.EditNotes().content = verdict;
            file.EditNotes().contentDetail = detail;
        }
        EXPECT_EQ(KindOf(file), kind) << name << " " << detail;
    }
}

TEST(ListFilter, EveryRuleMustHold) {
    scan::FoundFile file;
    file.name = "Holiday.JPG";
    file.dir = "C:\\Users\\bob\\Pictures";
    file.size = 5000;
    file.condition = scan::kPoor;
    file.modifiedTime = volume::FileTimeFromCalendar({2024, 6, 1, 12, 0, 0});
    file.foundBy = scan::FoundBy::Record;
    const auto with = [](auto change) {
        ListFilter filter;
        change(filter);
        return filter;
    };
    const std::pair<ListFilter, bool> cases[] = {
        {ListFilter{}, true},
        {with([](ListFilter& f) { f.text = "holiday"; }), true},
        {with([](ListFilter& f) { f.text = "BOB\\PIC"; }), true},
        {with([](ListFilter& f) { f.text = "holidays"; }), false},
        {with([](ListFilter& f) { f.kinds = ListFilter::Bit(FileKind::Pictures); }), true},
        {with([](ListFilter& f) { f.kinds = ListFilter::Bit(FileKind::Video); }), false},
        {with([](ListFilter& f) { f.minCondition = ConditionRank(scan::kPoor); }), true},
        {with([](ListFilter& f) { f.minCondition = ConditionRank(scan::kGood); }), false},
        {with([](ListFilter& f) {
             f.minSize = 5000;
             f.maxSize = 5000;
         }),
         true},
        {with([](ListFilter& f) { f.maxSize = 4999; }), false},
        {with([](ListFilter& f) { f.modifiedFrom = ParseIsoDate("2024-06-01T12:00"); }), true},
        {with([](ListFilter& f) { f.modifiedBefore = ParseIsoDate("2024-06-01T12:00"); }), false},
        {with([](ListFilter& f) { f.foundBy = ListFilter::Bit(FoundByGroup::OldFileSystem); }),
         true},
        {with([](ListFilter& f) { f.foundBy = ListFilter::Bit(FoundByGroup::Carved); }), false},
        {with([](ListFilter& f) { f.folder = "C:\\Users"; }), true},
        {with([](ListFilter& f) { f.folder = "C:\\Users\\alice"; }), false},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(cases[i].first.Accepts(file), cases[i].second) << "case " << i;
    }
}

}  // namespace
}  // namespace relicta::view
