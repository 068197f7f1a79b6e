#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "e2e/drives_output.h"
#include "support/paths.h"

namespace relicta::test {
namespace {

CommandResult Drives(const std::string& args) {
    return RunCommand(RelictaBinary() + " drives " + args);
}

struct Expected {
    uint64_t offset;
    const char* fsName;
    Geometry geometry;
};

// Figures read off fsstat when the fixtures were made.
TEST(DrivesCommand, ReportsTheGeometryOfEveryFixture) {
    const std::pair<const char*, std::vector<Expected>> cases[] = {
        {"fat12.img", {{0, "FAT", {"FAT12", 512, 2847}}}},
        {"fat16.img", {{0, "FAT", {"FAT16", 2048, 8167}}}},
        {"fat32.img", {{0, "FAT32", {"FAT32", 512, 80628}}}},
        {"ntfs512.img", {{0, "NTFS", {"NTFS", 512, 32767, 1024, 32}}}},
        {"ntfs4k.img", {{0, "NTFS", {"NTFS", 4096, 6143, 1024, 4}}}},
        {"ntfs4ksec.img", {{0, "NTFS", {"NTFS", 4096, 6143, 4096, 4}}}},
        {"mbr.img",
         {{1048576, "FAT32", {"FAT32", 512, 80628}},
          {42991616, "NTFS", {"NTFS", 4096, 4095, 1024, 4}}}},
        {"gpt.img",
         {{1048576, "FAT", {"FAT16", 2048, 8167}},
          {17825792, "NTFS", {"NTFS", 4096, 4095, 1024, 4}}}},
        {"exfat4k.img", {{0, "exFAT", {"exFAT", 4096, 7680}}}},
        {"exfat512.img", {{0, "exFAT", {"exFAT", 512, 28672}}}},
        // A partition typed 0x83 (Linux) is an exFAT drive by its content.
        {"exfatmbr.img", {{1048576, "exFAT", {"exFAT", 4096, 3584}}}},
    };
    for (const auto& [image, expected] : cases) {
        SCOPED_TRACE(image);
        const CommandResult r = Drives("--volume C=" + FixturePath(image));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const std::vector<DriveLine> drives = ParseDrives(r.out);
        ASSERT_EQ(drives.size(), expected.size()) << r.out;
        for (std::size_t i = 0; i < drives.size(); ++i) {
            EXPECT_EQ(drives[i].letter, 'C' + static_cast<int>(i));
            EXPECT_EQ(drives[i].offset, expected[i].offset);
            EXPECT_EQ(drives[i].fsName, expected[i].fsName);
            ASSERT_TRUE(drives[i].geometry) << r.out;
            EXPECT_EQ(*drives[i].geometry, expected[i].geometry);
        }
    }
}

TEST(DrivesCommand, AgreesWithFsstat) {
    if (!HaveTool("fsstat")) {
        GTEST_SKIP() << "The Sleuth Kit is not installed";
    }
    for (const char* image : {"fat12.img", "fat16.img", "fat32.img", "ntfs512.img", "ntfs4k.img",
                              "ntfs4ksec.img", "mbr.img", "gpt.img"}) {
        SCOPED_TRACE(image);
        const CommandResult r = Drives("--volume " + FixturePath(image));
        for (const DriveLine& d : ParseDrives(r.out)) {
            const std::optional<Geometry> tsk = FsstatGeometry(FixturePath(image), d.offset);
            ASSERT_TRUE(tsk);
            ASSERT_TRUE(d.geometry);
            EXPECT_EQ(*d.geometry, *tsk);
        }
    }
}

TEST(DrivesCommand, BadInputGivesOneLineNamingThePathAndStatus2) {
    struct Case {
        std::string args;
        std::string message;
    };
    const Case cases[] = {
        {"--volume /no/such/image.img", "relicta: /no/such/image.img: No such file or directory\n"},
        {"--volume /tmp", "relicta: /tmp: is a directory, not an image file or block device\n"},
        {"--volume /dev/null", "relicta: /dev/null: not an image file or block device\n"},
        {"--volume", "relicta: option --volume needs a value\n"},
        {"--bogus", "relicta: unknown option --bogus\n"},
        {"--on-check=maybe", "relicta: --on-check takes ask, abort or ignore, not maybe\n"},
    };
    for (const Case& c : cases) {
        const CommandResult r = Drives(c.args);
        EXPECT_EQ(r.status, 2) << c.args;
        EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), c.message);
        EXPECT_EQ(r.out, "");
    }
}

