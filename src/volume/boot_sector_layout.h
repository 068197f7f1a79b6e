#pragma once
// Byte offsets of the boot-sector fields of FAT (with the FAT32 extension) and NTFS.

#include <cstddef>

namespace relicta::volume {

inline constexpr std::size_t kBootSectorSize = 512;

namespace fat_boot {
inline constexpr std::size_t Jump = 0x00;
inline constexpr std::size_t OemName = 0x03;
inline constexpr std::size_t BytesPerSector = 0x0B;
inline constexpr std::size_t SectorsPerCluster = 0x0D;
inline constexpr std::size_t ReservedSectors = 0x0E;
inline constexpr std::size_t Fats = 0x10;
inline constexpr std::size_t RootEntries = 0x11;
inline constexpr std::size_t Sectors = 0x13;
inline constexpr std::size_t Media = 0x15;
inline constexpr std::size_t SectorsPerFat = 0x16;
inline constexpr std::size_t SectorsPerTrack = 0x18;
inline constexpr std::size_t Heads = 0x1A;
inline constexpr std::size_t HiddenSectors = 0x1C;
inline constexpr std::size_t LargeSectors = 0x20;
inline constexpr std::size_t LargeSectorsPerFat = 0x24;
inline constexpr std::size_t ExtendedFlags = 0x28;
inline constexpr std::size_t FsVersion = 0x2A;
inline constexpr std::size_t RootDirFirstCluster = 0x2C;
inline constexpr std::size_t FsInfoSector = 0x30;
inline constexpr std::size_t BackupBootSector = 0x32;
}  // namespace fat_boot

namespace ntfs_boot {
inline constexpr std::size_t OemName = 0x03;
inline constexpr std::size_t OemNameLength = 8;
inline constexpr std::size_t BytesPerSectorLow = 0x0B;
inline constexpr std::size_t BytesPerSectorHigh = 0x0C;
inline constexpr std::size_t SectorsPerCluster = 0x0D;
inline constexpr std::size_t NumberSectors = 0x28;
inline constexpr std::size_t MftStartLcn = 0x30;
inline constexpr std::size_t Mft2StartLcn = 0x38;
inline constexpr std::size_t ClustersPerFileRecordSegment = 0x40;
inline constexpr std::size_t ClustersPerIndexBuffer = 0x44;
inline constexpr std::size_t VolumeSerialNumber = 0x48;
}  // namespace ntfs_boot

// Jump instructions a boot sector may start with.
inline constexpr unsigned char kJumpNear = 0xE9;
inline constexpr unsigned char kJumpShort = 0xEB;
inline constexpr unsigned char kJumpOld = 0x49;

}  // namespace relicta::volume
