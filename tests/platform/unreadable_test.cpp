#include "platform/unreadable.h"

#include <gtest/gtest.h>

#include "platform/scripted_platform.h"

namespace relicta::platform {
namespace {

constexpr int64_t kSector = kUnreadableSectorBytes;
constexpr int64_t kMiB = int64_t{1} << 20;

ByteRun Sectors(int64_t first, int64_t count) {
    return {first * kSector, static_cast<uint64_t>(count * kSector)};
}

uint8_t ByteAt(int64_t offset) {
    return static_cast<uint8_t>(offset % 251 + 1);  // never zero
}

bool InAny(const std::vector<ByteRun>& runs, int64_t offset) {
    for (const ByteRun& r : runs) {
        if (offset >= r.offset && offset < r.End()) {
            return true;
        }
    }
    return false;
}

TEST(ReadAroundUnreadable, NarrowsToTheFailingSectorsAndNeverFailsOnThemTwice) {
    struct Case {
        const char* name;
        int64_t volumeBytes;
        std::vector<ByteRun> bad;
        std::vector<ByteRun> reads;  // done in order, each wholly
    };
    const Case cases[] = {
        {"one sector in a 1 MiB read", 4 * kMiB, {Sectors(700, 1)}, {{0, 1 << 20}}},
        {"a stretch of 64", 4 * kMiB, {Sectors(2500, 64)}, {{kMiB, 1 << 20}}},
        {"two stretches in one read",
         4 * kMiB,
         {Sectors(10, 3), Sectors(1500, 40)},
         {{0, 1 << 20}}},
        {"at the read's first byte, unaligned",
         4 * kMiB,
         {Sectors(8, 2)},
         {{8 * kSector + 100, 5000}}},
        {"a stretch that runs past the read",
         4 * kMiB,
         {Sectors(2040, 100)},
         {{0, 1 << 20}, {kMiB, 1 << 20}}},
        {"to the volume's end", 2 * kMiB, {Sectors(4000, 96)}, {{kMiB, 1 << 20}}},
        {"a long stretch read in pieces",
         64 * kMiB,
         {Sectors(20000, 100000)},
         {{8 * kMiB, 16 << 20}, {24 * kMiB, 16 << 20}, {40 * kMiB, 16 << 20}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedPlatform os;
        ScriptedDrive& drive = os.Drive('C');
        drive.bytes.resize(static_cast<std::size_t>(c.volumeBytes));
        for (int64_t i = 0; i < c.volumeBytes; ++i) {
            drive.bytes[static_cast<std::size_t>(i)] = ByteAt(i);
        }
        drive.badRuns = c.bad;
        const Handle h = os.OpenVolume('C');
        UnreadableRuns runs;
        for (int pass = 0; pass < 2; ++pass) {
            for (const ByteRun& read : c.reads) {
                std::vector<uint8_t> out(read.length, 0xEE);
                const ReadOutcome got = ReadAroundUnreadable(os, h, read.offset, out, runs);
                ASSERT_EQ(got.covered, out.size());
                std::size_t zeros = 0;
                for (std::size_t i = 0; i < out.size(); ++i) {
                    const int64_t at = read.offset + static_cast<int64_t>(i);
                    const bool bad = InAny(c.bad, at);
                    zeros += bad ? 1 : 0;
                    ASSERT_EQ(out[i], bad ? 0 : ByteAt(at)) << "byte " << at;
                }
                EXPECT_EQ(got.unreadable, zeros);
            }
            if (pass == 0) {
                EXPECT_EQ(runs.All(), c.bad);
                EXPECT_LE(drive.failedReads,
                          kMaxFailedReadsPerStretch * static_cast<int>(c.bad.size()));
                EXPECT_EQ(runs.FailedReads(), drive.failedReads);
            }
        }
        // The second pass went around what the first found.
        EXPECT_EQ(runs.FailedReads(), drive.failedReads);
        EXPECT_EQ(runs.FirstError(), EIO);
    }
}

TEST(ReadAroundUnreadable, AShortSourceEndsTheReadWithoutCallingItUnreadable) {
    ScriptedPlatform os;
    ScriptedDrive& drive = os.Drive('C');
    drive.bytes.assign(10000, 7);
    drive.shortReadAt = 6000;
    const Handle h = os.OpenVolume('C');
    UnreadableRuns runs;
    std::vector<uint8_t> out(8192, 0xEE);
    const ReadOutcome got = ReadAroundUnreadable(os, h, 0, out, runs);
    EXPECT_EQ(got.covered, 6000u);
    EXPECT_EQ(got.unreadable, 0u);
    EXPECT_EQ(out[5999], 7);
    EXPECT_EQ(out[6000], 0);
    EXPECT_TRUE(runs.Empty());
}

TEST(DescribeSectorRuns, ListsAFewAndCountsTheRest) {
    EXPECT_EQ(DescribeSectorRuns({Sectors(5, 1)}), "5");
    EXPECT_EQ(DescribeSectorRuns({Sectors(5, 4), Sectors(20, 1)}), "5-8 and 20");
    EXPECT_EQ(DescribeSectorRuns(
                  {Sectors(1, 1), Sectors(3, 1), Sectors(5, 1), Sectors(7, 2), Sectors(11, 1)}),
              "1, 3, 5 and 2 more stretches");
}

}  // namespace
}  // namespace relicta::platform
