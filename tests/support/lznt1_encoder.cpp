#include "support/lznt1_encoder.h"

#include <algorithm>

namespace relicta::test {

std::vector<uint8_t> Lznt1Compress(const std::vector<uint8_t>& data, bool allowRaw) {
    std::vector<uint8_t> out;
    for (std::size_t chunkStart = 0; chunkStart < data.size(); chunkStart += 4096) {
        const std::size_t chunkEnd = std::min(data.size(), chunkStart + 4096);
        std::vector<uint8_t> body;
        std::size_t pos = chunkStart;
        while (pos < chunkEnd) {
            const std::size_t flagAt = body.size();
            body.push_back(0);
            for (int bit = 0; bit < 8 && pos < chunkEnd; ++bit) {
                const std::size_t p = pos - chunkStart;
                unsigned lengthBits = 12;
                for (std::size_t q = p == 0 ? 0 : p - 1; q >= 0x10; q >>= 1)
                    --lengthBits;
                const std::size_t maxLength = (1u << lengthBits) - 1 + 3;
                const std::size_t maxDistance = std::size_t{1} << (16 - lengthBits);
                std::size_t bestLength = 0, bestDistance = 0;
                for (std::size_t d = 1; p > 0 && d <= std::min(p, maxDistance); ++d) {
                    std::size_t l = 0;
                    while (l < maxLength && pos + l < chunkEnd &&
                           data[pos + l] == data[pos + l - d])
                        ++l;
                    if (l > bestLength) {
                        bestLength = l;
                        bestDistance = d;
                    }
                }
                if (bestLength >= 3) {
                    const uint16_t token = static_cast<uint16_t>(
                        ((bestDistance - 1) << lengthBits) | (bestLength - 3));
                    body.push_back(static_cast<uint8_t>(token));
                    body.push_back(static_cast<uint8_t>(token >> 8));
                    body[flagAt] |= static_cast<uint8_t>(1u << bit);
                    pos += bestLength;
                } else {
                    body.push_back(data[pos++]);
                }
            }
        }
        const std::size_t raw = chunkEnd - chunkStart;
        if (allowRaw && body.size() >= raw) {
            const uint16_t header = static_cast<uint16_t>(0x3000 | (raw - 1));
            out.push_back(static_cast<uint8_t>(header));
            out.push_back(static_cast<uint8_t>(header >> 8));
            out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(chunkStart),
                       data.begin() + static_cast<std::ptrdiff_t>(chunkEnd));
        } else {
            const uint16_t header = static_cast<uint16_t>(0xB000 | (body.size() - 1));
            out.push_back(static_cast<uint8_t>(header));
            out.push_back(static_cast<uint8_t>(header >> 8));
            out.insert(out.end(), body.begin(), body.end());
        }
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

}  // namespace relicta::test
