#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/drive_table.h"
#include "platform/last_error.h"
#include "platform/linux_platform.h"
#include "platform/scripted_platform.h"
#include "support/paths.h"

namespace relicta::platform {
namespace {

namespace fs = std::filesystem;

class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/relicta-drives-XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~TempDir() { fs::remove_all(path_); }
    fs::path operator/(const std::string& name) const { return path_ / name; }
    void Write(const std::string& name, const std::string& text) const {
        fs::create_directories((path_ / name).parent_path());
        std::ofstream(path_ / name) << text;
    }

  private:
    fs::path path_;
};

TEST(DriveTable, RefusesWhatCannotBeAVolume) {
    TempDir dir;
    dir.Write("empty.img", "");
    dir.Write("small.img", std::string(100, 'x'));
    struct Case {
        std::string spec;
        std::string reason;
    };
    const Case cases[] = {
        {(dir / "missing.img").string(), "No such file or directory"},
        {(dir / "").string(), "is a directory"},
        {(dir / "empty.img").string(), "too small to hold a volume (0 bytes)"},
        {(dir / "small.img").string(), "too small to hold a volume (100 bytes)"},
        {"/dev/null", "not an image file or block device"},
        {"", "no path given"},
    };
    for (const Case& c : cases) {
        DriveTable table;
        const AttachResult r = table.Attach(c.spec);
        EXPECT_FALSE(r.ok()) << c.spec;
        EXPECT_NE(r.error.find(c.reason), std::string::npos) << r.error;
        EXPECT_TRUE(table.Letters().empty());
    }
}

TEST(DriveTable, LettersAreGivenInOrderFromC) {
    DriveTable table;
    const std::string image = test::FixturePath("fat16.img");
    EXPECT_EQ(table.Attach(image).letters, std::vector<char>{'C'});
    EXPECT_EQ(table.Attach("e=" + image).letters, std::vector<char>{'E'});
    EXPECT_EQ(table.Attach(image).letters, std::vector<char>{'D'});
    EXPECT_EQ(table.Attach(image).letters, std::vector<char>{'F'});
    EXPECT_EQ(table.Attach("A=" + image).letters, std::vector<char>{'A'});
    const AttachResult taken = table.Attach("C=" + image);
    EXPECT_NE(taken.error.find("drive C: is already attached"), std::string::npos);
    const DriveSource* c = table.Find('c');
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->path, image);
    EXPECT_EQ(c->offset, 0u);
    EXPECT_EQ(c->length, 16u << 20);
    EXPECT_EQ(table.Find('Z'), nullptr);
}

TEST(DriveTable, RunsOutOfLettersCleanly) {
    DriveTable table;
    const std::string image = test::FixturePath("fat12.img");
    for (int i = 0; i < 24; ++i) {
        ASSERT_TRUE(table.Attach(image).ok());
    }
    EXPECT_EQ(table.Attach(image).error, "no free drive letter left");
    DriveTable fresh;
    EXPECT_NE(fresh.Attach("Z=" + test::FixturePath("mbr.img"))
                  .error.find("not enough drive letters from Z:"),
              std::string::npos);
}

TEST(DriveTable, PartitionedImagesGiveOneLetterPerVolume) {
    struct Case {
        const char* image;
        std::vector<std::pair<uint64_t, std::string>> volumes;  // offset, file-system name
    };
    const Case cases[] = {
        {"mbr.img", {{2048ull * 512, "FAT32"}, {(2048ull + 81920) * 512, "NTFS"}}},
        {"gpt.img", {{2048ull * 512, "FAT"}, {(2048ull + 32768) * 512, "NTFS"}}},
        {"ntfs4k.img", {{0, "NTFS"}}},
        {"fat32.img", {{0, "FAT32"}}},  // its boot sector's own partition table is not a disk's
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.image);
        DriveTable table;
        LinuxPlatform os(table);
        const AttachResult r = table.Attach("D=" + test::FixturePath(c.image));
        ASSERT_TRUE(r.ok()) << r.error;
        ASSERT_EQ(r.letters.size(), c.volumes.size());
        for (std::size_t i = 0; i < c.volumes.size(); ++i) {
            EXPECT_EQ(r.letters[i], 'D' + static_cast<int>(i));
            const DriveSource* source = table.Find(r.letters[i]);
            EXPECT_EQ(source->offset, c.volumes[i].first);
            EXPECT_EQ(os.GetFileSystemName(r.letters[i]).value_or("?"), c.volumes[i].second);
            EXPECT_EQ(os.GetDriveType(r.letters[i]), DriveType::Fixed);
        }
    }
}

