#pragma once
// Byte offsets of the QCOW2 header (big-endian fields) and the bits of its L1 and L2 table
// entries.

#include <cstddef>
#include <cstdint>

namespace relicta::platform::qcow {

namespace header {
inline constexpr std::size_t Magic = 0;              // "QFI\xfb"
inline constexpr std::size_t Version = 4;            // uint32: 2 or 3
inline constexpr std::size_t BackingFileOffset = 8;  // uint64: 0 without a backing file
inline constexpr std::size_t ClusterBits = 20;       // uint32
inline constexpr std::size_t Size = 24;              // uint64: the disk's bytes
inline constexpr std::size_t CryptMethod = 32;       // uint32: 0 unencrypted
inline constexpr std::size_t L1Size = 36;            // uint32: entries
inline constexpr std::size_t L1TableOffset = 40;     // uint64
inline constexpr std::size_t Version2Bytes = 72;
inline constexpr std::size_t IncompatibleFeatures = 72;  // uint64, version 3
inline constexpr std::size_t HeaderLength = 100;         // uint32, version 3
inline constexpr std::size_t CompressionType = 104;      // uint8, when the header reaches it
inline constexpr std::size_t Version3MinBytes = 104;
}  // namespace header

// Incompatible features a reader may ignore: the image was not closed cleanly, or is marked
// corrupt (only writing it would be unsafe).
inline constexpr uint64_t DirtyBit = uint64_t{1} << 0;
inline constexpr uint64_t CorruptBit = uint64_t{1} << 1;
inline constexpr uint64_t CompressionTypeBit = uint64_t{1} << 3;  // zstd, not deflate

inline constexpr std::size_t EntryBytes = 8;
inline constexpr uint64_t OffsetMask = 0x00FFFFFFFFFFFE00;    // L1 and standard L2 entries
inline constexpr uint64_t CompressedBit = uint64_t{1} << 62;  // L2: a deflated cluster
inline constexpr uint64_t ZeroBit = uint64_t{1} << 0;         // L2, version 3: reads as zeros
inline constexpr uint64_t CopiedBit = uint64_t{1} << 63;
inline constexpr uint32_t MinClusterBits = 9;
inline constexpr uint32_t MaxClusterBits = 21;
inline constexpr uint64_t SectorBytes = 512;  // compressed sizes count these

}  // namespace relicta::platform::qcow
