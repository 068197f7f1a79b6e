// A failing disk, served by a FUSE file system whose reads fail with EIO on chosen sectors:
// what is listed, what is recovered byte for byte, what the manifest and the messages say, and
// how many reads failed.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>

#include "support/paths.h"

namespace relicta::test {
namespace {

namespace fs = std::filesystem;

using Sectors = std::pair<uint64_t, uint64_t>;  // first, count (512-byte sectors)

// The image with its bad sectors, mounted for the life of the object.
class FailingDisk {
  public:
    FailingDisk(const std::string& image, const std::vector<Sectors>& bad, const fs::path& dir)
        : mount_(dir / "mnt") {
        std::ofstream list(dir / "bad.txt");
        for (const auto& [first, count] : bad) {
            list << first << " " << count << "\n";
        }
        list.close();
        fs::create_directories(mount_);
        mounted_ = RunCommand(BuildDir() + "/bin/failing_fs " + image + " " +
                              (dir / "bad.txt").string() + " " + mount_.string())
                       .status == 0;
    }
    ~FailingDisk() {
        if (mounted_) {
            RunCommand("fusermount3 -u " + mount_.string() + " || umount " + mount_.string());
        }
    }
    FailingDisk(const FailingDisk&) = delete;
    FailingDisk& operator=(const FailingDisk&) = delete;

    bool Mounted() const { return mounted_; }
    std::string Image() const { return (mount_ / "image").string(); }
    int FailedReads() const { return std::stoi("0" + ReadFileBytes(mount_ / "failed-reads")); }

  private:
    fs::path mount_;
    bool mounted_ = false;
};

// Item number -> "dir\name" of each listed file.
std::map<std::string, std::string> Listed(const std::string& json) {
    std::map<std::string, std::string> files;
    for (const std::string& line : Lines(json)) {
        files[JsonField(line, "dir") + JsonField(line, "name")] = JsonField(line, "mft_or_cluster");
    }
    return files;
}

std::vector<Sectors> FirstFat(const std::string& b) {
    const uint32_t fatSectors =
        LeField(b, 0x16, 2) != 0 ? LeField(b, 0x16, 2) : LeField(b, 0x24, 4);
    return {{LeField(b, 0x0E, 2), std::min<uint32_t>(32, fatSectors)}};
}

class FailingDiskTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0 || !fs::exists("/dev/fuse") ||
            !fs::exists(BuildDir() + "/bin/failing_fs")) {
            GTEST_SKIP() << "a failing disk is served through FUSE: needs root, /dev/fuse and "
                            "libfuse3 at build time";
        }
        dir = fs::temp_directory_path() / ("relicta-failing-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override {
        if (!dir.empty()) {
            fs::remove_all(dir);
        }
    }

    CommandResult Relicta(const std::string& args) {
        return RunCommand("TZ=UTC " + RelictaBinary() + " " + args);
    }

    fs::path dir;
};

TEST_F(FailingDiskTest, UnreadableSectorsCostOnlyWhatLiesInThem) {
    struct Row {
        const char* name;
        const char* image;
        std::function<std::vector<Sectors>(const std::string&)> bad;
        int lost;          // listed files lost with them
        const char* says;  // in the messages
    };
    const auto sectorZero = [](const std::string&) { return std::vector<Sectors>{{0, 1}}; };
    const Row rows[] = {
        {"FAT12, first FAT", "fat12.img", FirstFat, 0, "The second FAT stood in"},
        {"FAT16, first FAT", "fat16.img", FirstFat, 0, "The second FAT stood in"},
        {"FAT32, first FAT", "fat32.img", FirstFat, 0, "The second FAT stood in"},
        {"FAT32, boot sector", "fat32.img", sectorZero, 0, "backup at sector 6"},
        {"exFAT, boot sector", "exfat512.img", sectorZero, 0, "backup is used"},
        {"NTFS, boot sector", "ntfs512.img", sectorZero, 0, "backup at sector 32767"},
        // Records 69 and 70 of an MFT that starts at sector 32.
        {"NTFS, two MFT records", "ntfs512.img",
         [](const std::string&) {
             return std::vector<Sectors>{{32 + 138, 4}};
         },
         2, "Lost with them: 2 MFT records."},
        // The first cluster of PHOTOS, whose deleted entries lie there.
        {"FAT16, a folder's cluster", "fat16.img",
         [](const std::string&) {
             return std::vector<Sectors>{{208, 4}};
         },
         1, "Lost with them: 1 folder"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = FixturePath(row.image);
        const std::string bytes = ReadFileBytes(path);
        const std::vector<Sectors> bad = row.bad(bytes);
        const CommandResult clean = Relicta("scan --format json " + path);
        const std::map<std::string, std::string> whole = Listed(clean.out);
        ASSERT_FALSE(whole.empty());
        const CommandResult cleanCopy =
            Relicta("recover --all --yes --to " + (dir / "clean").string() + " " + path);

        const FailingDisk disk(path, bad, dir);
        ASSERT_TRUE(disk.Mounted());
        const CommandResult scan = Relicta("scan --format json " + disk.Image());
        const std::map<std::string, std::string> listed = Listed(scan.out);
        EXPECT_EQ(scan.status, 5) << scan.err;
        EXPECT_EQ(scan.err.find("Application Internal Error"), std::string::npos) << scan.err;
        EXPECT_LE(Lines(scan.err).size(), 4u) << scan.err;
        EXPECT_NE(scan.err.find(row.says), std::string::npos) << scan.err;
        int lost = 0;
        for (const auto& [file, where] : whole) {
            lost += listed.count(file) == 0 ? 1 : 0;
        }
        EXPECT_EQ(lost, row.lost);
        EXPECT_EQ(listed.size() + static_cast<std::size_t>(lost), whole.size());

        // What is recovered is what the whole disk gives, byte for byte.
        const CommandResult copy =
            Relicta("recover --all --yes --to " + (dir / "copy").string() + " " + disk.Image());
        EXPECT_EQ(copy.err.find("Application Internal Error"), std::string::npos) << copy.err;
        for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir / "copy")) {
            if (e.is_regular_file()) {
                EXPECT_TRUE(ReadFileBytes(e.path()) ==
                            ReadFileBytes(dir / "clean" / fs::relative(e.path(), dir / "copy")))
                    << e.path();
            }
        }
        // Each bad stretch costs a bounded number of failed reads in each of the four runs.
        EXPECT_LE(disk.FailedReads(), 64 * 4 * static_cast<int>(bad.size()));
        fs::remove_all(dir / "clean");
        fs::remove_all(dir / "copy");
        (void)cleanCopy;
    }
}

}  // namespace
}  // namespace relicta::test
