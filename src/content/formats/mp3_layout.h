#pragma once
// An MP3 file: an ID3v2 tag, MPEG audio frames (the first may be a Xing, Info or VBRI header
// that counts the rest), then APE, Lyrics3 and ID3v1 tags.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace relicta::content::mp3 {

namespace id3 {
inline constexpr std::string_view Id = "ID3";
inline constexpr std::size_t Major = 3;
inline constexpr std::size_t Flags = 5;
inline constexpr std::size_t Size = 6;  // 4 bytes of 7 bits each
inline constexpr std::size_t HeaderBytes = 10;
inline constexpr std::size_t FooterBytes = 10;
inline constexpr uint8_t FlagUnsynchronised = 0x80;
inline constexpr uint8_t FlagExtendedHeader = 0x40;
inline constexpr uint8_t FlagFooter = 0x10;
inline constexpr uint8_t MinMajor = 2;
inline constexpr uint8_t MaxMajor = 4;

// Frames of ID3v2.3 and 2.4: id, size, flags; of 2.2: id, size.
inline constexpr std::size_t FrameHeaderBytes = 10;
inline constexpr std::size_t FrameSize = 4;
inline constexpr std::size_t FrameFlags = 8;
inline constexpr std::size_t FrameHeaderBytes22 = 6;
inline constexpr std::size_t FrameSize22 = 3;
// 2.3's frame flags (second byte) that hide a frame's text, and grouping's extra byte.
inline constexpr uint8_t Flag23Hidden = 0xC0;
inline constexpr uint8_t Flag23Grouping = 0x20;
// 2.4's: grouping's byte, compression or encryption, unsynchronisation, data length.
inline constexpr uint8_t Flag24Grouping = 0x40;
inline constexpr uint8_t Flag24Hidden = 0x0C;
inline constexpr uint8_t Flag24Unsynchronised = 0x02;
inline constexpr uint8_t Flag24DataLength = 0x01;

// A text frame's first byte: how the text is encoded.
inline constexpr uint8_t Latin1 = 0;
inline constexpr uint8_t Utf16Bom = 1;
inline constexpr uint8_t Utf16Be = 2;
inline constexpr uint8_t Utf8 = 3;
}  // namespace id3

// ID3v1: 128 bytes at the very end.
namespace id3v1 {
inline constexpr std::string_view Id = "TAG";
inline constexpr std::size_t Title = 3;
inline constexpr std::size_t Artist = 33;
inline constexpr std::size_t FieldBytes = 30;
inline constexpr std::size_t Bytes = 128;
}  // namespace id3v1

// APE tags: a 32-byte header or footer around the items; its size counts the items and footer.
namespace ape {
inline constexpr std::string_view Id = "APETAGEX";
inline constexpr std::size_t Size = 12;
inline constexpr std::size_t Flags = 20;
inline constexpr std::size_t Bytes = 32;
inline constexpr uint32_t FlagIsHeader = 0x20000000;
}  // namespace ape

// Lyrics3 v1 ("LYRICSBEGIN" .. "LYRICSEND", at most 5100 bytes of lyrics) and v2 (its size in
// 6 digits before "LYRICS200").
namespace lyrics {
inline constexpr std::string_view Begin = "LYRICSBEGIN";
inline constexpr std::string_view End1 = "LYRICSEND";
inline constexpr std::string_view End2 = "LYRICS200";
inline constexpr std::size_t SizeDigits = 6;
inline constexpr uint64_t MaxBytes1 = 5100;
inline constexpr uint64_t MaxBytes2 = 999999;
}  // namespace lyrics

namespace frame {
inline constexpr std::size_t HeaderBytes = 4;
// Where a Xing or Info header lies after the frame header: past the side information, whose
// length depends on the version and on mono or not.
inline constexpr std::size_t XingMpeg1Stereo = 36;
inline constexpr std::size_t XingMpeg1Mono = 21;
inline constexpr std::size_t XingMpeg2Stereo = 21;
inline constexpr std::size_t XingMpeg2Mono = 13;
inline constexpr std::size_t Vbri = 36;
inline constexpr std::size_t XingFlags = 4;
inline constexpr std::size_t XingFrames = 8;  // when the flags say so
inline constexpr uint32_t XingHasFrames = 0x1;
inline constexpr std::size_t VbriFrames = 14;
// Enough of the first frame for all of these.
inline constexpr std::size_t FirstFrameBytes = 64;
}  // namespace frame

}  // namespace relicta::content::mp3
