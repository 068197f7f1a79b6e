#include "volume/boot_sector.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "volume/boot_sector_layout.h"

namespace relicta::volume {

using bytes::InBounds;
using bytes::S64;
using bytes::S8;
using bytes::U16;
using bytes::U32;
using bytes::U64;
using bytes::U8;
namespace {

constexpr std::array<uint16_t, 6> kFatBytesPerSector = {128, 256, 512, 1024, 2048, 4096};
constexpr std::array<uint8_t, 8> kSectorsPerCluster = {1, 2, 4, 8, 16, 32, 64, 128};
constexpr std::array<uint8_t, 11> kMediaBytes = {0xF0, 0xF8, 0xF9, 0xFA, 0xFB, 0xFC,
                                                 0xFD, 0xFE, 0xFF, 0x00, 0x01};
// Bytes of a FAT BPB that an NTFS boot sector keeps zero.
constexpr std::array<std::size_t, 13> kNtfsZeroBytes = {0x0E, 0x0F, 0x10, 0x11, 0x12, 0x13, 0x14,
                                                        0x16, 0x17, 0x20, 0x21, 0x22, 0x23};
constexpr uint32_t kNtfsMaxBytesPerSector = 4096;

template <typename C, typename V>
bool OneOf(const C& values, V value) {
    return std::find(values.begin(), values.end(), value) != values.end();
}

bool IsJump(uint8_t byte) {
    return byte == kJumpNear || byte == kJumpShort || byte == kJumpOld;
}

// Clusters per file record or index buffer: a power of two, or a negative log2 of bytes.
bool IsValidClustersPer(int8_t value) {
    return (value >= -31 && value <= -9) || value == 1 || value == 2 || value == 4 || value == 8 ||
           value == 16 || value == 32 || value == 64;
}

}  // namespace

bool IsFatBootSector(Bytes s) {
    if (!InBounds(s, 0, kBootSectorSize)) {
        return false;
    }
    const uint16_t rootEntries = U16(s, fat_boot::RootEntries);
    const uint16_t sectorsPerFat = U16(s, fat_boot::SectorsPerFat);
    return IsJump(U8(s, fat_boot::Jump)) &&
           OneOf(kFatBytesPerSector, U16(s, fat_boot::BytesPerSector)) &&
           OneOf(kSectorsPerCluster, U8(s, fat_boot::SectorsPerCluster)) &&
           U16(s, fat_boot::ReservedSectors) != 0 && U8(s, fat_boot::Fats) != 0 &&
           (rootEntries != 0 || sectorsPerFat == 0) &&
           (U16(s, fat_boot::Sectors) != 0 || U32(s, fat_boot::LargeSectors) != 0) &&
           (sectorsPerFat != 0 || U32(s, fat_boot::LargeSectorsPerFat) != 0) &&
           OneOf(kMediaBytes, U8(s, fat_boot::Media));
}

bool HasNtfsOemPrefix(Bytes s) {
    return InBounds(s, ntfs_boot::OemName, 5) &&
           std::memcmp(&s[ntfs_boot::OemName], "NTFS ", 5) == 0;
}

bool IsNtfsBootSector(Bytes s) {
    if (!InBounds(s, 0, kBootSectorSize) ||
        std::memcmp(&s[ntfs_boot::OemName], "NTFS    ", ntfs_boot::OemNameLength) != 0) {
        return false;
    }
    if (U8(s, ntfs_boot::BytesPerSectorLow) != 0 ||
        U8(s, ntfs_boot::BytesPerSectorHigh) * 256u > kNtfsMaxBytesPerSector) {
        return false;
    }
    const uint8_t sectorsPerCluster = U8(s, ntfs_boot::SectorsPerCluster);
    if (!OneOf(kSectorsPerCluster, sectorsPerCluster)) {
        return false;
    }
    for (std::size_t offset : kNtfsZeroBytes) {
        if (s[offset] != 0) {
            return false;
        }
    }
    // Both MFT copies must start inside the volume; compared in 128 bits so that no
    // on-disk value can overflow the product.
    const __int128 numberSectors = S64(s, ntfs_boot::NumberSectors);
    const __int128 mft = static_cast<__int128>(U64(s, ntfs_boot::MftStartLcn)) * sectorsPerCluster;
    const __int128 mft2 =
        static_cast<__int128>(U64(s, ntfs_boot::Mft2StartLcn)) * sectorsPerCluster;
    if (mft > numberSectors || mft2 > numberSectors) {
        return false;
    }
    return IsValidClustersPer(S8(s, ntfs_boot::ClustersPerFileRecordSegment)) &&
           IsValidClustersPer(S8(s, ntfs_boot::ClustersPerIndexBuffer));
}

}  // namespace relicta::volume
