// --mapfile: which image each map belongs to, what a bad map or a map without an image gives,
// and a deep scan of a reformatted volume going on past a sector ddrescue could not rescue.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/options.h"
#include "support/paths.h"

namespace relicta::cli {
namespace {

namespace fs = std::filesystem;
using test::CommandResult;
using test::RunCommand;

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string word; in >> word;) {
        words.push_back(word);
    }
    return words;
}

TEST(MapfileOption, BelongsToTheVolumeBeforeItOrElseToThePath) {
    struct Case {
        const char* line;
        std::vector<std::string> volumeMapfiles;
        std::string argumentMapfile;
        std::string error;
    };
    const Case cases[] = {
        {"scan --volume a.img --mapfile a.map", {"a.map"}, "", ""},
        {"scan --volume a.img --volume b.img --mapfile=b.map", {"", "b.map"}, "", ""},
        {"scan --volume a.img --mapfile a.map --volume b.img --mapfile b.map D:",
         {"a.map", "b.map"},
         "",
         ""},
        {"scan disk.img --mapfile disk.map", {}, "disk.map", ""},
        {"scan --mapfile disk.map --deep disk.img", {}, "disk.map", ""},
        {"scan --mapfile m --volume a.img b.img", {""}, "m", ""},
        {"scan --volume a.img --mapfile m b.img", {"m"}, "", ""},
        {"drives --mapfile disk.map", {}, "", "--mapfile disk.map maps no image"},
        {"info a.img b.img --mapfile m", {}, "", "maps no image"},
        {"scan --volume a.img --mapfile m1 --mapfile m2", {}, "", "two map files for a.img"},
        {"scan x.img --mapfile m1 --mapfile m2", {}, "", "two map files for the PATH argument"},
        {"scan --volume a.img --mapfile", {}, "", "option --mapfile needs a value"},
        {"scan --volume a.img --mapfile=", {}, "", "--mapfile needs a file name"},
    };
    for (const Case& c : cases) {
        const std::vector<std::string> args = Split(c.line);
        const CommandOptions known = OptionsOf(args[0]);
        const ParseResult r = ParseCommandLine(args, known.valued, known.flags);
        EXPECT_NE(r.error.find(c.error), std::string::npos) << c.line << ": " << r.error;
        if (c.error.empty()) {
            EXPECT_EQ(r.error, "") << c.line;
            EXPECT_EQ(r.options.volumeMapfiles, c.volumeMapfiles) << c.line;
            EXPECT_EQ(r.options.argumentMapfile, c.argumentMapfile) << c.line;
        }
    }
}

class MapfileCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::HaveTool("mkfs.fat") || !test::HaveTool("mcopy")) {
            GTEST_SKIP() << "dosfstools or mtools is not installed";
        }
        dir_ = fs::temp_directory_path() / ("relicta-mapfile-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (!dir_.empty()) {
            fs::remove_all(dir_);
        }
    }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    std::string Write(const std::string& name, const std::string& text) const {
        std::ofstream(dir_ / name) << text;
        return Path(name);
    }
    CommandResult Relicta(const std::string& args) const {
        return RunCommand("TZ=UTC " + test::RelictaBinary() + " " + args + " </dev/null");
    }

    fs::path dir_;
};

TEST_F(MapfileCommand, ABadMapOrAMapWithoutAnImageIsAUsageError) {
    const std::string image = Path("fat.img");
    ASSERT_EQ(RunCommand("mkfs.fat -C -F 16 '" + image + "' 16384").status, 0);
    const std::string bad = Write("bad.map", "0 +\n0 0x1000 +\n0x1000 0x200 x\n");
    struct Case {
        std::string args;
        std::string error;
    };
    const Case cases[] = {
        {"drives --volume " + image + " --mapfile " + bad, bad + ", line 3: unknown block status"},
        {"scan " + image + " --mapfile " + Path("none.map"), "No such file or directory"},
        {"scan --mapfile " + bad, "maps no image"},
    };
    for (const Case& c : cases) {
        const CommandResult r = Relicta(c.args);
        EXPECT_EQ(r.status, kExitUsage) << c.args;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    }
}

// A folder of files in the clusters of a volume formatted since, after a file whose sector
// ddrescue could not rescue: the deep scan reads past that sector to the folder, and says the
// result is partial.
TEST_F(MapfileCommand, TheDeepScanGoesOnPastASectorNotRescued) {
    const std::string image = Path("fat.img");
    const std::string mtools = "MTOOLS_SKIP_CHECK=1 ";
    ASSERT_EQ(RunCommand("mkfs.fat -C -F 16 '" + image + "' 16384").status, 0);
    Write("first.bin", std::string(20000, 'f'));
    ASSERT_EQ(
        RunCommand(mtools + "mcopy -i '" + image + "' '" + Path("first.bin") + "' ::/").status, 0);
    ASSERT_EQ(RunCommand(mtools + "mmd -i '" + image + "' ::/kept").status, 0);
    for (const char* name : {"one.txt", "two.txt"}) {
        Write(name, std::string(3000, name[0]));
        ASSERT_EQ(
            RunCommand(mtools + "mcopy -i '" + image + "' '" + Path(name) + "' ::/kept/").status,
            0);
    }
    ASSERT_EQ(RunCommand("mkfs.fat -F 16 '" + image + "'").status, 0);

    // The file area begins at byte 51200; first.bin's second cluster is not rescued.
    const uint64_t bad = 51200 + 2048;
    const uint64_t size = fs::file_size(image);
    const std::string map =
        Write("fat.map", "# Mapfile\n0x0 + 1\n0 " + std::to_string(bad) + " +\n" +
                             std::to_string(bad) + " 512 -\n" + std::to_string(bad + 512) + " " +
                             std::to_string(size - bad - 512) + " +\n");
    const CommandResult r = Relicta("scan --deep --volume " + image + " --mapfile " + map);
    EXPECT_EQ(r.status, kExitPartial) << r.err;
    EXPECT_NE(r.out.find("one.txt"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("two.txt"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("Drive C: 1 sector could not be read"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("sector 104,"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace relicta::cli
