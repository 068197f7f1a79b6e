#pragma once
// Reading a TIFF structure's IFDs over untrusted bytes: the TIFF format's walk and the EXIF
// metadata of JPEGs and raws share it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "content/data_reader.h"

namespace relicta::content::tiff {

// Entries an IFD may hold: real ones hold tens, a DNG's a few hundred.
inline constexpr std::size_t kMaxEntries = 4096;
// A string value read for metadata (a camera's make or model, a date).
inline constexpr std::size_t kMaxTextBytes = 64;

struct Header {
    bool bigEndian = false;
    uint16_t magic = 0;
    uint32_t firstIfd = 0;
};

// The header at the start of `head`, when it is a TIFF one (TIFF, or ORF's variant) whose
// first IFD lies past it.
std::optional<Header> ReadHeader(std::span<const uint8_t> head);

struct Entry {
    uint16_t tag = 0;
    uint16_t type = 0;
    uint32_t count = 0;
    std::array<uint8_t, 4> value{};  // the value itself, or its offset
    // The value's length: count times the size of its type; 0 for a type this reader does not
    // know, whose value is then not looked at.
    uint64_t Bytes() const;
    bool Inline() const;
};

struct Ifd {
    std::vector<Entry> entries;
    uint32_t next = 0;  // the next IFD's offset; 0 ends the chain
    uint64_t end = 0;   // the offset just past the IFD
};

// The IFDs and values of one TIFF structure, lying at `start` of the data with its offsets
// counted from there; nothing is read at or past `end`.
class Reader {
  public:
    Reader(Window& data, uint64_t start, uint64_t end, bool bigEndian)
        : data_(data), start_(start), end_(end), bigEndian_(bigEndian) {}

    // The IFD at `offset`; false when it does not lie wholly inside or holds no entry.
    bool ReadIfd(uint32_t offset, Ifd& ifd);
    // Where an out-of-line value lies, counted from the structure's start.
    uint32_t ValueOffset(const Entry& entry) const;
    // An ASCII value up to its NUL, at most kMaxTextBytes; empty when it cannot be read.
    std::string Text(const Entry& entry);
    // Values [first, first + out.size()) of a BYTE, SHORT, LONG or IFD entry; false when they
    // cannot all be read.
    bool Numbers(const Entry& entry, uint64_t first, std::span<uint64_t> out);
    // The offset just past the structure's last byte that may be read.
    uint64_t Limit() const { return end_ - start_; }

  private:
    std::span<const uint8_t> Bytes(uint64_t offset, std::size_t n);
    std::span<const uint8_t> ValueBytes(const Entry& entry, uint64_t from, std::size_t n);

    Window& data_;
    uint64_t start_;
    uint64_t end_;
    bool bigEndian_;
};

}  // namespace relicta::content::tiff
