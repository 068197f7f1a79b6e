// GNU ddrescue map files: what they say was not rescued, what is refused, and an image read
// through one failing exactly there, at a partition's offset too.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <limits>

#include "platform/drive_table.h"
#include "platform/image_source.h"
#include "platform/last_error.h"
#include "platform/linux_platform.h"
#include "platform/rescue_map.h"
#include "platform/rescued_source.h"
#include "platform/unreadable.h"
#include "support/paths.h"

namespace relicta::platform {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kEverything = std::numeric_limits<int64_t>::max();

// The runs not rescued up to the last one, which reaches past any disk.
ByteRun ToTheEnd(int64_t from) {
    return {from, static_cast<uint64_t>(kEverything - from)};
}

TEST(RescueMap, ReadsWhatWasNotRescued) {
    struct Case {
        const char* name;
        const char* text;
        std::vector<ByteRun> notRescued;
    };
    const Case cases[] = {
        {"every status, hex, comments",
         "# Mapfile. Created by GNU ddrescue version 1.27\n"
         "# current_pos  current_status  current_pass\n"
         "0x00001600     *               2\n"
         "#      pos        size  status\n"
         "0x00000000  0x00001000  +\n"
         "0x00001000  0x00000200  -\n"
         "0x00001200  0x00000200  /\n"
         "0x00001400  0x00000200  +   # rescued at last\n"
         "0x00001600  0x00000400  *\n"
         "0x00001A00  0x00000200  ?\n"
         "0x00001C00  0x00000400  +\n",
         {{0x1000, 0x400}, {0x1600, 0x600}, ToTheEnd(0x2000)}},
        {"decimal, octal, an old status line, a gap",
         "0 +\n0 4096 +\n\n4608 01000 +\n  5120\t512\t+\r\n",
         {{4096, 512}, ToTheEnd(5632)}},
        {"nothing copied yet", "0x0 ? 1\n", {ToTheEnd(0)}},
        {"a whole disk", "0 + 1\n0 0x100000 +", {ToTheEnd(0x100000)}},
    };
    for (const Case& c : cases) {
        const LoadedRescueMap loaded = ParseRescueMap("disk.map", c.text);
        ASSERT_TRUE(loaded.map) << c.name << ": " << loaded.error;
        EXPECT_EQ(loaded.map->NotRescued(), c.notRescued) << c.name;
    }
}

TEST(RescueMap, RefusesWhatIsNoMapNamingTheLine) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"", "disk.map, no status line"},
        {"# only comments\n", "disk.map, no status line"},
        {"0x0 X 1\n", "disk.map, line 1: not a GNU ddrescue status line"},
        {"0x0 + 0\n", "line 1: not a GNU ddrescue status line"},
        {"\x7f"
         "ELF\x02\x01\n",
         "line 1: not a GNU ddrescue status line"},
        {"0 +\n0 0x1000\n", "line 2: a block line has a position, a size and a status, not 2"},
        {"0 +\n0 0x10G0 +\n", "line 2: the position or size 0x10G0"},
        {"0 +\n-512 512 -\n", "line 2: the position or size -512"},
        {"0 +\n0 09 +\n", "line 2: the position or size 09"},
        {"0 +\n0 0x1000 F\n", "line 2: unknown block status F"},
        {"0 +\n0 0x1000 +#\n", "line 2: unknown block status +#"},
        {"0 +\n0 0x1000 +\n0x800 0x1000 -\n", "line 3: the block begins before"},
        {"0 +\n0 0xFFFFFFFFFFFFFFFFFF +\n", "line 2: the position or size 0xFFFFFFFFFFFFFFFFFF"},
        {"0 +\n0x7FFFFFFFFFFFFF00 0x200 +\n", "line 2: the block ends past"},
    };
    for (const Case& c : cases) {
        const LoadedRescueMap loaded = ParseRescueMap("disk.map", c.text);
        EXPECT_FALSE(loaded.map) << c.text;
        EXPECT_NE(loaded.error.find(c.error), std::string::npos) << loaded.error;
    }
}

TEST(RescueMap, BoundsTheBlocksItHolds) {
    std::string text = "0 +\n";
    for (std::size_t i = 0; i <= kMaxRescueMapBlocks; ++i) {
        text += std::to_string(i * 2) + " 1 +\n";
    }
    const LoadedRescueMap loaded = ParseRescueMap("disk.map", text);
    EXPECT_FALSE(loaded.map);
    EXPECT_NE(loaded.error.find("more than"), std::string::npos) << loaded.error;
}

class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/relicta-map-XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path_ / name, std::ios::binary) << bytes;
        return (path_ / name).string();
    }

  private:
    fs::path path_;
};

