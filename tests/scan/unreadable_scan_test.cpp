#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "ntfs/ntfs_harness.h"
#include "scan/found_files.h"
#include "scan/scan_driver.h"
#include "support/exfat_builder.h"
#include "support/fat_builder.h"
#include "support/paths.h"
#include "view/found_file_list.h"

namespace relicta::scan {
namespace {

using platform::ByteRun;

std::vector<uint8_t> ReadImage(const std::string& name) {
    const std::string bytes = test::ReadFileBytes(test::FixturePath(name));
    return {bytes.begin(), bytes.end()};
}

// Up to 32 sectors of the first FAT, none of the second.
ByteRun FirstFatSectors(const std::vector<uint8_t>& volume) {
    const std::string b(volume.begin(), volume.begin() + 512);
    const uint32_t bytesPerSector = test::LeField(b, 0x0B, 2);
    const uint32_t fatSectors =
        test::LeField(b, 0x16, 2) != 0 ? test::LeField(b, 0x16, 2) : test::LeField(b, 0x24, 4);
    return {int64_t{test::LeField(b, 0x0E, 2)} * bytesPerSector,
            uint64_t{std::min<uint32_t>(32, fatSectors)} * bytesPerSector};
}

class UnreadableScanTest : public test::NtfsHarness {
  protected:
    std::set<std::string> Scan(const std::vector<uint8_t>& bytes, const std::string& fileSystem,
                               std::vector<ByteRun> bad) {
        platform::ScriptedDrive& drive = AddDrive('C', bytes, 0, fileSystem);
        drive.badRuns = std::move(bad);
        drive.failedReads = 0;
        dialogs.shown.clear();
        ScanSettings settings;
        settings.scanDrive = "C:\\";
        CompileScanPattern(settings);
        view::MemoryFileList list;
        RunScan(settings, list);
        std::set<std::string> found;
        for (const FoundFile& f : foundFiles) {
            found.insert(f.dir + "|" + f.name);
        }
        return found;
    }
};

TEST_F(UnreadableScanTest, TheCopiesAVolumeKeepsServeAndTheReportSaysSo) {
    struct Row {
        const char* name;
        const char* image;
        const char* fileSystem;
        std::function<ByteRun(const std::vector<uint8_t>&)> bad;
        std::vector<std::string> captions;
        const char* says;
    };
    const auto sectorZero = [](const std::vector<uint8_t>&) { return ByteRun{0, 512}; };
    const Row rows[] = {
        {"FAT12, first FAT",
         "fat12.img",
         "FAT",
         FirstFatSectors,
         {"Unreadable Sectors"},
         "The second FAT stood in"},
        {"FAT16, first FAT",
         "fat16.img",
         "FAT",
         FirstFatSectors,
         {"Unreadable Sectors"},
         "The second FAT stood in"},
        {"FAT32, first FAT",
         "fat32.img",
         "FAT32",
         FirstFatSectors,
         {"Unreadable Sectors"},
         "The second FAT stood in"},
        {"FAT32, boot sector",
         "fat32.img",
         "FAT32",
         sectorZero,
         {"Notice", "Unreadable Sectors"},
         "backup at sector 6"},
        {"exFAT, boot sector",
         "exfat512.img",
         "exFAT",
         sectorZero,
         {"Notice", "Unreadable Sectors"},
         "its backup is used"},
        {"NTFS, boot sector",
         "ntfs512.img",
         "NTFS",
         sectorZero,
         {"Notice", "Unreadable Sectors"},
         "its backup at sector"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::vector<uint8_t> bytes = ReadImage(row.image);
        ASSERT_GT(bytes.size(), 4096u);
        const std::set<std::string> clean = Scan(bytes, row.fileSystem, {});
        EXPECT_TRUE(dialogs.shown.empty());
        EXPECT_EQ(PartialDrives(), 0);
        const std::set<std::string> failing = Scan(bytes, row.fileSystem, {row.bad(bytes)});
        EXPECT_FALSE(clean.empty());
        EXPECT_EQ(failing, clean);
        EXPECT_EQ(Captions(), row.captions);
        const std::string all = dialogs.shown.empty() ? "" : dialogs.shown[0].text;
        EXPECT_NE(all.find(row.says), std::string::npos) << all;
        EXPECT_EQ(PartialDrives(), 1);
        EXPECT_LE(os.Drive('C').failedReads, platform::kMaxFailedReadsPerStretch);
    }
}

// A folder's entries in an unreadable sector are lost; those before and after it are not.
TEST_F(UnreadableScanTest, AFolderGoesOnPastItsUnreadableSector) {
    constexpr uint32_t kSector = 512;
    constexpr std::size_t kSlotsPerSector = kSector / 32;
    const auto fatName = [](std::size_t n) {
        return "F" + std::to_string(100 + n).substr(1) + "     TXT";
    };
    // FAT: one file a slot; the slots of the second sector are lost.
    const auto fatFolder = [&](uint32_t cluster) {
        test::FatImage image;
        std::size_t first = 0;
        if (cluster != 0) {
            test::DirEntry docs = test::File("DOCS       ", cluster, 0, false);
            docs.attributes = 0x10;
            image.RootEntry(0, docs);
            image.SetFat(cluster, 0xFFFF);
            image.DirectoryHeader(cluster, 0);
            first = 2;
        }
        for (std::size_t slot = first; slot < 3 * kSlotsPerSector; ++slot) {
            const test::DirEntry e = test::File(fatName(slot).c_str(), 0, 0);
            cluster == 0 ? image.RootEntry(slot, e) : image.ClusterEntry(cluster, slot, e);
        }
        return image;
    };
    std::set<std::string> fatLost;
    for (std::size_t slot = kSlotsPerSector; slot < 2 * kSlotsPerSector; ++slot) {
        fatLost.insert("?" + fatName(slot).substr(1, 2) + ".TXT");
    }
    // exFAT: sets of 3 entries across the root's clusters; those touching the second are lost.
    test::ExFatImage exfat;
    std::set<std::string> exfatLost;
    for (std::size_t index = 1, n = 0; index + 3 <= 4 * kSlotsPerSector; ++n) {
        test::ExFatEntrySet set;
        const std::string name = "f" + std::to_string(n) + ".txt";
        set.name = std::u16string(name.begin(), name.end());
        const std::size_t next = exfat.PutSet(test::ExFatImage::kRootCluster, index, set);
        if (next > kSlotsPerSector && index < 2 * kSlotsPerSector) {
            exfatLost.insert(name);
        }
        index = next;
    }
    const test::FatImage fatRoot = fatFolder(0);
    const test::FatImage fatSub = fatFolder(10);
    struct Row {
        const char* name;
        const std::vector<uint8_t>& bytes;
        const char* fileSystem;
        int64_t badSector;
        const std::set<std::string>& lost;
    };
    const Row rows[] = {
        {"FAT16 root", fatRoot.bytes, "FAT",
         static_cast<int64_t>(fatRoot.SlotOffset(0, kSlotsPerSector)), fatLost},
        {"FAT16 folder", fatSub.bytes, "FAT",
         static_cast<int64_t>(fatSub.SlotOffset(10, kSlotsPerSector)), fatLost},
        {"exFAT root", exfat.bytes, "exFAT",
         static_cast<int64_t>(exfat.ClusterOffset(test::ExFatImage::kRootCluster + 1)), exfatLost},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::set<std::string> clean = Scan(row.bytes, row.fileSystem, {});
        std::set<std::string> expected;
        for (const std::string& path : clean) {
            if (!row.lost.contains(path.substr(path.rfind('|') + 1))) {
                expected.insert(path);
            }
        }
        ASSERT_EQ(clean.size(), expected.size() + row.lost.size());
        EXPECT_EQ(Scan(row.bytes, row.fileSystem, {{row.badSector, kSector}}), expected);
        ASSERT_EQ(Captions(), std::vector<std::string>{"Unreadable Sectors"});
        EXPECT_NE(dialogs.shown[0].text.find("1 folder (in part or whole)"), std::string::npos)
            << dialogs.shown[0].text;
    }
}

}  // namespace
}  // namespace relicta::scan
