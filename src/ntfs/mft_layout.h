#pragma once
// Byte offsets of the NTFS on-disk structures this reader uses.

#include <cstddef>
#include <cstdint>

namespace relicta::ntfs {

// MFT record header (FILE record).
namespace record {
inline constexpr std::size_t Signature = 0;
inline constexpr std::size_t UpdateSequenceArrayOffset = 4;
inline constexpr std::size_t UpdateSequenceArraySize = 6;
inline constexpr std::size_t SequenceNumber = 16;
inline constexpr std::size_t FirstAttributeOffset = 20;
inline constexpr std::size_t Flags = 22;
inline constexpr std::size_t BytesInUse = 24;
inline constexpr std::size_t BytesAllocated = 28;
inline constexpr std::size_t BaseRecord = 32;
inline constexpr std::size_t HeaderEnd = 42;     // end of the fields every NTFS version has
inline constexpr std::size_t RecordNumber = 44;  // NTFS 3.1: the record's own number
inline constexpr std::size_t RecordNumberEnd = 48;

inline constexpr uint16_t FlagInUse = 0x0001;
inline constexpr uint16_t FlagDirectory = 0x0002;
inline constexpr uint16_t DefaultUpdateSequenceArrayOffset = 42;
inline constexpr uint16_t MaxFirstAttributeOffset = 1024;
}  // namespace record

// Update sequences protect every 512 bytes, whatever the sector size.
inline constexpr uint32_t kUpdateSequenceStride = 512;

// Attribute header.
namespace attr {
inline constexpr std::size_t TypeCode = 0;
inline constexpr std::size_t RecordLength = 4;
inline constexpr std::size_t FormCode = 8;
inline constexpr std::size_t NameLength = 9;
inline constexpr std::size_t NameOffset = 10;
inline constexpr std::size_t AttributeFlags = 12;
inline constexpr std::size_t Instance = 14;            // the attribute's number within its record
inline constexpr std::size_t ValueLength = 16;         // resident
inline constexpr std::size_t ValueOffset = 20;         // resident
inline constexpr std::size_t LowestVcn = 16;           // non-resident
inline constexpr std::size_t HighestVcn = 24;          // non-resident
inline constexpr std::size_t MappingPairsOffset = 32;  // non-resident
inline constexpr std::size_t CompressionUnit = 34;     // non-resident: log2 of clusters
inline constexpr std::size_t AllocatedSize = 40;       // non-resident
inline constexpr std::size_t FileSize = 48;            // non-resident
inline constexpr std::size_t ValidDataLength = 56;     // non-resident

inline constexpr std::size_t ResidentHeaderSize = 24;
inline constexpr std::size_t NonResidentHeaderSize = 64;
inline constexpr uint8_t FormResident = 0;
inline constexpr uint16_t FlagCompressionMask = 0x00FF;
inline constexpr uint16_t FlagEncrypted = 0x4000;
inline constexpr uint8_t DefaultCompressionUnit = 4;  // 16 clusters
inline constexpr uint8_t MaxCompressionUnit = 8;
}  // namespace attr

// Attribute-list entry.
namespace list_entry {
inline constexpr std::size_t TypeCode = 0;
inline constexpr std::size_t EntryLength = 4;
inline constexpr std::size_t NameLength = 6;
inline constexpr std::size_t NameOffset = 7;
inline constexpr std::size_t LowestVcn = 8;
inline constexpr std::size_t SegmentReference = 16;
inline constexpr std::size_t MinimumSize = 24;
inline constexpr std::size_t Instance = 24;  // the attribute's Instance in that record
}  // namespace list_entry

// $STANDARD_INFORMATION value.
namespace std_info {
inline constexpr std::size_t CreationTime = 0;
inline constexpr std::size_t LastWriteTime = 8;
inline constexpr std::size_t ChangeTime = 16;  // of the MFT record
inline constexpr std::size_t LastAccessTime = 24;
inline constexpr std::size_t FileAttributes = 32;
inline constexpr std::size_t MinimumSize = 36;  // through the attributes
}  // namespace std_info

// $FILE_NAME value.
namespace file_name {
inline constexpr std::size_t ParentReference = 0;
inline constexpr std::size_t FileAttributes = 56;
inline constexpr std::size_t NameLength = 64;  // in UTF-16 units
inline constexpr std::size_t Namespace = 65;
inline constexpr std::size_t Name = 66;

inline constexpr uint8_t NamespaceDos = 2;  // the 8.3 alias of a long name
}  // namespace file_name

// A file reference: the record number in the low 48 bits, its sequence number above.
inline constexpr uint64_t kReferenceRecordMask = 0x0000FFFFFFFFFFFFULL;
inline constexpr int kReferenceSequenceShift = 48;

// Attribute type codes.
inline constexpr uint32_t kStandardInformation = 0x10;
inline constexpr uint32_t kAttributeList = 0x20;
inline constexpr uint32_t kFileName = 0x30;
inline constexpr uint32_t kVolumeName = 0x60;
inline constexpr uint32_t kVolumeInformation = 0x70;
inline constexpr uint32_t kData = 0x80;
inline constexpr uint32_t kIndexRoot = 0x90;
inline constexpr uint32_t kIndexAllocation = 0xA0;
inline constexpr uint32_t kBitmap = 0xB0;
inline constexpr uint32_t kEndMarker = 0xFFFFFFFF;

// Well-known records.
inline constexpr uint32_t MASTER_FILE_TABLE_NUMBER = 0;
inline constexpr uint32_t kVolumeRecord = 3;
inline constexpr uint32_t kRootDirectoryRecord = 5;
inline constexpr uint32_t kVolumeBitmapRecord = 6;
inline constexpr uint32_t kBadClusterRecord = 8;

}  // namespace relicta::ntfs
