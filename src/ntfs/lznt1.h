#pragma once
// LZNT1, the compression of NTFS compressed files, written from the published format.

#include <cstddef>
#include <cstdint>
#include <span>

namespace relicta::ntfs {

inline constexpr uint32_t kStatusSuccess = 0;
inline constexpr uint32_t kStatusBadCompressionBuffer = 0xC0000242;

// Expands `source` into `destination`, writing no more than its size. `finalSize` is the
// number of bytes produced. Returns success or the bad-compression-buffer status; on
// failure the bytes expanded so far stay in `destination`.
uint32_t Lznt1Decompress(std::span<uint8_t> destination, std::span<const uint8_t> source,
                         std::size_t& finalSize);

}  // namespace relicta::ntfs
