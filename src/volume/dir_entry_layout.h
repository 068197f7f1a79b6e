#pragma once
// Byte offsets of a FAT directory entry (32 bytes) and of a long-name slot.

#include <cstddef>
#include <cstdint>

namespace relicta::volume {

namespace dir_entry {
inline constexpr std::size_t Size = 32;
inline constexpr std::size_t Name = 0x00;  // 8 bytes, padded with spaces
inline constexpr std::size_t NameBytes = 8;
inline constexpr std::size_t Extension = 0x08;  // 3 bytes
inline constexpr std::size_t ExtensionBytes = 3;
inline constexpr std::size_t Attributes = 0x0B;
inline constexpr std::size_t CaseFlags = 0x0C;       // Windows NT: lower-case base or extension
inline constexpr std::size_t CreateTime10ms = 0x0D;  // 0-199
inline constexpr std::size_t CreateTime = 0x0E;
inline constexpr std::size_t CreateDate = 0x10;
inline constexpr std::size_t AccessDate = 0x12;
inline constexpr std::size_t FirstClusterHigh = 0x14;
inline constexpr std::size_t WriteTime = 0x16;
inline constexpr std::size_t WriteDate = 0x18;
inline constexpr std::size_t FirstClusterLow = 0x1A;
inline constexpr std::size_t FileSize = 0x1C;

inline constexpr uint8_t Deleted = 0xE5;
inline constexpr uint8_t StandsForE5 = 0x05;  // a first byte of 0xE5 stored this way
inline constexpr uint8_t AttrVolumeLabel = 0x08;
inline constexpr uint8_t AttrDirectory = 0x10;
inline constexpr uint8_t AttrLongName = 0x0F;
inline constexpr uint8_t AttrReserved = 0xC0;
inline constexpr uint8_t LowerCaseBase = 0x08;
inline constexpr uint8_t LowerCaseExtension = 0x10;
}  // namespace dir_entry

namespace long_name {
inline constexpr std::size_t Ordinal = 0x00;
inline constexpr std::size_t Type = 0x0C;  // 0 for a name slot
inline constexpr std::size_t Checksum = 0x0D;
inline constexpr std::size_t FirstClusterLow = 0x1A;  // always 0
inline constexpr uint8_t OrdinalMask = 0x1F;
inline constexpr uint8_t MaxOrdinal = 20;  // 20 slots of 13 characters hold 255
inline constexpr uint8_t LastSlot = 0x40;  // flag in the ordinal of a name's last slot
inline constexpr std::size_t CharsPerSlot = 13;
inline constexpr std::size_t Chars[CharsPerSlot] = {0x01, 0x03, 0x05, 0x07, 0x09, 0x0E, 0x10,
                                                    0x12, 0x14, 0x16, 0x18, 0x1C, 0x1E};
}  // namespace long_name

}  // namespace relicta::volume
