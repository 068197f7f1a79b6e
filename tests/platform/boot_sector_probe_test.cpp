#include "platform/boot_sector_probe.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace relicta::platform {
namespace {

std::vector<uint8_t> Sector(const char* oem, uint16_t sectorsPerFat16, const char* fat32Name) {
    std::vector<uint8_t> s(512);
    std::memcpy(&s[3], oem, 8);
    s[0x0B] = 0x00;  // 512 bytes a sector
    s[0x0C] = 0x02;
    s[0x0D] = 8;
    s[0x0E] = 32;
    s[0x10] = 2;
    s[0x16] = static_cast<uint8_t>(sectorsPerFat16);
    std::memcpy(&s[0x52], fat32Name, 8);
    s[0x1FE] = 0x55;
    s[0x1FF] = 0xAA;
    return s;
}

TEST(FileSystemFromBootSectors, NamesSectorZeroOrTheBackupOfItsKind) {
    const std::vector<uint8_t> fat32 = Sector("mkfs.fat", 0, "FAT32   ");
    const std::vector<uint8_t> fat16 = Sector("mkfs.fat", 64, "        ");
    const std::vector<uint8_t> ntfs = Sector("NTFS    ", 0, "        ");
    const std::vector<uint8_t> exfat = Sector("EXFAT   ", 0, "        ");
    constexpr uint64_t kLength = 1 << 20;
    struct Row {
        const char* name;
        const std::vector<uint8_t>* sector;
        uint64_t at;
        bool sectorZeroFails;
        std::optional<std::string> expected;
    };
    const Row rows[] = {
        {"FAT16 at sector 0", &fat16, 0, false, "FAT"},
        {"NTFS at sector 0", &ntfs, 0, false, "NTFS"},
        {"FAT32, sector 0 unreadable, backup at 6", &fat32, 6 * 512, true, "FAT32"},
        {"exFAT backup at 12", &exfat, 12 * 512, true, "exFAT"},
        {"NTFS backup in the last sector", &ntfs, kLength - 512, true, "NTFS"},
        {"an NTFS sector at 6 is no FAT32 backup", &ntfs, 6 * 512, true, std::nullopt},
        {"nothing", nullptr, 0, false, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<uint8_t> volume(kLength);
        if (row.sector != nullptr) {
            std::copy(row.sector->begin(), row.sector->end(),
                      volume.begin() + static_cast<std::ptrdiff_t>(row.at));
        }
        const VolumeReader read = [&](uint64_t offset, std::span<uint8_t> out) {
            if (row.sectorZeroFails && offset == 0) {
                return false;
            }
            std::copy_n(volume.begin() + static_cast<std::ptrdiff_t>(offset), out.size(),
                        out.begin());
            return true;
        };
        EXPECT_EQ(FileSystemFromBootSectors(read, kLength), row.expected);
    }
}

}  // namespace
}  // namespace relicta::platform
