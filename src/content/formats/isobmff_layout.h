#pragma once
// Byte offsets of the ISO base media file format's boxes (MP4, MOV, 3GP, HEIF) that the
// formats read. Big-endian throughout.

#include <cstddef>
#include <cstdint>

namespace relicta::content::isobmff {

namespace box {
inline constexpr std::size_t Size = 0;  // 0: to the end of the file; 1: LargeSize holds it
inline constexpr std::size_t Type = 4;
inline constexpr std::size_t LargeSize = 8;
inline constexpr std::size_t HeaderBytes = 8;
inline constexpr std::size_t LargeHeaderBytes = 16;
inline constexpr uint32_t SizeToEnd = 0;
inline constexpr uint32_t SizeIsLarge = 1;
}  // namespace box

// A full box's payload begins with a version byte and 3 bytes of flags.
namespace full_box {
inline constexpr std::size_t Version = 0;
inline constexpr std::size_t HeaderBytes = 4;
}  // namespace full_box

namespace ftyp {
inline constexpr std::size_t MajorBrand = 8;
inline constexpr std::size_t CompatibleBrands = 16;
inline constexpr uint32_t MinBytes = 16;
inline constexpr uint32_t MaxBytes = 1024;  // far more brands than any file lists
}  // namespace ftyp

// Movie header: times in seconds since 1904-01-01 UTC, 32-bit in version 0, 64-bit in 1.
namespace mvhd {
inline constexpr std::size_t CreationTime = 4;  // from the payload's start
inline constexpr int64_t EpochToUnixSeconds = 2082844800;
}  // namespace mvhd

// HEIF item info entry (infe, version 2 or 3): the item's id and its type.
namespace infe {
inline constexpr std::size_t ItemId = 4;
inline constexpr std::size_t ProtectionIndexBytes = 2;
}  // namespace infe

// HEIF item locations (iloc): field sizes packed in nibbles, then the items.
namespace iloc {
inline constexpr std::size_t OffsetAndLengthSizes = 4;
inline constexpr std::size_t BaseOffsetAndIndexSizes = 5;
inline constexpr std::size_t ItemCount = 6;
}  // namespace iloc

}  // namespace relicta::content::isobmff
