// Recovery over sectors that cannot be read, made unreadable by a ddrescue map: the files that
// cross them are left out (or, with --partial, written with zeros exactly there), the rest are
// whole, and the user is told once.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "support/paths.h"

namespace relicta::test {
namespace {

namespace fs = std::filesystem;

// Where a FAT16 file's first cluster begins.
uint64_t FatClusterOffset(const std::string& image, uint64_t cluster) {
    const uint64_t bytesPerSector = LeField(image, 0x0B, 2);
    const uint64_t fatArea =
        LeField(image, 0x0E, 2) + uint64_t{LeField(image, 0x10, 1)} * LeField(image, 0x16, 2);
    const uint64_t rootSectors =
        (LeField(image, 0x11, 2) * 32 + bytesPerSector - 1) / bytesPerSector;
    return (fatArea + rootSectors + (cluster - 2) * LeField(image, 0x0D, 1)) * bytesPerSector;
}

// Where an NTFS file's data begins, by The Sleuth Kit's istat.
uint64_t NtfsDataOffset(const std::string& path, const std::string& image,
                        const std::string& record) {
    const CommandResult istat = RunCommand("istat " + path + " " + record);
    const std::size_t runs = istat.out.rfind("$DATA");
    const std::size_t line = istat.out.find('\n', runs);
    return std::stoull(istat.out.substr(line + 1)) * LeField(image, 0x0B, 2) *
           LeField(image, 0x0D, 1);
}

class UnreadableRecoverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("relicta-unreadable-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    CommandResult Recover(const std::string& image, const std::string& extra,
                          const std::string& to) {
        return RunCommand("TZ=UTC " + RelictaBinary() + " recover --all --yes --to " +
                          (dir / to).string() + " --manifest " + (dir / (to + ".json")).string() +
                          " " + extra + " " + image);
    }

    fs::path dir;
};

TEST_F(UnreadableRecoverTest, FilesCrossingThemAreLeftOutOrWrittenWithZerosThere) {
    struct Case {
        const char* image;
        const char* listed;  // a deleted file of the fixture, some KiB long
        const char* file;    // as it is recovered
        bool ntfs;
    };
    const Case cases[] = {{"fat16.img", "?IG.BIN", "~IG.BIN", false},
                          {"ntfs512.img", "big.bin", "big.bin", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image);
        if (c.ntfs && !HaveTool("istat")) {
            GTEST_SKIP() << "istat (sleuthkit) is needed to find the file's clusters";
        }
        const std::string path = FixturePath(c.image);
        const CommandResult scan = RunCommand(RelictaBinary() + " scan --format json --pattern '*" +
                                              std::string(c.listed + 1) + "' " + path);
        const std::string line = Lines(scan.out).empty() ? "" : Lines(scan.out)[0];
        ASSERT_EQ(JsonField(line, "name"), c.listed) << scan.out << scan.err;
        const std::string where = JsonField(line, "mft_or_cluster");
        const std::string image = ReadFileBytes(path);
        const uint64_t data = c.ntfs ? NtfsDataOffset(path, image, where)
                                     : FatClusterOffset(image, std::stoull(where));
        // Two sectors from the file's 1024th byte on were not rescued.
        const uint64_t bad = data + 1024;
        std::ofstream(dir / "map") << "# Mapfile\n0x0 +\n0x0 " << bad << " +\n"
                                   << bad << " 1024 -\n"
                                   << bad + 1024 << " " << image.size() - bad - 1024 << " +\n";
        const std::string mapped = "--volume " + path + " --mapfile " + (dir / "map").string();

        const std::string run = c.image;
        const CommandResult clean = Recover(path, "", run + "-clean");
        const CommandResult left = Recover(mapped + " C:", "", run + "-left");
        const CommandResult partial = Recover(mapped + " C:", "--partial", run + "-partial");
        for (const CommandResult* r : {&left, &partial}) {
            EXPECT_EQ(r->err.find("Application Internal Error"), std::string::npos) << r->err;
            EXPECT_EQ(r->err.find("System Error"), std::string::npos) << r->err;
            // Told at the end of the scan and of the recovery, in a few lines.
            EXPECT_LE(Lines(r->err).size(), Lines(clean.err).size() + 6) << r->err;
            const std::size_t first = r->err.find("Unreadable Sectors");
            EXPECT_NE(first, std::string::npos) << r->err;
        }
        EXPECT_EQ(left.status, 4) << left.err;
        EXPECT_EQ(partial.status, 5) << partial.err;

        const std::string whole = ReadFileBytes(dir / (run + "-clean") / c.file);
        ASSERT_GT(whole.size(), 2048u);
        EXPECT_FALSE(fs::exists(dir / (run + "-left") / c.file));
        std::string expected = whole;
        std::fill(expected.begin() + 1024, expected.begin() + 2048, '\0');
        EXPECT_TRUE(ReadFileBytes(dir / (run + "-partial") / c.file) == expected);

        const std::string missing = "\"missing\":[[1024,1024]]";
        for (const char* kind : {"left", "partial"}) {
            const std::string to = run + "-" + kind;
            const std::string manifest = ReadFileBytes(dir / (to + ".json"));
            const std::string result =
                std::string("\"result\":\"") + (kind[0] == 'l' ? "unreadable" : "partial") + "\"";
            EXPECT_NE(manifest.find(result + "," + missing), std::string::npos) << manifest;
            // Every other file came back as from the whole image.
            for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir / to)) {
                if (e.is_regular_file() && e.path().filename() != c.file) {
                    EXPECT_TRUE(
                        ReadFileBytes(e.path()) ==
                        ReadFileBytes(dir / (run + "-clean") / fs::relative(e.path(), dir / to)))
                        << e.path();
                }
            }
        }
    }
}

}  // namespace
}  // namespace relicta::test
