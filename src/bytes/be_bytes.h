#pragma once
// Big-endian reads over untrusted bytes (TIFF "MM", ISO media boxes, JPEG segments). As with
// the little-endian ones, a field not wholly inside the span reads as 0.

#include <cstddef>
#include <cstdint>

#include "bytes/le_bytes.h"

namespace relicta::bytes {

template <typename T>
T ReadBe(Bytes bytes, std::size_t offset) {
    if (!InBounds(bytes, offset, sizeof(T))) {
        return T{0};
    }
    uint64_t value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        value = value << 8 | bytes[offset + i];
    }
    return static_cast<T>(value);
}

inline uint16_t Be16(Bytes b, std::size_t off) {
    return ReadBe<uint16_t>(b, off);
}
inline uint32_t Be32(Bytes b, std::size_t off) {
    return ReadBe<uint32_t>(b, off);
}
inline uint64_t Be64(Bytes b, std::size_t off) {
    return ReadBe<uint64_t>(b, off);
}

// A 16- or 32-bit field in the byte order a file declares (TIFF's "II" or "MM").
inline uint16_t U16In(Bytes b, std::size_t off, bool bigEndian) {
    return bigEndian ? Be16(b, off) : U16(b, off);
}
inline uint32_t U32In(Bytes b, std::size_t off, bool bigEndian) {
    return bigEndian ? Be32(b, off) : U32(b, off);
}

}  // namespace relicta::bytes