TEST(LinuxPlatform, ReadsAreConfinedToTheVolume) {
    DriveTable table;
    LinuxPlatform os(table);
    ASSERT_TRUE(table.Attach(test::FixturePath("mbr.img")).ok());  // C: FAT32, D: NTFS
    const Handle h = os.OpenVolume('D');
    ASSERT_TRUE(IsOpenHandle(h));
    std::vector<uint8_t> buffer(8192);
    std::size_t n = 0;
    ASSERT_TRUE(os.ReadAt(h, 0, buffer, n));
    EXPECT_EQ(n, buffer.size());
    EXPECT_EQ(std::string(buffer.begin() + 3, buffer.begin() + 11), "NTFS    ");
    const int64_t length = static_cast<int64_t>(table.Find('D')->length);
    ASSERT_TRUE(os.ReadAt(h, length - 100, buffer, n));
    EXPECT_EQ(n, 100u);  // stops at the partition's end, not the disk's
    ASSERT_TRUE(os.ReadAt(h, length + 5, buffer, n));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(os.ReadAt(h, -1, buffer, n));
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
    EXPECT_TRUE(os.CloseHandle(h));
    EXPECT_FALSE(os.CloseHandle(h));
    EXPECT_FALSE(IsOpenHandle(os.OpenVolume('Q')));
    EXPECT_EQ(os.GetDriveType('Q'), DriveType::NoRootDir);
}

TEST(LinuxPlatform, UnrecognisedContentHasNoFileSystemName) {
    TempDir dir;
    dir.Write("noise.img", std::string(1 << 16, '\x5a'));
    DriveTable table;
    LinuxPlatform os(table);
    ASSERT_TRUE(table.Attach((dir / "noise.img").string()).ok());
    EXPECT_FALSE(os.GetFileSystemName('C').has_value());
    EXPECT_EQ(GetLastError(), kErrorWrongDisk);
    EXPECT_FALSE(os.GetDiskFreeSpace('C').has_value());
    EXPECT_EQ(GetLastError(), 0);  // images report no free space, and no error either
}

// A copy of fixture `image` with `length` bytes zeroed at `offset`.
std::string DamagedCopy(const TempDir& dir, const std::string& image, uint64_t offset,
                        std::size_t length) {
    const std::string copy = (dir / image).string();
    fs::copy_file(test::FixturePath(image), copy);
    std::fstream(copy, std::ios::in | std::ios::out | std::ios::binary)
        .seekp(static_cast<std::streamoff>(offset))
        .write(std::string(length, '\0').data(), static_cast<std::streamsize>(length));
    return copy;
}

