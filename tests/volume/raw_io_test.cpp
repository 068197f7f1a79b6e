#include <gtest/gtest.h>

#include "platform/last_error.h"
#include "support/boot_sectors.h"
#include "volume/open_volume.h"
#include "volume/raw_io.h"
#include "volume/volume_harness.h"

namespace relicta::volume {
namespace {

using test::FatBootSector;
using test::FatLayout;
using test::NtfsBootSector;
using test::NtfsLayout;

// A volume whose every byte tells its own offset modulo 251.
std::vector<uint8_t> Numbered(std::vector<uint8_t> boot, std::size_t size) {
    std::vector<uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<uint8_t>(i % 251);
    }
    std::copy(boot.begin(), boot.end(), bytes.begin());
    return bytes;
}

class RawIoTest : public test::VolumeHarness {
  protected:
    int64_t LastReadOffset() const { return os.readLog.back().first; }
};

TEST_F(RawIoTest, ClustersStartWhereTheFileSystemPutsThem) {
    FatLayout fat;
    fat.totalSectors = 40000;
    const uint64_t fileArea = (1 + 2 * 64) * 512 + 512 * 32;
    NtfsLayout ntfs;
    struct Case {
        const char* name;
        std::vector<uint8_t> boot;
        std::string fsName;
        int64_t cluster;
        int64_t offset;
    };
    const Case cases[] = {
        {"FAT16 cluster 2", FatBootSector(fat), "FAT", 2, static_cast<int64_t>(fileArea)},
        {"FAT16 cluster 3", FatBootSector(fat), "FAT", 3, static_cast<int64_t>(fileArea + 2048)},
        {"NTFS cluster 0 is the boot sector", NtfsBootSector(ntfs), "NTFS", 0, 0},
        {"NTFS cluster 5", NtfsBootSector(ntfs), "NTFS", 5, 5 * 4096},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AddDrive('C', Numbered(c.boot, 1 << 20), 0, c.fsName);
        const platform::Handle h = OpenVolume('C');
        ASSERT_TRUE(platform::IsOpenHandle(h));
        std::vector<uint8_t> buffer(Vcb->BytesPerCluster);
        ReadClusters(h, c.cluster, buffer, 1);
        EXPECT_EQ(LastReadOffset(), c.offset);
        if (c.offset >= 512) {
            EXPECT_EQ(buffer[0], c.offset % 251);
        }
        CloseVolume();
    }
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(RawIoTest, ALargeRequestIsOneRead) {
    AddDrive('C', Numbered(NtfsBootSector(NtfsLayout{}), 40 << 20), 0, "NTFS");
    const platform::Handle h = OpenVolume('C');
    const int readsBefore = os.reads;
    std::vector<uint8_t> buffer(70000 * 512);
    ReadLogicalSectors(h, 0, buffer, 70000);
    EXPECT_EQ(os.reads, readsBefore + 1);
    EXPECT_EQ(os.readLog.back().second, buffer.size());
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(RawIoTest, FailedReadsAreReportedAndLeaveZeros) {
    struct Case {
        const char* name;
        int readError;
        int64_t sector;
        std::vector<std::string> captions;
    };
    // A read error is data (kept for the report at the end), not an inconsistency.
    const Case cases[] = {
        {"past the end", 0, 100000, {"Application Internal Error"}},
        {"read error", EIO, 2, {}},
        {"negative sector", 0, -1, {"System Error", "Application Internal Error"}},
        {"offset overflows", 0, INT64_MAX / 2, {"System Error", "Application Internal Error"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::ScriptedDrive& drive =
            AddDrive('C', Numbered(NtfsBootSector(NtfsLayout{}), 1 << 20), 0, "NTFS");
        drive.readError = 0;
        const platform::Handle h = OpenVolume('C');
        drive.readError = c.readError;
        dialogs.shown.clear();
        std::vector<uint8_t> buffer(1024, 0xAA);
        ReadLogicalSectors(h, c.sector, buffer, 2);
        EXPECT_EQ(Captions(), c.captions);
        EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0), 1024);
        if (!c.captions.empty()) {
            EXPECT_NE(dialogs.shown.back().text.find("bytesRead==Vcb->BytesPerSector*numberToRead"),
                      std::string::npos);
        }
        if (c.readError != 0) {
            EXPECT_TRUE(Vcb->Unreadable.Overlaps(c.sector * 512, 1024));
        } else {
            EXPECT_TRUE(Vcb->Unreadable.Empty());
        }
        CloseVolume();
    }
}

TEST_F(RawIoTest, ABufferSmallerThanTheRequestIsNeverOverrun) {
    AddDrive('C', Numbered(NtfsBootSector(NtfsLayout{}), 1 << 20), 0, "NTFS");
    const platform::Handle h = OpenVolume('C');
    std::vector<uint8_t> buffer(512);
    ReadLogicalSectors(h, 1, buffer, 4);
    EXPECT_EQ(buffer[0], 512 % 251);  // sector 1, as far as the buffer goes
    EXPECT_EQ(buffer[511], 1023 % 251);
    EXPECT_FALSE(dialogs.shown.empty());
}

TEST_F(RawIoTest, FileAreaCheckOfFat16) {
    FatLayout fat;
    fat.totalSectors = 40000;
    fat.rootEntries = 17;  // root not a whole number of sectors: the rounded layout differs
    AddDrive('C', Numbered(FatBootSector(fat), 1 << 20));
    const platform::Handle h = OpenVolume('C');
    std::vector<uint8_t> buffer(Vcb->BytesPerCluster);
    ReadClusters(h, 2, buffer, 1);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_NE(dialogs.shown[0].text.find("Vcb->AllocationSupport.FileAreaLbo==((Vcb->pBpb->Fats*"),
              std::string::npos);
}

TEST_F(RawIoTest, ReadFatReadsTheFirstFatButNoMoreThanItsClustersNeed) {
    FatLayout fat;
    fat.totalSectors = 40000;
    AddDrive('C', Numbered(FatBootSector(fat), 1 << 20));
    platform::Handle h = OpenVolume('C');
    // 9967 clusters need 9969 16-bit entries: 39 of the FAT's 64 sectors.
    EXPECT_EQ(ReadFat(h).size(), 39u * 512);
    EXPECT_EQ(LastReadOffset(), 512);
    CloseVolume();

    FatLayout huge;
    huge.rootEntries = 0;
    huge.sectorsPerFat = 0;
    huge.largeSectorsPerFat = 0x7FFFFFFF;  // claims a FAT of a terabyte
    huge.totalSectors = 0xFFFFFFFF;
    huge.sectorsPerCluster = 128;
    AddDrive('C', Numbered(FatBootSector(huge), 1 << 20), 0, "FAT32");
    h = OpenVolume('C');
    EXPECT_EQ(ReadFat(h).size(), 512u);  // the FATs leave no room for clusters: one sector
}

}  // namespace
}  // namespace relicta::volume