TEST(RescueMap, LoadsAFileAndSaysWhyNot) {
    TempDir dir;
    const std::string good = dir.Write("good.map", "0 +\n0 512 +\n");
    EXPECT_TRUE(LoadRescueMap(good).map);
    const std::string bad = dir.Write("bad.map", "0 +\n0 512 +\n512 x +\n");
    EXPECT_EQ(LoadRescueMap(bad).error, bad +
                                            ", line 3: the position or size x is not a number "
                                            "ddrescue writes");
    EXPECT_NE(LoadRescueMap(dir.Write("missing", "") + ".map").error.find("No such file"),
              std::string::npos);
}

// An image of numbered bytes, of which 0x400-0x5FF and everything from 0x1000 on were not
// rescued: reads touching them fail, or read as zeros for a probe.
TEST(RescuedSource, FailsExactlyWhereNothingWasRescued) {
    TempDir dir;
    std::string bytes(0x1400, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<char>(1 + i % 251);
    }
    const std::string image = dir.Write("disk.img", bytes);
    const auto map = ParseRescueMap("disk.map", "0 +\n0 0x400 +\n0x400 0x200 -\n0x600 0xA00 +\n");
    ASSERT_TRUE(map.map);
    struct Case {
        uint64_t offset;
        std::size_t size;
        bool fails;
    };
    const Case cases[] = {
        {0, 0x400, false}, {0x200, 0x201, true},  {0x5FF, 1, true},       {0x600, 0xA00, false},
        {0xFFF, 2, true},  {0x1200, 0x100, true}, {0x1400, 0x200, false},  // past the image
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.offset);
        std::unique_ptr<ImageSource> failing =
            WithRescueMap(OpenImage(image).source, map.map, NotRescuedReads::Fail);
        std::unique_ptr<ImageSource> zeroing =
            WithRescueMap(OpenImage(image).source, map.map, NotRescuedReads::AsZeros);
        std::vector<uint8_t> out(c.size, 0xEE);
        std::size_t n = 0;
        SetLastError(0);
        EXPECT_EQ(failing->ReadAt(c.offset, out, n), !c.fails);
        EXPECT_EQ(GetLastError(), c.fails ? EIO : 0);
        ASSERT_TRUE(zeroing->ReadAt(c.offset, out, n));
        for (std::size_t i = 0; i < n; ++i) {
            const uint64_t at = c.offset + i;
            const bool rescued = at < 0x400 || (at >= 0x600 && at < 0x1000);
            ASSERT_EQ(out[i], rescued ? static_cast<uint8_t>(bytes[at]) : 0) << at;
        }
    }
}

// The map counts in bytes of the whole disk image; a partition's volume reads at its offset.
TEST(RescuedSource, AVolumeOfAPartitionFailsWhereTheDiskWasNotRescued) {
    const std::string image = test::FixturePath("mbr.img");
    const uint64_t ntfsStart = (2048ull + 81920) * 512;  // the second partition
    const uint64_t badInside = 60 * 512;
    TempDir dir;
    const uint64_t bad = ntfsStart + badInside;
    const std::string mapText = "0 +\n0 " + std::to_string(bad) + " +\n" + std::to_string(bad) +
                                " 1024 -\n" + std::to_string(bad + 1024) + " " +
                                std::to_string(fs::file_size(image) - bad - 1024) + " +\n";
    const LoadedRescueMap loaded = LoadRescueMap(dir.Write("mbr.map", mapText));
    ASSERT_TRUE(loaded.map) << loaded.error;
    DriveTable table;
    LinuxPlatform os(table);
    const AttachResult attached = table.Attach(image, std::nullopt, loaded.map);
    ASSERT_EQ(attached.letters, (std::vector<char>{'C', 'D'})) << attached.error;
    EXPECT_EQ(table.Find('D')->offset, ntfsStart);
    EXPECT_EQ(os.GetFileSystemName('C').value_or("?"), "FAT32");
    EXPECT_EQ(os.GetFileSystemName('D').value_or("?"), "NTFS");
    EXPECT_NE(table.Find('D')->Describe().find("mbr.map: 1024 bytes not rescued"),
              std::string::npos)
        << table.Find('D')->Describe();

    const Handle h = os.OpenVolume('D');
    ASSERT_TRUE(IsOpenHandle(h));
    std::vector<uint8_t> buffer(64 * 1024);
    UnreadableRuns runs;
    const ReadOutcome outcome =
        ReadAroundUnreadable(os, h, 0, std::span<uint8_t>(buffer).first(buffer.size()), runs);
    EXPECT_EQ(outcome.covered, buffer.size());
    EXPECT_EQ(outcome.unreadable, 1024u);
    EXPECT_EQ(runs.All(), (std::vector<ByteRun>{{static_cast<int64_t>(badInside), 1024}}));
    EXPECT_EQ(std::string(buffer.begin() + 3, buffer.begin() + 11), "NTFS    ");
    os.CloseHandle(h);

    // C: lies before the stretch and reads whole.
    const Handle c = os.OpenVolume('C');
    UnreadableRuns none;
    EXPECT_TRUE(ReadAroundUnreadable(os, c, 0, buffer, none).Whole(buffer.size()));
    os.CloseHandle(c);
}

}  // namespace
}  // namespace relicta::platform
