// LZNT1 streams of any shape, into rooms of any size.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ntfs/lznt1.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    std::vector<uint8_t> room((static_cast<size_t>(data[0]) << 8 | data[1]) % 70000);
    size_t finalSize = 0;
    relicta::ntfs::Lznt1Decompress(room, std::span<const uint8_t>(data + 2, size - 2), finalSize);
    if (finalSize > room.size()) {
        __builtin_trap();
    }
    return 0;
}
