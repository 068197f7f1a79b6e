#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "platform/last_error.h"
#include "support/boot_sectors.h"
#include "volume/open_volume.h"
#include "volume/volume_harness.h"

namespace relicta::volume {
namespace {

using app::MbButtons;
using app::MbResult;
using platform::Handle;
using test::FatBootSector;
using test::FatLayout;
using test::NtfsBootSector;
using test::NtfsLayout;

constexpr const char* kNotReady =
    "The device is not ready.  Make sure there is a disk in the drive and then click on OK";
constexpr const char* kAccessDenied =
    "Access denied when trying to open the volume.\r\nYou either lack needed Administrator "
    "rights,\r\nor this disk cannot be opened for direct access\r\n (for example, virtual drives "
    "created by SUSBT)\r\nOn Linux: run it as root, with sudo, or as a member of the disk group.";
constexpr const char* kTooManyFats =
    "Number of Fats > 2.  The boot sector is invalid or corrupt, or this is not the root of the "
    "volume set";
constexpr const char* kJumpBad =
    "Jump block bad.  The boot sector may be invalid or corrupt,\n or this is not the root of the "
    "volume set, or this is a non-bootable device";
constexpr const char* kSectorTooBig =
    "BytesPerSector > 2048. The boot sector is invalid or corrupt, or this is not the root of the "
    "volume set";

std::vector<uint8_t> Fat16() {
    FatLayout l;
    l.totalSectors = 40000;
    return FatBootSector(l);
}

enum class Outcome { Open, Refused, Failed };

struct Row {
    const char* name;
    std::function<void(platform::ScriptedDrive&)> setup;
    std::vector<MbResult> answers;
    Outcome outcome;
    // Each message as caption and text; a consistency failure as its condition text.
    std::vector<std::pair<std::string, std::string>> messages;
    bool raw = false;
};

class OpenVolumeRows : public test::VolumeHarness {};

TEST_F(OpenVolumeRows, EachFailureRowGivesItsMessageAndResult) {
    const Row rows[] = {
        {"a good FAT16 volume", [](auto&) {}, {}, Outcome::Open, {}},
        {"not ready twice, then OK",
         [](auto& d) { d.notReadyTimes = 2; },
         {MbResult::Ok, MbResult::Ok},
         Outcome::Open,
         {{"System Error", kNotReady}, {"System Error", kNotReady}}},
        {"not ready, cancelled",
         [](auto& d) { d.notReadyTimes = 5; },
         {MbResult::Cancel},
         Outcome::Failed,
         {{"System Error", kNotReady}}},
        {"file system not recognised: lenient, silently",
         [](auto& d) { d.fileSystemError = platform::kErrorWrongDisk; },
         {},
         Outcome::Open,
         {},
         true},
        {"file-system query fails otherwise: system error, lenient",
         [](auto& d) { d.fileSystemError = EIO; },
         {},
         Outcome::Open,
         {{"System Error", platform::SystemErrorText(EIO)}},
         true},
        {"another file system",
         [](auto& d) { d.fileSystemName = "EXT4"; },
         {},
         Outcome::Refused,
         {{"not NTFS or FAT", "Not an NTFS or FAT file system!"}}},
        {"names compare case-sensitively",
         [](auto& d) { d.fileSystemName = "fat"; },
         {},
         Outcome::Refused,
         {{"not NTFS or FAT", "Not an NTFS or FAT file system!"}}},
        {"FAT32 and RAW names are accepted",
         [](auto& d) { d.fileSystemName = "RAW"; },
         {},
         Outcome::Open,
         {}},
        {"access denied",
         [](auto& d) { d.openError = EACCES; },
         {},
         Outcome::Failed,
         {{"Error", kAccessDenied}}},
        {"open fails otherwise",
         [](auto& d) { d.openError = ENXIO; },
         {},
         Outcome::Failed,
         {{"System Error", platform::SystemErrorText(ENXIO)}}},
        {"three FATs",
         [](auto& d) { d.bytes[0x10] = 3; },
         {},
         Outcome::Refused,
         {{"Invalid Boot Sector", kTooManyFats}}},
        {"bad jump byte warns and goes on (lenient FAT)",
         [](auto& d) { d.bytes[0] = 0x00; },
         {},
         Outcome::Open,
         {{"Invalid Boot Sector", kJumpBad}},
         true},
        {"jump byte 0x49", [](auto& d) { d.bytes[0] = 0x49; }, {}, Outcome::Open, {}},
        {"sector size 8192",
         [](auto& d) { test::PutLe(d.bytes, 0x0B, 8192, 2); },
         {},
         Outcome::Open,
         {{"Invalid Boot Sector", kSectorTooBig},
          {"Application Internal Error",
           "pBpb->BytesPerSector >=128 && pBpb->BytesPerSector <= 4096"}},
         true},
        {"tiny FAT volume",
         [](auto& d) { test::PutLe(d.bytes, 0x13, 100, 2); },
         {},
         Outcome::Open,
         {{"Application Internal Error", "pBpb->LargeSectors > 100 || pBpb->Sectors > 100"}}},
        {"boot sector cut short after its BPB",
         [](auto& d) { d.shortReadAt = 100; },
         {},
         Outcome::Open,
         {{"Application Internal Error", "bytesRead==Vcb->BytesPerSector*numberToRead"}}},
        {"read error on the boot sector, no backup readable: an all-zero sector",
         [](auto& d) { d.readError = EIO; },
         {},
         Outcome::Open,
         {{"Invalid Boot Sector", kJumpBad},
          {"Application Internal Error", "pBpb->LargeSectors > 100 || pBpb->Sectors > 100"},
          {"Application Internal Error",
           "pBpb->BytesPerSector >=128 && pBpb->BytesPerSector <= 4096"}},
         true},
        {"free-space query fails with an error",
         [](auto& d) { d.freeSpaceError = EIO; },
         {},
         Outcome::Open,
         {{"System Error", platform::SystemErrorText(EIO)}}},
        {"free-space query fails on a lenient volume: nothing shown",
         [](auto& d) {
             d.freeSpaceError = EIO;
             d.fileSystemError = platform::kErrorWrongDisk;
         },
         {},
         Outcome::Open,
         {},
         true},
        {"free space with another sector size",
         [](auto& d) {
             d.freeSpace = platform::DiskFreeSpace{4, 1024, 10, 20};
         },
         {},
         Outcome::Open,
         {{"Error", "I don't understand the BytesPerSector in the boot sector on this partition"}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        dialogs.shown.clear();
        dialogs.answers.assign(row.answers.begin(), row.answers.end());
        platform::ScriptedDrive& drive = os.Drive('C');
        drive = platform::ScriptedDrive{};
        AddDrive('C', Fat16(), 4096);
        row.setup(drive);

        const Handle handle = OpenVolume('C');
        switch (row.outcome) {
            case Outcome::Open:
                EXPECT_TRUE(platform::IsOpenHandle(handle));
                break;
            case Outcome::Refused:
                EXPECT_EQ(handle, platform::kNoHandle);
                break;
            case Outcome::Failed:
                EXPECT_EQ(handle, platform::kInvalidHandle);
                EXPECT_EQ(Vcb->hVolume, platform::kInvalidHandle);
                break;
        }
        ASSERT_EQ(dialogs.shown.size(), row.messages.size());
        for (std::size_t i = 0; i < row.messages.size(); ++i) {
            const auto& [caption, text] = row.messages[i];
            EXPECT_EQ(dialogs.shown[i].caption, caption);
            if (caption == "Application Internal Error") {
                EXPECT_NE(dialogs.shown[i].text.find(": " + text + "\n"), std::string::npos)
                    << dialogs.shown[i].text;
                EXPECT_EQ(dialogs.shown[i].text.rfind(
                              "Internal Program consistency check failed.\nIn RawIO at ", 0),
                          0u);
            } else {
                EXPECT_EQ(dialogs.shown[i].text, text);
            }
        }
        if (row.outcome == Outcome::Open) {
            EXPECT_EQ(Vcb->IsRawFileSystem, row.raw);
        }
        CloseVolume();
        EXPECT_EQ(os.openHandles(), 0);
    }
}

TEST_F(OpenVolumeRows, ALostBootSectorIsReadFromItsBackup) {
    struct BackupRow {
        const char* name;
        std::vector<uint8_t> bootSector;
        std::size_t volumeBytes;
        std::size_t backupAt;  // where the copy lies; 0: none
        bool sectorZeroReads;  // damaged rather than unreadable
        const char* fileSystem;
        std::vector<std::string> captions;
    };
    FatLayout fat32;
    fat32.sectorsPerFat = 0;
    fat32.largeSectorsPerFat = 520;
    fat32.rootEntries = 0;
    const std::size_t ntfsBytes = std::size_t{65536} * 512;
    const BackupRow rows[] = {
        {"FAT32, sector 0 unreadable",
         FatBootSector(fat32),
         1 << 20,
         6 * 512,
         false,
         "FAT32",
         {"Notice"}},
        {"FAT32, sector 0 zeroed",
         FatBootSector(fat32),
         1 << 20,
         6 * 512,
         true,
         "FAT32",
         {"Notice"}},
        {"NTFS, sector 0 unreadable",
         NtfsBootSector(NtfsLayout{}),
         ntfsBytes,
         ntfsBytes - 512,
         false,
         "NTFS",
         {"Notice"}},
        {"FAT16 has no backup",
         Fat16(),
         1 << 20,
         0,
         false,
         "FAT",
         {"Invalid Boot Sector", "Application Internal Error", "Application Internal Error"}},
    };
    for (const BackupRow& row : rows) {
        SCOPED_TRACE(row.name);
        dialogs.shown.clear();
        std::vector<uint8_t> bytes(row.volumeBytes);
        if (row.backupAt != 0) {
            std::copy(row.bootSector.begin(), row.bootSector.end(),
                      bytes.begin() + static_cast<std::ptrdiff_t>(row.backupAt));
        }
        platform::ScriptedDrive& drive = AddDrive('C', std::move(bytes), 0, row.fileSystem);
        if (!row.sectorZeroReads) {
            drive.badRuns = {{0, 512}};
        }
        OpenVolume('C');
        std::vector<std::string> captions;
        for (const auto& shown : dialogs.shown) {
            captions.push_back(shown.caption);
        }
        EXPECT_EQ(captions, row.captions);
        if (row.backupAt != 0) {
            EXPECT_FALSE(Vcb->IsRawFileSystem);
            EXPECT_EQ(Vcb->IsFat, std::string(row.fileSystem) != "NTFS");
            EXPECT_NE(dialogs.shown[0].text.find("backup at sector " +
                                                 std::to_string(row.backupAt / 512)),
                      std::string::npos);
        }
        CloseVolume();
    }
}

class OpenVolumeTest : public test::VolumeHarness {};

TEST_F(OpenVolumeTest, NotReadyButtonsAreOkCancelAndTheRetryWaitsOneSecond) {
    AddDrive('C', Fat16(), 4096).notReadyTimes = 1;
    dialogs.answers = {MbResult::Ok};
    EXPECT_TRUE(platform::IsOpenHandle(OpenVolume('C')));
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].buttons, MbButtons::OkCancel);
    EXPECT_EQ(os.sleptMilliseconds, 1000u);
}

TEST_F(OpenVolumeTest, Fat16GeometryNamedFat) {
    FatLayout l;
    l.totalSectors = 40000;
    AddDrive('C', FatBootSector(l), 4096);
    ASSERT_TRUE(platform::IsOpenHandle(OpenVolume('C')));
    EXPECT_TRUE(Vcb->IsFat);
    EXPECT_FALSE(Vcb->IsRawFileSystem);
    EXPECT_EQ(Vcb->NumberSectors, 40000);
    EXPECT_EQ(Vcb->TotalClusters, (40000 - 1 - 2 * 64 - 32) / 4);
    EXPECT_EQ(Vcb->BytesPerCluster, 2048u);
    EXPECT_EQ(Vcb->BytesPerFileRecordSegment, 0u);
    EXPECT_EQ(Vcb->AllocationSupport.FatIndexBitSize, 16);
    EXPECT_EQ(Vcb->AllocationSupport.FileAreaLbo, (1u + 128) * 512 + 512 * 32);
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(OpenVolumeTest, NtfsRecordSizeFromTheBootSector) {
    struct Case {
        uint8_t sectorsPerCluster;
        int8_t clustersPerRecord;
        uint32_t recordBytes;
        int32_t clustersPerRecordSegment;
    };
    const Case cases[] = {
        {8, -10, 1024, -10},  // record smaller than a 4 KiB cluster keeps the raw value
        {1, 2, 1024, 2},      // 512-byte clusters, two per record
        {1, -10, 1024, 2},    // record of two 512-byte clusters
        {8, -12, 4096, 1},
    };
    for (const Case& c : cases) {
        NtfsLayout l;
        l.sectorsPerCluster = c.sectorsPerCluster;
        l.clustersPerFileRecord = c.clustersPerRecord;
        AddDrive('C', NtfsBootSector(l), 4096, "NTFS");
        ASSERT_TRUE(platform::IsOpenHandle(OpenVolume('C')));
        EXPECT_FALSE(Vcb->IsFat);
        EXPECT_EQ(Vcb->BytesPerFileRecordSegment, c.recordBytes);
        EXPECT_EQ(Vcb->ClustersPerFileRecordSegment, c.clustersPerRecordSegment);
        CloseVolume();
    }
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(OpenVolumeTest, NtfsGeometry) {
    NtfsLayout l;
    l.numberSectors = 2000001;
    l.mftStartLcn = 786432;
    l.mft2StartLcn = 2;
    AddDrive('D', NtfsBootSector(l), 4096, "NTFS");
    ASSERT_TRUE(platform::IsOpenHandle(OpenVolume('d')));
    EXPECT_STREQ(Vcb->RootPath, "D:\\");
    EXPECT_EQ(Vcb->NumberSectors, 2000001);
    EXPECT_EQ(Vcb->TotalClusters, 2000001 / 8);
    EXPECT_EQ(Vcb->MftStartLcn, 786432);
    EXPECT_EQ(Vcb->Mft2StartLcn, 2);
    EXPECT_EQ(Vcb->VolumeSerialNumber, 0x1122334455667788ULL);
    EXPECT_EQ(Vcb->BytesPerCluster, 4096u);
    EXPECT_EQ(Vcb->AllocationSupport.LogOfBytesPerCluster, 12);
}

TEST_F(OpenVolumeTest, NeitherRecogniserDecidesByTheOemName) {
    struct Case {
        const char* oem;
        bool isFat;
    };
    for (const Case c : {Case{"NTFS    ", false}, Case{"NTFS-ish", true}, Case{"MSDOS5.0", true}}) {
        dialogs.shown.clear();
        NtfsLayout l;
        l.clustersPerFileRecord = 3;  // not a valid record size: neither recogniser accepts
        std::vector<uint8_t> sector = NtfsBootSector(l);
        std::memcpy(&sector[3], c.oem, 8);
        AddDrive('C', sector, 4096).fileSystemError = EIO;
        ASSERT_TRUE(platform::IsOpenHandle(OpenVolume('C'))) << c.oem;
        EXPECT_EQ(Vcb->IsFat, c.isFat) << c.oem;
        EXPECT_TRUE(Vcb->IsRawFileSystem);
        ASSERT_GE(dialogs.shown.size(), 2u);
        EXPECT_EQ(dialogs.shown[1].text, "This is an unknown or raw file system!");
        EXPECT_EQ(dialogs.shown[1].caption, "RAW");
        CloseVolume();
    }
}

TEST_F(OpenVolumeTest, UnrepresentableRecordSizesInLenientModeAreZeroNotUndefined) {
    NtfsLayout l;
    l.clustersPerFileRecord = -128;
    l.numberSectors = INT64_MAX;
    AddDrive('C', NtfsBootSector(l), 4096, "NTFS");
    ASSERT_TRUE(platform::IsOpenHandle(OpenVolume('C')));
    EXPECT_TRUE(Vcb->IsRawFileSystem);
    EXPECT_EQ(Vcb->BytesPerFileRecordSegment, 0u);
    EXPECT_GT(Vcb->TotalClusters, 0);
}

TEST_F(OpenVolumeTest, TinyNtfsVolumeFailsItsCheck) {
    NtfsLayout l;
    l.numberSectors = 100;
    l.mftStartLcn = 1;
    l.mft2StartLcn = 2;
    AddDrive('C', NtfsBootSector(l), 4096, "NTFS");
    OpenVolume('C');
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_NE(dialogs.shown[0].text.find(": BootSector->NumberSectors > 100\n"), std::string::npos);
}

TEST_F(OpenVolumeTest, AbortAtACheckEndsTheProcess) {
    FatLayout l;
    l.totalSectors = 50;
    AddDrive('C', FatBootSector(l), 4096);
    dialogs.answers = {MbResult::Abort};
    EXPECT_THROW(OpenVolume('C'), app::ProcessExit);
}

TEST_F(OpenVolumeTest, ASecondOpenReusesTheVcbAndClosesTheOldHandle) {
    AddDrive('C', Fat16(), 4096);
    NtfsLayout l;
    AddDrive('E', NtfsBootSector(l), 4096, "NTFS");
    ASSERT_TRUE(platform::IsOpenHandle(OpenVolume('C')));
    VCB* first = Vcb;
    ASSERT_TRUE(platform::IsOpenHandle(OpenVolume('E')));
    EXPECT_EQ(Vcb, first);
    EXPECT_FALSE(Vcb->IsFat);
    EXPECT_EQ(Vcb->AllocationSupport.FatIndexBitSize, 32);  // computed for NTFS too, unused
    EXPECT_EQ(os.openHandles(), 1);
}

}  // namespace
}  // namespace relicta::volume
