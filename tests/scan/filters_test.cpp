#include <gtest/gtest.h>

#include <cstdlib>

#include "scan/filters.h"
#include "view/list_texts.h"
#include "volume/filetime.h"

namespace relicta::scan {
namespace {

TEST(PatternToRegex, ConvertsWildcardsAndAnchorsTheEnd) {
    const std::pair<std::string, std::string> cases[] = {
        {"*.doc", ".*\\.doc$"},
        {"report*", "report.*"},
        {"a.b", "a\\.b$"},
        {"data?.txt", "data?\\.txt$"},
        {"", ""},
        {"a\\b", "a\\\\b$"},
    };
    for (const auto& [pattern, regex] : cases) {
        EXPECT_EQ(PatternToRegex(pattern), regex) << pattern;
    }
}

TEST(MatchesPattern, KeepsWhatThePatternNames) {
    struct Case {
        const char* pattern;
        const char* name;
        bool kept;
    };
    const Case cases[] = {
        {"*.TXT", "notes.txt", true},
        {"*.TXT", "NOTES.TXT", true},
        {"*.TXT", "notes.txt.bak", false},
        {"abc", "abc", true},
        {"abc", "xabc", true},
        {"abc", "abcd", false},
        {"data?.txt", "data.txt", true},
        {"data?.txt", "dat.txt", true},
        {"data?.txt", "datb.txt", false},
        {"report*", "my report 2", true},
        {"a.b", "xa.b", true},
        {"a.b", "axb", false},
    };
    for (const Case& c : cases) {
        const CompiledPattern compiled(c.pattern);
        ASSERT_TRUE(compiled.ok()) << c.pattern;
        EXPECT_EQ(MatchesPattern(c.name, compiled), c.kept) << c.pattern << " " << c.name;
    }
    EXPECT_FALSE(CompiledPattern("(").ok());
    EXPECT_FALSE(MatchesPattern("anything", CompiledPattern("(")));
}

TEST(ScanFilters, AllFilesPatternsSkipTheExpression) {
    const CompiledPattern never("(");  // would match nothing if consulted
    for (const char* text : {"", "*", "*.*"}) {
        EXPECT_TRUE((ScanFilters{text, &never, false}.Accepts("C:\\", "no extension"))) << text;
    }
    EXPECT_FALSE((ScanFilters{"*.doc", &never, false}.Accepts("C:\\", "a.doc")));
}

TEST(IsTempFile, DirectoriesAndNames) {
    struct Case {
        const char* dir;
        const char* name;
        bool temp;
    };
    const Case cases[] = {
        {"C:\\Temp\\", "a.doc", true},
        {"D:\\Work\\tmp\\", "a.doc", true},
        {"C:\\Temporary\\", "a.doc", false},
        {"C:\\TEMP", "a.doc", true},
        {"C:\\WINNT\\TEMP\\SUB\\", "a", true},
        {"C:\\WINNT\\system32\\spool\\PRINTERS\\", "x.spl", true},
        {"C:\\Docs\\", "report.tmp", true},
        {"C:\\Docs\\", "report.tmp1", false},
        {"C:\\", "~FASTUN0.FFL", true},
        {"C:\\", "x!~IE5.~!~", true},
        {"C:\\Docs\\", "report.doc", false},
        {"", "tmp", false},
        {"C:\\x\\Temporary Internet Files\\", "a", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(IsTempFile(c.dir, c.name), c.temp) << c.dir << c.name;
        EXPECT_TRUE((ScanFilters{"*", nullptr, false}.Accepts(c.dir, c.name)));
        EXPECT_EQ((ScanFilters{"*", nullptr, true}.Accepts(c.dir, c.name)), !c.temp);
    }
}

TEST(ListTexts, SizesRoundUp) {
    const std::pair<int64_t, std::string> cases[] = {
        {0, "0  "},          {1, "1KB"},       {1024, "1KB"},    {1025, "2KB"},
        {1048575, "1024KB"}, {1048576, "1MB"}, {1048577, "2MB"}, {int64_t{5} << 30, "5120MB"},
        {INT64_MAX, "8796093022208MB"},
    };
    for (const auto& [size, text] : cases) {
        EXPECT_EQ(view::SizeText(size), text) << size;
    }
}

TEST(ListTexts, DatesAreNotPaddedButMinutesAre) {
    const uint64_t t = volume::FileTimeFromCalendar({2000, 1, 2, 9, 5, 7});
    EXPECT_EQ(view::DateText(t), "2000/1/2 9:05");
    EXPECT_EQ(view::IsoDateText(t), "2000-01-02T09:05:07");
    EXPECT_EQ(view::DateText(volume::FileTimeFromCalendar({1999, 7, 4, 13, 5, 0})),
              "1999/7/4 13:05");
    // DOS date 2022-01-02, time 03:04:06.
    EXPECT_EQ(view::IsoDateText(
                  volume::FileTimeFromDos((42 << 9) | (1 << 5) | 2, (3 << 11) | (4 << 5) | 3)),
              "2022-01-02T03:04:06");
}

TEST(ListTexts, LocalTimeFollowsTheTimeZone) {
    const char* old = std::getenv("TZ");
    const std::string saved = old != nullptr ? old : "";
    ::setenv("TZ", "EST5", 1);
    ::tzset();
    const uint64_t utc = volume::FileTimeFromCalendar({2022, 1, 2, 3, 4, 5});
    EXPECT_EQ(view::IsoDateText(volume::LocalFileTimeFromUtc(utc)), "2022-01-01T22:04:05");
    EXPECT_EQ(volume::LocalFileTimeFromUtc(~uint64_t{0}), ~uint64_t{0});  // nonsense stays as it is
    if (old != nullptr) {
        ::setenv("TZ", saved.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}

}  // namespace
}  // namespace relicta::scan
