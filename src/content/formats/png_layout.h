#pragma once
// The PNG signature and the layout of a chunk: length, type, data, CRC of type and data.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace relicta::content::png {

inline constexpr std::string_view Signature{"\x89PNG\r\n\x1a\n", 8};
inline constexpr std::size_t ChunkLength = 0;
inline constexpr std::size_t ChunkType = 4;
inline constexpr std::size_t ChunkData = 8;
inline constexpr std::size_t ChunkHeaderBytes = 8;
inline constexpr std::size_t CrcBytes = 4;
inline constexpr std::size_t ChunkOverhead = ChunkHeaderBytes + CrcBytes;
inline constexpr uint32_t MaxChunkLength = 0x7FFFFFFF;
// The first chunk, IHDR, holds 13 bytes.
inline constexpr std::string_view FirstChunk{"\0\0\0\x0dIHDR", 8};

}  // namespace relicta::content::png
