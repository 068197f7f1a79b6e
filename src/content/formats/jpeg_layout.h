#pragma once
// Markers and segment offsets of a JPEG file, and of the EXIF and MPF blocks its APP segments
// carry.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace relicta::content::jpeg {

inline constexpr uint8_t MarkerPrefix = 0xFF;
inline constexpr uint8_t Stuffed = 0x00;  // FF 00: an FF byte of entropy-coded data
inline constexpr uint8_t Tem = 0x01;
inline constexpr uint8_t Soi = 0xD8;
inline constexpr uint8_t Eoi = 0xD9;
inline constexpr uint8_t Sos = 0xDA;
inline constexpr uint8_t Rst0 = 0xD0;
inline constexpr uint8_t Rst7 = 0xD7;
inline constexpr uint8_t FirstSof = 0xC0;  // SOF0..SOF15 but DHT, JPG and DAC
inline constexpr uint8_t LastSof = 0xCF;
inline constexpr uint8_t Dht = 0xC4;
inline constexpr uint8_t Jpg = 0xC8;
inline constexpr uint8_t Dac = 0xCC;
inline constexpr uint8_t Dnl = 0xDC;
inline constexpr uint8_t Dqt = 0xDB;
inline constexpr uint8_t Dri = 0xDD;
inline constexpr uint8_t App0 = 0xE0;
inline constexpr uint8_t App1 = 0xE1;
inline constexpr uint8_t App2 = 0xE2;
inline constexpr uint8_t App15 = 0xEF;
inline constexpr uint8_t Com = 0xFE;

// A segment: the marker (2 bytes), its length (2, counting itself), its data.
inline constexpr std::size_t MarkerBytes = 2;
inline constexpr std::size_t Length = 2;
inline constexpr std::size_t SegmentData = 4;
inline constexpr uint16_t MinLength = 2;

// APP1 "Exif\0\0" and APP2 "MPF\0" hold a TIFF structure right after their identifier.
inline constexpr std::string_view ExifId{"Exif\0\0", 6};
inline constexpr std::string_view MpfId{"MPF\0", 4};

// The MPF index IFD's MP Entry tag: 16 bytes an image, its size and its offset counted from
// the MPF block's TIFF header (0 for the first image, the file itself).
inline constexpr uint16_t TagMpEntry = 0xB002;
inline constexpr std::size_t MpEntryBytes = 16;
inline constexpr std::size_t MpEntrySize = 4;
inline constexpr std::size_t MpEntryOffset = 8;
inline constexpr std::size_t MaxMpEntries = 16;

}  // namespace relicta::content::jpeg
