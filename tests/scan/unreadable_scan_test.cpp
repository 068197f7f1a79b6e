#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "ntfs/ntfs_harness.h"
#include "scan/found_files.h"
#include "scan/scan_driver.h"
#include "support/paths.h"

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
        MemoryFileList list;
        RunScan(settings, list);
        std::set<std::string> found;
        for (const FoundFile& f : foundFiles) {
            found.insert(f.dir + f.name);
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

}  // namespace
}  // namespace relicta::scan