// What is left of a disk whose table or boot sector is gone is still a drive: unknown, for
// the deep scan to read.
TEST(DriveTable, AttachesWhatHoldsNoFileSystemAsUnknown) {
    constexpr uint64_t kTableOffset = 446;  // the MBR's four entries and its signature
    constexpr uint64_t kFirstPartition = 2048ull * 512;
    struct Case {
        std::string name;
        std::function<std::string(const TempDir&)> make;
        std::vector<std::pair<uint64_t, std::string>> volumes;  // offset, listed file system
    };
    const Case cases[] = {
        {"noise",
         [](const TempDir& dir) {
             std::string noise(1 << 20, '\0');
             uint32_t x = 12345;
             for (char& c : noise) {
                 x = x * 1103515245 + 12345;
                 c = static_cast<char>(x >> 24);
             }
             dir.Write("noise.img", noise);
             return (dir / "noise.img").string();
         },
         {{0, kUnknownFileSystem}}},
        {"partition table zeroed",
         [](const TempDir& dir) { return DamagedCopy(dir, "mbr.img", kTableOffset, 66); },
         {{0, kUnknownFileSystem}}},
        {"first boot sector zeroed: named from its backup",
         [](const TempDir& dir) { return DamagedCopy(dir, "mbr.img", kFirstPartition, 512); },
         {{kFirstPartition, "FAT32"}, {(2048ull + 81920) * 512, "NTFS"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        DriveTable table;
        LinuxPlatform os(table);
        const AttachResult r = table.Attach(c.make(dir));
        ASSERT_TRUE(r.ok()) << r.error;
        ASSERT_EQ(r.letters.size(), c.volumes.size());
        for (std::size_t i = 0; i < c.volumes.size(); ++i) {
            EXPECT_EQ(table.Find(r.letters[i])->offset, c.volumes[i].first);
            EXPECT_EQ(ListedFileSystemName(os, r.letters[i]).value_or("?"), c.volumes[i].second);
        }
    }
}

// Only a drive where nothing was recognised is unknown; a failed query stays a failure.
TEST(DriveTable, ListedFileSystemNameTellsUnknownFromUnreadable) {
    ScriptedPlatform os;
    os.Drive('C').fileSystemName = "NTFS";
    os.Drive('D').fileSystemError = kErrorWrongDisk;
    os.Drive('E').fileSystemError = kErrorNotReady;
    EXPECT_EQ(ListedFileSystemName(os, 'C'), "NTFS");
    EXPECT_EQ(ListedFileSystemName(os, 'D'), kUnknownFileSystem);
    EXPECT_EQ(ListedFileSystemName(os, 'E'), std::nullopt);
    EXPECT_EQ(GetLastError(), kErrorNotReady);
}

TEST(DriveTable, DiscoversDisksAndPartitionsFromSysfs) {
    TempDir sys;
    sys.Write("sda/removable", "0\n");
    sys.Write("sda/size", "1000\n");
    sys.Write("sda/sda2/partition", "2\n");
    sys.Write("sda/sda2/size", "400\n");
    sys.Write("sda/sda1/partition", "1\n");
    sys.Write("sda/sda1/size", "500\n");
    sys.Write("sdb/removable", "1\n");
    sys.Write("sdb/size", "0\n");  // a card reader without a card
    sys.Write("sr0/removable", "1\n");
    sys.Write("sr0/size", "0\n");
    sys.Write("loop0/removable", "0\n");
    sys.Write("loop0/size", "0\n");
    sys.Write("ram0/size", "8192\n");
    DriveTable table;
    table.DiscoverBlockDevices((sys / "").string(), "/dev");
    ASSERT_EQ(table.Letters(), (std::vector<char>{'C', 'D', 'E', 'F'}));
    EXPECT_EQ(table.Find('C')->path, "/dev/sda1");
    EXPECT_EQ(table.Find('C')->length, 500u * 512);
    EXPECT_EQ(table.Find('D')->path, "/dev/sda2");
    EXPECT_EQ(table.Find('E')->path, "/dev/sdb");
    EXPECT_TRUE(table.Find('E')->removable);
    EXPECT_TRUE(table.Find('F')->cdrom);
    LinuxPlatform os(table);
    EXPECT_EQ(os.GetDriveType('E'), DriveType::Removable);
    EXPECT_EQ(os.GetDriveType('F'), DriveType::CdRom);
    EXPECT_TRUE(os.IsBlockDevice('C'));
}

TEST(ParseDriveLetter, AcceptsTheThreeForms) {
    const std::pair<std::string, std::optional<char>> cases[] = {
        {"c", 'C'},           {"C:", 'C'},           {"d:\\", 'D'},        {"", std::nullopt},
        {"CD", std::nullopt}, {"C:/", std::nullopt}, {"1:", std::nullopt}, {"C:\\x", std::nullopt},
    };
    for (const auto& [text, letter] : cases) {
        EXPECT_EQ(ParseDriveLetter(text), letter) << text;
    }
}

}  // namespace
}  // namespace relicta::platform
