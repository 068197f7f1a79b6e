#pragma once
// The GIF header and logical screen descriptor, and the blocks that follow it.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace relicta::content::gif {

inline constexpr std::string_view Signature87 = "GIF87a";
inline constexpr std::string_view Signature89 = "GIF89a";
inline constexpr std::size_t ScreenWidth = 6;
inline constexpr std::size_t ScreenHeight = 8;
inline constexpr std::size_t ScreenFlags = 10;
inline constexpr std::size_t HeaderBytes = 13;

// Flags of the screen and of an image: a color table follows, of 3 * 2^(size + 1) bytes.
inline constexpr uint8_t ColorTableFlag = 0x80;
inline constexpr uint8_t ColorTableSize = 0x07;

inline constexpr uint8_t ExtensionBlock = 0x21;  // label, then sub-blocks
inline constexpr uint8_t ImageBlock = 0x2C;      // descriptor, color table, LZW size, sub-blocks
inline constexpr uint8_t Trailer = 0x3B;
inline constexpr std::size_t ExtensionHeaderBytes = 2;
inline constexpr std::size_t ImageDescriptorBytes = 10;
inline constexpr std::size_t ImageFlags = 9;
inline constexpr std::size_t LzwSizeBytes = 1;
inline constexpr uint8_t MaxLzwSize = 11;
}  // namespace relicta::content::gif
