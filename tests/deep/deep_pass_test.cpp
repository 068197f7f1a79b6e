// The deep scan's pass: every byte of the ranges handed once as fresh, structures that straddle
// two reads seen whole, nothing carried over a gap; and the stretches it reads.

#include <gtest/gtest.h>

#include <cstring>

#include "app/scan_state.h"
#include "deep/current_volume.h"
#include "deep/deep_pass.h"
#include "platform/scripted_platform.h"

namespace relicta::deep {
namespace {

constexpr int64_t kMiB = 1 << 20;
constexpr char kMarker[] = "STRADDLE-MARKER!";  // 16 bytes

// Notes each fresh byte and where a marker begins, as a finder looking for it would.
class RecordingFinder final : public Finder {
  public:
    void Feed(const Block& block) override {
        ASSERT_EQ(block.offset % static_cast<int64_t>(kSectorBytes), 0);
        for (std::size_t i = 0; i < block.starts; ++i) {
            fresh.push_back(block.offset + static_cast<int64_t>(i));
        }
        const std::size_t n = sizeof kMarker - 1;
        for (std::size_t at = 0; at < block.starts && at + n <= block.bytes.size(); ++at) {
            if (std::memcmp(block.bytes.data() + at, kMarker, n) == 0) {
                markers.push_back(block.offset + static_cast<int64_t>(at));
            }
        }
    }
    std::vector<int64_t> fresh;
    std::vector<int64_t> markers;
};

class DeepPassTest : public ::testing::Test {
  protected:
    void SetUp() override {
        app::ResetScanState();
        drive.bytes.assign(static_cast<std::size_t>(20 * kMiB), 0);
    }
    PassResult Run(const std::vector<ByteRange>& ranges, RecordingFinder& finder) {
        const platform::ScopedPlatform scoped(os);
        const platform::Handle h = os.OpenVolume('C');
        Finder* const finders[] = {&finder};
        const PassResult r = RunPass(h, ranges, finders);
        os.CloseHandle(h);
        return r;
    }
    platform::ScriptedPlatform os;
    platform::ScriptedDrive& drive = os.Drive('C');
};

TEST_F(DeepPassTest, HandsEveryByteOnceAndStraddlingStructuresWhole) {
    // Across the first 8 MiB read's end, and across a gap where nothing may be carried.
    const int64_t across = 8 * kMiB - 6;
    const int64_t overGap = 12 * kMiB - 8;
    std::memcpy(drive.bytes.data() + across, kMarker, 16);
    std::memcpy(drive.bytes.data() + overGap, kMarker, 16);
    RecordingFinder finder;
    const std::vector<ByteRange> ranges{{0, 12 * kMiB}, {12 * kMiB + 4096, 4 * kMiB}};
    const PassResult r = Run(ranges, finder);
    EXPECT_FALSE(r.cancelled);
    EXPECT_EQ(r.bytesRead, 16 * kMiB);
    ASSERT_EQ(finder.fresh.size(), static_cast<std::size_t>(16 * kMiB));
    EXPECT_TRUE(std::is_sorted(finder.fresh.begin(), finder.fresh.end()));
    EXPECT_EQ(std::adjacent_find(finder.fresh.begin(), finder.fresh.end()), finder.fresh.end());
    EXPECT_EQ(finder.markers, std::vector<int64_t>{across});
}

TEST_F(DeepPassTest, StopsWhenAskedKeepingWhatWasFound) {
    app::StopScan = true;
    RecordingFinder finder;
    const PassResult r = Run({{0, 16 * kMiB}}, finder);
    EXPECT_TRUE(r.cancelled);
    EXPECT_TRUE(finder.fresh.empty());
}

TEST_F(DeepPassTest, GoesOnWhereItStoodAsIfItHadNotStopped) {
    const int64_t across = 16 * kMiB - 6;  // carried over the read where the pass stops
    std::memcpy(drive.bytes.data() + across, kMarker, 16);
    const std::vector<ByteRange> ranges{{0, 20 * kMiB}};
    RecordingFinder finder;
    std::vector<PassPosition> saved;
    PassCheckpoints checkpoints;
    checkpoints.every = std::chrono::hours(1);
    checkpoints.save = [&](const PassPosition& p) { saved.push_back(p); };
    // Stops once two reads were handed on.
    app::SetPumpMessagesHook([&] {
        app::StopScan = app::StopScan || finder.fresh.size() >= static_cast<std::size_t>(15 * kMiB);
        return false;
    });
    const platform::ScopedPlatform scoped(os);
    const platform::Handle h = os.OpenVolume('C');
    Finder* const finders[] = {&finder};
    EXPECT_TRUE(RunPass(h, ranges, finders, &checkpoints).cancelled);
    app::SetPumpMessagesHook(nullptr);
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_FALSE(saved[0].finished);
    EXPECT_EQ(saved[0].next, 16 * kMiB);
    EXPECT_TRUE(ResumesAt(ranges, saved[0]));
    EXPECT_FALSE(ResumesAt({{0, 24 * kMiB}}, PassPosition{false, 12 * kMiB, 0, 0, {}, -1}));

    app::StopScan = false;
    const PassPosition from = saved[0];
    checkpoints.from = &from;
    EXPECT_FALSE(RunPass(h, ranges, finders, &checkpoints).cancelled);
    os.CloseHandle(h);
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_TRUE(saved[1].finished);
    EXPECT_EQ(saved[1].bytesRead, 20 * kMiB);
    ASSERT_EQ(finder.fresh.size(), static_cast<std::size_t>(20 * kMiB));
    EXPECT_EQ(std::adjacent_find(finder.fresh.begin(), finder.fresh.end()), finder.fresh.end());
    EXPECT_EQ(finder.markers, std::vector<int64_t>{across});
}

TEST(NormalizeRanges, SortsMergesAlignsAndCuts) {
    struct Case {
        std::vector<ByteRange> in;
        int64_t limit;
        std::vector<std::pair<int64_t, int64_t>> out;
    };
    const Case cases[] = {
        {{{4096, 512}, {0, 1024}}, 1 << 20, {{0, 1024}, {4096, 512}}},
        {{{0, 1024}, {512, 2048}, {2560, 512}}, 1 << 20, {{0, 3072}}},
        {{{100, 1000}}, 1 << 20, {{512, 512}}},                         // inner whole sectors only
        {{{0, 4096}}, 2048, {{0, 2048}}},                               // cut at the drive's end
        {{{-512, 1024}, {8192, 0}, {INT64_MAX - 10, 5}}, 1 << 20, {}},  // nothing readable
    };
    for (const Case& c : cases) {
        std::vector<std::pair<int64_t, int64_t>> got;
        for (const ByteRange& r : NormalizeRanges(c.in, c.limit)) {
            got.emplace_back(r.offset, r.length);
        }
        EXPECT_EQ(got, c.out);
    }
}

TEST(CurrentVolume, UsedAndUnusedStretches) {
    CurrentVolume v;
    v.length = 10000;
    v.used = {{1000, 1000}, {5000, 500}};
    EXPECT_FALSE(v.InUse(0, 1000));
    EXPECT_TRUE(v.InUse(0, 1001));
    EXPECT_TRUE(v.InUse(1999, 1));
    EXPECT_FALSE(v.InUse(2000, 3000));
    EXPECT_TRUE(v.InUse(4000, 2000));
    EXPECT_FALSE(v.InUse(5500, 0));
    std::vector<std::pair<int64_t, int64_t>> unused;
    for (const ByteRange& r : v.Unused()) {
        unused.emplace_back(r.offset, r.length);
    }
    EXPECT_EQ(unused,
              (std::vector<std::pair<int64_t, int64_t>>{{0, 1000}, {2000, 3000}, {5500, 4500}}));
}

}  // namespace
}  // namespace relicta::deep
