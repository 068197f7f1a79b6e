// Carving held to its marks over cases real tools made: quick-formatted FAT32, NTFS and exFAT
// volumes, and raw images laid out as the DFRWS carving challenges are (two fragments, files
// split by others, braided, nested, out of order). Most intact files with no entry left and
// most two-piece JPEG/PNG/ZIP files come back byte for byte, no carved file rated Good comes
// back wrong, none comes back twice, no embedded file is listed apart, names come from
// metadata, and no fewer files come back whole than photorec brings back of the same image.
// The cases are made when the test starts by tests/data/make-carve-cases.py and scored by
// tests/data/score-carve.py, which names every file behind a miss or a fault.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "support/paths.h"

namespace relicta::test {
namespace {

namespace fs = std::filesystem;

const char* const kCases[] = {"raw-contiguous", "raw-fragments", "fat32-carve", "ntfs-carve",
                              "exfat-carve"};
constexpr int kIntactPercent = 95;
constexpr int kTwoPiecePercent = 90;
constexpr int kNamedPercent = 90;

struct Score {
    int files, exact, intact, intactExact, two, twoExact, wrongGood, excellentCarved, twice,
        nestedApart, withMetadata, named, photorecExact;
};

int Count(const std::string& line, const char* field) {
    const std::string value = JsonField(line, field);
    EXPECT_FALSE(value.empty()) << field << " missing in " << line;
    return value.empty() ? 0 : std::stoi(value);
}

Score ScoreOf(const std::string& line) {
    return {Count(line, "files"),         Count(line, "exact"),
            Count(line, "intact"),        Count(line, "intact_exact"),
            Count(line, "two"),           Count(line, "two_exact"),
            Count(line, "wrong_good"),    Count(line, "excellent_carved"),
            Count(line, "twice"),         Count(line, "nested_apart"),
            Count(line, "with_metadata"), Count(line, "named"),
            Count(line, "photorec_exact")};
}

TEST(CarveTest, HoldsItsMarks) {
    for (const char* tool :
         {"/usr/bin/convert", "ffmpeg", "img2pdf", "heif-enc", "exiftool", "zip", "tiffset"}) {
        if (!HaveTool(tool)) {
            GTEST_SKIP() << tool << " is not installed";
        }
    }
    const fs::path work =
        fs::temp_directory_path() / ("relicta-carve-" + std::to_string(::getpid()));
    fs::remove_all(work);
    const CommandResult made = RunCommand(
        "python3 '" + SourcePath("tests/data/make-carve-cases.py") + "' '" + work.string() + "'");
    EXPECT_EQ(made.status, 0) << made.err;
    std::printf("%s", made.err.c_str());
    const std::string photorec = HaveTool("photorec") ? " --photorec" : "";
    for (const char* name : kCases) {
        SCOPED_TRACE(name);
        if (!fs::exists(work / (std::string(name) + ".img"))) {
            std::printf("[carve] %-15s not made\n", name);
            continue;
        }
        const CommandResult scored =
            RunCommand("python3 '" + SourcePath("tests/data/score-carve.py") + "' '" +
                       work.string() + "' " + name + " --relicta '" + RelictaBinary() +
                       "' --work '" + work.string() + "'" + photorec);
        ASSERT_EQ(scored.status, 0) << scored.err;
        const Score s = ScoreOf(scored.out);
        std::printf(
            "[carve] %-15s exact %2d of %2d (photorec %2d), intact %2d of %2d, two pieces %2d of "
            "%2d, named %2d of %2d\n",
            name, s.exact, s.files, s.photorecExact, s.intactExact, s.intact, s.twoExact, s.two,
            s.named, s.withMetadata);
        std::fflush(stdout);
        EXPECT_GE(s.intactExact * 100, kIntactPercent * s.intact)
            << "intact files with no entry back byte for byte\n"
            << scored.err;
        EXPECT_GE(s.twoExact * 100, kTwoPiecePercent * s.two)
            << "two-piece files back byte for byte\n"
            << scored.err;
        EXPECT_GE(s.named * 100, kNamedPercent * s.withMetadata) << "named by their metadata";
        EXPECT_GE(s.exact, s.photorecExact) << "no fewer files back than photorec";
        EXPECT_EQ(s.wrongGood, 0) << "carved, rated Good, wrong bytes\n" << scored.err;
        EXPECT_EQ(s.excellentCarved, 0) << "carved files are never Excellent";
        EXPECT_EQ(s.twice, 0) << "files listed twice\n" << scored.err;
        EXPECT_EQ(s.nestedApart, 0) << "embedded files listed apart\n" << scored.err;
    }
    fs::remove_all(work);
}

}  // namespace
}  // namespace relicta::test
