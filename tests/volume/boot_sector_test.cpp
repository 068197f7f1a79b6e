#include <gtest/gtest.h>

#include <functional>

#include "support/boot_sectors.h"
#include "volume/boot_sector.h"
#include "volume/bpb.h"

namespace relicta::volume {
namespace {

using test::FatBootSector;
using test::FatLayout;
using test::NtfsBootSector;
using test::NtfsLayout;
using test::PutLe;

struct FatCase {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> change;
    bool recognised;
};

TEST(IsFatBootSector, AcceptsOnlyWhatEveryRuleAllows) {
    const FatCase cases[] = {
        {"valid FAT16", [](auto&) {}, true},
        {"jump E9", [](auto& s) { s[0] = 0xE9; }, true},
        {"jump 49", [](auto& s) { s[0] = 0x49; }, true},
        {"jump 00", [](auto& s) { s[0] = 0x00; }, false},
        {"bytes per sector 128", [](auto& s) { PutLe(s, 0x0B, 128, 2); }, true},
        {"bytes per sector 4096", [](auto& s) { PutLe(s, 0x0B, 4096, 2); }, true},
        {"bytes per sector 8192", [](auto& s) { PutLe(s, 0x0B, 8192, 2); }, false},
        {"bytes per sector 768", [](auto& s) { PutLe(s, 0x0B, 768, 2); }, false},
        {"sectors per cluster 128", [](auto& s) { s[0x0D] = 128; }, true},
        {"sectors per cluster 3", [](auto& s) { s[0x0D] = 3; }, false},
        {"sectors per cluster 0", [](auto& s) { s[0x0D] = 0; }, false},
        {"no reserved sectors", [](auto& s) { PutLe(s, 0x0E, 0, 2); }, false},
        {"no FATs", [](auto& s) { s[0x10] = 0; }, false},
        {"root entries 0 with 16-bit FAT size", [](auto& s) { PutLe(s, 0x11, 0, 2); }, false},
        {"no sector count at all",
         [](auto& s) {
             PutLe(s, 0x13, 0, 2);
             PutLe(s, 0x20, 0, 4);
         },
         false},
        {"only the 32-bit sector count",
         [](auto& s) {
             PutLe(s, 0x13, 0, 2);
             PutLe(s, 0x20, 70000, 4);
         },
         true},
        {"no FAT size at all",
         [](auto& s) {
             PutLe(s, 0x16, 0, 2);
             PutLe(s, 0x24, 0, 4);
         },
         false},
        {"media F1", [](auto& s) { s[0x15] = 0xF1; }, false},
        {"media FA", [](auto& s) { s[0x15] = 0xFA; }, true},
        {"media 00", [](auto& s) { s[0x15] = 0x00; }, true},
        {"media 01", [](auto& s) { s[0x15] = 0x01; }, true},
        {"media F0", [](auto& s) { s[0x15] = 0xF0; }, true},
        {"truncated to 100 bytes", [](auto& s) { s.resize(100); }, false},
    };
    FatLayout fat16;
    fat16.totalSectors = 40000;
    for (const FatCase& c : cases) {
        std::vector<uint8_t> sector = FatBootSector(fat16);
        c.change(sector);
        EXPECT_EQ(IsFatBootSector(sector), c.recognised) << c.name;
    }
}

TEST(IsFatBootSector, AcceptsFat32WithNoRootEntries) {
    FatLayout fat32;
    fat32.rootEntries = 0;
    fat32.sectorsPerFat = 0;
    fat32.largeSectorsPerFat = 600;
    fat32.totalSectors = 600000;
    EXPECT_TRUE(IsFatBootSector(FatBootSector(fat32)));
    EXPECT_FALSE(IsNtfsBootSector(FatBootSector(fat32)));
}

TEST(IsNtfsBootSector, AcceptsOnlyWhatEveryRuleAllows) {
    const FatCase cases[] = {
        {"valid", [](auto&) {}, true},
        {"OEM name NTFS without blanks", [](auto& s) { s[7] = 'X'; }, false},
        {"bytes per sector low byte set", [](auto& s) { PutLe(s, 0x0B, 0x0201, 2); }, false},
        {"bytes per sector 768", [](auto& s) { PutLe(s, 0x0B, 0x0300, 2); }, true},
        {"bytes per sector 4096", [](auto& s) { PutLe(s, 0x0B, 4096, 2); }, true},
        {"bytes per sector 4352", [](auto& s) { PutLe(s, 0x0B, 0x1100, 2); }, false},
        {"sectors per cluster 6", [](auto& s) { s[0x0D] = 6; }, false},
        {"reserved sectors set", [](auto& s) { s[0x0E] = 1; }, false},
        {"FAT count set", [](auto& s) { s[0x10] = 2; }, false},
        {"root entries set", [](auto& s) { s[0x12] = 1; }, false},
        {"16-bit sectors set", [](auto& s) { s[0x13] = 1; }, false},
        {"byte 0x14 set", [](auto& s) { s[0x14] = 1; }, false},
        {"FAT size set", [](auto& s) { s[0x17] = 1; }, false},
        {"32-bit sectors set", [](auto& s) { s[0x23] = 1; }, false},
        {"media byte is not checked", [](auto& s) { s[0x15] = 0x42; }, true},
        {"MFT beyond the volume", [](auto& s) { PutLe(s, 0x30, 65535 / 8 + 1, 8); }, false},
        {"MFT at the volume's last sector", [](auto& s) { PutLe(s, 0x30, 65535 / 8, 8); }, true},
        {"mirror beyond the volume", [](auto& s) { PutLe(s, 0x38, 1ULL << 62, 8); }, false},
        {"record size -10", [](auto& s) { s[0x40] = 0xF6; }, true},
        {"record size -9", [](auto& s) { s[0x40] = 0xF7; }, true},
        {"record size -8", [](auto& s) { s[0x40] = 0xF8; }, false},
        {"record size -31", [](auto& s) { s[0x40] = 0xE1; }, true},
        {"record size -32", [](auto& s) { s[0x40] = 0xE0; }, false},
        {"record size 3", [](auto& s) { s[0x40] = 3; }, false},
        {"record size 64", [](auto& s) { s[0x40] = 64; }, true},
        {"record size 0", [](auto& s) { s[0x40] = 0; }, false},
        {"index buffer size 3", [](auto& s) { s[0x44] = 3; }, false},
        {"negative sector count", [](auto& s) { PutLe(s, 0x28, static_cast<uint64_t>(-5), 8); },
         false},
    };
    for (const FatCase& c : cases) {
        std::vector<uint8_t> sector = NtfsBootSector(NtfsLayout{});
        c.change(sector);
        EXPECT_EQ(IsNtfsBootSector(sector), c.recognised) << c.name;
    }
}

TEST(UnpackBpb, ReadsEveryFieldAndDropsTheLargeCountBesideASmallOne) {
    FatLayout layout;
    layout.totalSectors = 5000;
    std::vector<uint8_t> sector = FatBootSector(layout);
    PutLe(sector, 0x20, 123456, 4);  // ignored while the 16-bit count is set
    PutLe(sector, 0x1C, 63, 4);
    PutLe(sector, 0x30, 1, 2);
    PutLe(sector, 0x32, 6, 2);
    Bpb bpb;
    UnpackBpb(sector, bpb);
    EXPECT_EQ(bpb.BytesPerSector, 512);
    EXPECT_EQ(bpb.SectorsPerCluster, 4);
    EXPECT_EQ(bpb.ReservedSectors, 1);
    EXPECT_EQ(bpb.Fats, 2);
    EXPECT_EQ(bpb.RootEntries, 512);
    EXPECT_EQ(bpb.Sectors, 5000);
    EXPECT_EQ(bpb.LargeSectors, 0u);
    EXPECT_EQ(bpb.Media, 0xF8);
    EXPECT_EQ(bpb.SectorsPerFat, 64);
    EXPECT_EQ(bpb.HiddenSectors, 63u);
    EXPECT_EQ(bpb.FsInfoSector, 1);
    EXPECT_EQ(bpb.BackupBootSector, 6);
    EXPECT_EQ(bpb.TotalSectors(), 5000u);
    EXPECT_FALSE(bpb.IsFat32());
}

}  // namespace
}  // namespace relicta::volume
