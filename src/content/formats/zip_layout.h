#pragma once
// Records of a ZIP file: local headers before each entry's data, the central directory, its
// end record, and the ZIP64 records that widen its fields.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace relicta::content::zip {

inline constexpr std::string_view LocalSignature{"PK\x03\x04", 4};
inline constexpr std::string_view CentralSignature{"PK\x01\x02", 4};
inline constexpr std::string_view EndSignature{"PK\x05\x06", 4};
inline constexpr std::string_view End64Signature{"PK\x06\x06", 4};
inline constexpr std::string_view Locator64Signature{"PK\x06\x07", 4};
inline constexpr std::string_view DescriptorSignature{"PK\x07\x08", 4};
inline constexpr std::size_t SignatureBytes = 4;

namespace local {
inline constexpr std::size_t Version = 4;
inline constexpr std::size_t Flags = 6;
inline constexpr std::size_t Method = 8;
inline constexpr std::size_t Crc = 14;
inline constexpr std::size_t CompressedSize = 18;
inline constexpr std::size_t Size = 22;
inline constexpr std::size_t NameLength = 26;
inline constexpr std::size_t ExtraLength = 28;
inline constexpr std::size_t Bytes = 30;
}  // namespace local

namespace central {
inline constexpr std::size_t CompressedSize = 20;
inline constexpr std::size_t Size = 24;
inline constexpr std::size_t NameLength = 28;
inline constexpr std::size_t ExtraLength = 30;
inline constexpr std::size_t CommentLength = 32;
inline constexpr std::size_t LocalOffset = 42;
inline constexpr std::size_t Bytes = 46;
}  // namespace central

namespace end {
inline constexpr std::size_t Entries = 10;
inline constexpr std::size_t DirectorySize = 12;
inline constexpr std::size_t DirectoryOffset = 16;
inline constexpr std::size_t CommentLength = 20;
inline constexpr std::size_t Bytes = 22;
inline constexpr std::size_t MaxComment = 65535;
}  // namespace end

namespace end64 {
inline constexpr std::size_t RecordSize = 4;  // of what follows this field
inline constexpr std::size_t Entries = 32;
inline constexpr std::size_t DirectorySize = 40;
inline constexpr std::size_t DirectoryOffset = 48;
inline constexpr std::size_t Bytes = 56;
inline constexpr std::size_t SizeFieldEnd = 12;  // the record's length counts from here
}  // namespace end64

namespace locator64 {
inline constexpr std::size_t End64Offset = 8;
inline constexpr std::size_t Bytes = 20;
}  // namespace locator64

// A data descriptor after an entry's data: [signature] CRC, compressed size, size; the sizes
// are 8 bytes each for ZIP64 entries.
namespace descriptor {
inline constexpr std::size_t Crc = 0;
inline constexpr std::size_t CompressedSize = 4;
inline constexpr std::size_t Bytes = 12;
inline constexpr std::size_t Bytes64 = 20;
}  // namespace descriptor

// An APK's signing block before the central directory: its length (of what follows the
// field), its pairs, the length again, the magic.
namespace apk {
inline constexpr std::size_t LengthBytes = 8;
inline constexpr std::string_view Magic = "APK Sig Block 42";
}  // namespace apk

// The ZIP64 extra field: sizes and offset, each there only when its 32-bit field is all ones.
inline constexpr uint16_t Zip64ExtraId = 0x0001;
inline constexpr std::size_t ExtraHeaderBytes = 4;
inline constexpr uint32_t Wide32 = 0xFFFFFFFF;
inline constexpr uint16_t Wide16 = 0xFFFF;

inline constexpr uint16_t FlagEncrypted = 0x0001;
inline constexpr uint16_t FlagDescriptor = 0x0008;
inline constexpr uint16_t MethodStored = 0;
inline constexpr uint16_t MethodDeflated = 8;
// Every method in use: stored, deflate, deflate64, bzip2, LZMA, Zstandard, XZ, PPMd, AES.
inline constexpr uint16_t KnownMethods[] = {0, 8, 9, 12, 14, 93, 95, 98, 99};
// Versions needed to extract go up to 6.3 today.
inline constexpr uint16_t MaxVersion = 100;

}  // namespace relicta::content::zip
