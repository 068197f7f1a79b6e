#pragma once
// Byte offsets and tags of a TIFF structure: a TIFF file, the camera raws built on it, and the
// EXIF block of a JPEG.

#include <cstddef>
#include <cstdint>

namespace relicta::content::tiff {

// The 8-byte header: byte order, magic, first IFD's offset.
inline constexpr std::size_t ByteOrder = 0;  // "II" little-endian, "MM" big-endian
inline constexpr std::size_t Magic = 2;
inline constexpr std::size_t FirstIfd = 4;
inline constexpr std::size_t HeaderBytes = 8;
inline constexpr std::size_t CanonRawMarker = 8;  // CR2: "CR" and its version

inline constexpr uint16_t MagicTiff = 42;
inline constexpr uint16_t MagicOlympus = 0x4F52;   // "RO" read little-endian: ORF
inline constexpr uint16_t MagicOlympusS = 0x5352;  // "RS": ORF of some models

// An IFD: a count of entries, the entries, the next IFD's offset.
inline constexpr std::size_t IfdCountBytes = 2;
inline constexpr std::size_t EntryBytes = 12;
inline constexpr std::size_t NextIfdBytes = 4;
inline constexpr std::size_t EntryTag = 0;
inline constexpr std::size_t EntryType = 2;
inline constexpr std::size_t EntryCount = 4;
inline constexpr std::size_t EntryValue = 8;  // the value itself when it fits in 4 bytes
inline constexpr std::size_t InlineValueBytes = 4;

// Field types.
inline constexpr uint16_t TypeByte = 1;
inline constexpr uint16_t TypeAscii = 2;
inline constexpr uint16_t TypeShort = 3;
inline constexpr uint16_t TypeLong = 4;
inline constexpr uint16_t TypeIfd = 13;

// Tags.
inline constexpr uint16_t TagStripOffsets = 0x0111;
inline constexpr uint16_t TagStripByteCounts = 0x0117;
inline constexpr uint16_t TagMake = 0x010F;
inline constexpr uint16_t TagModel = 0x0110;
inline constexpr uint16_t TagDateTime = 0x0132;
inline constexpr uint16_t TagTileOffsets = 0x0144;
inline constexpr uint16_t TagTileByteCounts = 0x0145;
inline constexpr uint16_t TagSubIfds = 0x014A;
inline constexpr uint16_t TagJpegOffset = 0x0201;
inline constexpr uint16_t TagJpegLength = 0x0202;
inline constexpr uint16_t TagExifIfd = 0x8769;
inline constexpr uint16_t TagGpsIfd = 0x8825;
inline constexpr uint16_t TagDateTimeOriginal = 0x9003;
inline constexpr uint16_t TagInteropIfd = 0xA005;
inline constexpr uint16_t TagDngVersion = 0xC612;

}  // namespace relicta::content::tiff
