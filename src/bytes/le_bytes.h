#pragma once
// Little-endian reads over untrusted bytes. A field that does not lie wholly inside the
// span reads as 0; callers that must tell the difference test InBounds first.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace relicta::bytes {

using Bytes = std::span<const uint8_t>;

inline bool InBounds(Bytes bytes, std::size_t offset, std::size_t length) {
    return offset <= bytes.size() && length <= bytes.size() - offset;
}

template <typename T>
T ReadLe(Bytes bytes, std::size_t offset) {
    if (!InBounds(bytes, offset, sizeof(T))) {
        return T{0};
    }
    if constexpr (std::endian::native == std::endian::little) {
        T value;
        std::memcpy(&value, bytes.data() + offset, sizeof(T));
        return value;
    } else {
        uint64_t value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i) {
            value |= static_cast<uint64_t>(bytes[offset + i]) << (8 * i);
        }
        return static_cast<T>(value);
    }
}

inline uint8_t U8(Bytes b, std::size_t off) {
    return ReadLe<uint8_t>(b, off);
}
inline int8_t S8(Bytes b, std::size_t off) {
    return ReadLe<int8_t>(b, off);
}
inline uint16_t U16(Bytes b, std::size_t off) {
    return ReadLe<uint16_t>(b, off);
}
inline uint32_t U32(Bytes b, std::size_t off) {
    return ReadLe<uint32_t>(b, off);
}
inline uint64_t U64(Bytes b, std::size_t off) {
    return ReadLe<uint64_t>(b, off);
}
inline int64_t S64(Bytes b, std::size_t off) {
    return ReadLe<int64_t>(b, off);
}

}  // namespace relicta::bytes