// Help goes to stdout with status 0; a usage error is one line and a hint, status 2; the
// destination of a recovery is checked before anything is read.
TEST(CommandLine, HelpVersionAndUsageErrors) {
    const std::string fat12 = " " + FixturePath("fat12.img");
    struct Case {
        std::string args;
        int status;
        std::string out;  // a regular expression the whole of stdout matches
        std::string err;  // stderr exactly
    };
    const Case cases[] = {
        {"--version", 0,
         "relicta \\d+\\.\\d+\\.\\d+\ndisk images: raw, split raw, E01, VHD, VHDX, VMDK, QCOW2\n",
         ""},
        {"scan --help", 0, "usage: relicta scan [^]*--pattern P[^]*--format F[^]*--output FILE[^]*",
         ""},
        {"recover -h", 0, "usage: relicta recover [^]*--to DIR[^]*--keep-paths[^]*--yes[^]*", ""},
        {"scan --bogus", 2, "", "relicta: unknown option --bogus\nTry 'relicta scan --help'.\n"},
        {"frobnicate", 2, "", "relicta: unknown command frobnicate\nTry 'relicta --help'.\n"},
        {"recover --all" + fat12, 2, "",
         "relicta: recover needs --to DIR and --item N or --all\nTry 'relicta recover --help'.\n"},
        {"recover --all --to /etc/passwd" + fat12, 2, "",
         "relicta: cannot recover into /etc/passwd: /etc/passwd is not a directory\n"},
        {"recover --all --to /etc/passwd/sub" + fat12, 2, "",
         "relicta: cannot recover into /etc/passwd/sub: /etc/passwd is not a directory\n"},
    };
    for (const Case& c : cases) {
        const CommandResult r = RunCommand(RelictaBinary() + " " + c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_TRUE(std::regex_match(r.out, std::regex(c.out))) << c.args << "\n" << r.out;
        EXPECT_EQ(r.err, c.err) << c.args;
    }
    const std::string gui = BuildDir() + "/bin/relicta-gui";
    if (::access(gui.c_str(), X_OK) == 0) {
        const CommandResult r =
            RunCommand("env -u DISPLAY -u WAYLAND_DISPLAY " + gui + " --version");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.out.starts_with("relicta ")) << r.out;
    }
}

TEST(DrivesCommand, AVolumeWithoutAFileSystemIsReadLeniently) {
    char path[] = "/tmp/relicta-zero-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_EQ(::ftruncate(fd, 1 << 20), 0);
    ::close(fd);
    const CommandResult ignore = Drives(std::string("--on-check=ignore --volume ") + path);
    EXPECT_EQ(ignore.status, 3) << ignore.err;  // done, but checks failed and were ignored
    EXPECT_NE(ignore.err.find("RAW: This is an unknown or raw file system!\n"), std::string::npos);
    EXPECT_NE(
        ignore.err.find(
            "Application Internal Error: Internal Program consistency check failed.\nIn RawIO at "),
        std::string::npos);
    EXPECT_NE(ignore.out.find("(lenient)"), std::string::npos);

    const CommandResult abort = Drives(std::string("--on-check=abort --volume ") + path);
    EXPECT_EQ(abort.status, 1);
    std::remove(path);
}

// A disk whose partition table was zeroed is one drive of unknown file system, which only
// the deep scan reads.
TEST(DrivesCommand, ADiskWithoutItsPartitionTableIsOneUnknownDrive) {
    char path[] = "/tmp/relicta-notable-XXXXXX";
    ::close(::mkstemp(path));
    const std::string image = path;
    ASSERT_EQ(RunCommand("cp '" + FixturePath("mbr.img") + "' " + image +
                         " && dd if=/dev/zero of=" + image +
                         " bs=1 seek=446 count=66 conv=notrunc status=none")
                  .status,
              0);
    const CommandResult r = Drives("--on-check=ignore --volume " + image);
    const std::vector<DriveLine> drives = ParseDrives(r.out);
    ASSERT_EQ(drives.size(), 1u) << r.out;
    EXPECT_EQ(drives[0].offset, 0u);
    EXPECT_EQ(drives[0].fsName, "unknown");
    EXPECT_NE(r.out.find("; only scan --deep reads it\n"), std::string::npos) << r.out;
    const CommandResult deep =
        RunCommand(RelictaBinary() + " scan --deep --on-check=ignore " + image);
    EXPECT_EQ(deep.status, 0) << deep.err;
    std::remove(path);
}

TEST(DrivesCommand, NeverWritesToTheSource) {
    const std::string image = FixturePath("mbr.img");
    const std::string before = RunCommand("sha256sum '" + image + "'").out;
    EXPECT_EQ(Drives("--volume " + image).status, 0);
    EXPECT_EQ(RunCommand("sha256sum '" + image + "'").out, before);
}

}  // namespace
}  // namespace relicta::test
