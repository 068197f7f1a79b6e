#pragma once
// Byte offsets of the exFAT boot sector and of the exFAT directory entries (32 bytes each).

#include <cstddef>
#include <cstdint>

namespace relicta::volume {

namespace exfat_boot {
inline constexpr std::size_t FileSystemName = 0x03;  // "EXFAT   "
inline constexpr std::size_t FileSystemNameLength = 8;
inline constexpr std::size_t MustBeZero = 0x0B;  // where FAT keeps its BPB
inline constexpr std::size_t MustBeZeroLength = 53;
inline constexpr std::size_t PartitionOffset = 0x40;
inline constexpr std::size_t VolumeLength = 0x48;       // sectors
inline constexpr std::size_t FatOffset = 0x50;          // sectors
inline constexpr std::size_t FatLength = 0x54;          // sectors
inline constexpr std::size_t ClusterHeapOffset = 0x58;  // sectors
inline constexpr std::size_t ClusterCount = 0x5C;
inline constexpr std::size_t FirstClusterOfRootDirectory = 0x60;
inline constexpr std::size_t VolumeSerialNumber = 0x64;
inline constexpr std::size_t FileSystemRevision = 0x68;
inline constexpr std::size_t VolumeFlags = 0x6A;
inline constexpr std::size_t BytesPerSectorShift = 0x6C;
inline constexpr std::size_t SectorsPerClusterShift = 0x6D;
inline constexpr std::size_t NumberOfFats = 0x6E;
inline constexpr std::size_t PercentInUse = 0x70;
inline constexpr std::size_t BootSignature = 0x1FE;

inline constexpr uint16_t ActiveFatFlag = 0x0001;  // VolumeFlags: the second FAT and bitmap
inline constexpr uint8_t MinBytesPerSectorShift = 9;
inline constexpr uint8_t MaxBytesPerSectorShift = 12;
inline constexpr uint8_t MaxClusterShift = 25;  // clusters of at most 32 MiB
// The boot region: boot sector, 8 extended boot sectors, OEM parameters, a reserved
// sector, then a sector filled with the checksum of the 11 before it; a backup follows.
inline constexpr uint32_t ChecksummedSectors = 11;
inline constexpr uint32_t BootRegionSectors = 12;
}  // namespace exfat_boot

namespace exfat_entry {
inline constexpr std::size_t Size = 32;
inline constexpr std::size_t EntryType = 0x00;

// EntryType: bit 7 in use, bit 6 secondary, bit 5 benign, bits 0-4 the code.
inline constexpr uint8_t InUse = 0x80;
inline constexpr uint8_t Secondary = 0x40;
inline constexpr uint8_t Benign = 0x20;
inline constexpr uint8_t EndOfDirectory = 0x00;
inline constexpr uint8_t AllocationBitmap = 0x81;
inline constexpr uint8_t UpCaseTable = 0x82;
inline constexpr uint8_t VolumeLabel = 0x83;
inline constexpr uint8_t File = 0x85;
inline constexpr uint8_t VolumeGuid = 0xA0;
inline constexpr uint8_t StreamExtension = 0xC0;
inline constexpr uint8_t FileName = 0xC1;
inline constexpr uint8_t VendorExtension = 0xE0;
inline constexpr uint8_t VendorAllocation = 0xE1;

// The type with its in-use bit set, so that deleted and live entries compare alike.
constexpr uint8_t LiveType(uint8_t type) {
    return type | InUse;
}

// File entry.
inline constexpr std::size_t SecondaryCount = 0x01;
inline constexpr std::size_t SetChecksum = 0x02;
inline constexpr std::size_t FileAttributes = 0x04;
inline constexpr std::size_t CreateTimestamp = 0x08;
inline constexpr std::size_t LastModifiedTimestamp = 0x0C;
inline constexpr std::size_t LastAccessedTimestamp = 0x10;
inline constexpr std::size_t LastModified10msIncrement = 0x15;
inline constexpr std::size_t LastModifiedUtcOffset = 0x17;
inline constexpr uint8_t MinSecondaryCount = 2;  // a stream and one name entry
inline constexpr uint8_t MaxSecondaryCount = 18;
inline constexpr uint8_t UtcOffsetValid = 0x80;
inline constexpr int UtcOffsetMinutesPerStep = 15;

// Stream Extension entry.
inline constexpr std::size_t GeneralSecondaryFlags = 0x01;
inline constexpr std::size_t NameLength = 0x03;
inline constexpr std::size_t NameHash = 0x04;
inline constexpr std::size_t ValidDataLength = 0x08;
inline constexpr std::size_t FirstCluster = 0x14;
inline constexpr std::size_t DataLength = 0x18;
inline constexpr uint8_t AllocationPossible = 0x01;
inline constexpr uint8_t NoFatChain = 0x02;

// File Name entry: 15 UTF-16 characters from offset 2.
inline constexpr std::size_t FileNameChars = 0x02;
inline constexpr std::size_t CharsPerNameEntry = 15;
inline constexpr std::size_t MaxNameLength = 255;

// Allocation Bitmap entry.
inline constexpr std::size_t BitmapFlags = 0x01;
inline constexpr uint8_t SecondBitmap = 0x01;
// Allocation Bitmap, Up-case Table and the stream: where their data lies.
inline constexpr std::size_t ClusterField = 0x14;
inline constexpr std::size_t LengthField = 0x18;

inline constexpr uint16_t AttrDirectory = 0x10;
}  // namespace exfat_entry

// FAT entries of exFAT: 32 bits, no reserved high bits.
inline constexpr uint32_t kExFatBadCluster = 0xFFFFFFF7;
inline constexpr uint32_t kExFatEndOfChain = 0xFFFFFFFF;
inline constexpr int64_t kExFatFirstCluster = 2;

}  // namespace relicta::volume
