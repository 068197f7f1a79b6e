#pragma once
// Byte offsets of the EnCase (EWF version 1) segment file structures: the file header, the
// section descriptor that begins every section, and the volume and table sections' data.

#include <cstddef>
#include <cstdint>

namespace relicta::platform::ewf {

namespace file_header {
inline constexpr std::size_t Signature = 0;      // "EVF\x09\x0d\x0a\xff\x00"
inline constexpr std::size_t SegmentNumber = 9;  // uint16, 1 for the first segment
inline constexpr std::size_t Bytes = 13;
}  // namespace file_header

namespace section {
inline constexpr std::size_t Type = 0;  // NUL-padded ASCII: "volume", "sectors", "table", ...
inline constexpr std::size_t TypeBytes = 16;
inline constexpr std::size_t Next = 16;      // uint64: the next section's offset in the file
inline constexpr std::size_t Size = 24;      // uint64: the section's bytes, descriptor included
inline constexpr std::size_t Checksum = 72;  // uint32: Adler-32 of the bytes before it
inline constexpr std::size_t Bytes = 76;
}  // namespace section

// The "volume" (or "disk") section's data. SMART images keep a short form whose sector count
// is 32 bits.
namespace volume {
inline constexpr std::size_t ChunkCount = 4;        // uint32
inline constexpr std::size_t SectorsPerChunk = 8;   // uint32
inline constexpr std::size_t BytesPerSector = 12;   // uint32
inline constexpr std::size_t SectorCount = 16;      // uint64 (uint32 in the short form)
inline constexpr std::size_t LongFormBytes = 1052;  // EnCase's; the short form is 94
inline constexpr std::size_t MinBytes = 24;
}  // namespace volume

// The "table" (and its copy "table2") section's data: a header, one entry per chunk, then the
// entries' Adler-32.
namespace table {
inline constexpr std::size_t EntryCount = 0;  // uint32
inline constexpr std::size_t BaseOffset = 8;  // uint64: what the entries' offsets count from
inline constexpr std::size_t Checksum = 20;   // uint32: Adler-32 of the 20 bytes before it
inline constexpr std::size_t HeaderBytes = 24;
inline constexpr std::size_t EntryBytes = 4;
inline constexpr uint32_t EntryCompressed = 0x80000000;  // the chunk is a zlib stream
inline constexpr uint32_t EntryOffsetMask = 0x7FFFFFFF;
}  // namespace table

// A chunk stored uncompressed is followed by its Adler-32.
inline constexpr std::size_t StoredChunkChecksumBytes = 4;

}  // namespace relicta::platform::ewf
