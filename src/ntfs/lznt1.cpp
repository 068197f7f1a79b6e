#include "ntfs/lznt1.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace relicta::ntfs {
namespace {

constexpr std::size_t kChunkSize = 4096;
constexpr uint16_t kChunkSizeMask = 0x0FFF;
constexpr uint16_t kChunkCompressed = 0x8000;
constexpr std::size_t kChunkHeaderSize = 2;
constexpr int kTokensPerFlagByte = 8;
constexpr std::size_t kMinMatch = 3;

// Expands one compressed chunk into `out` (at most 4096 bytes). Returns the bytes produced
// or nullopt when the chunk is corrupt.
std::optional<std::size_t> ExpandChunk(std::span<const uint8_t> in, std::span<uint8_t> out) {
    // Output beyond a whole chunk is corruption; beyond a smaller room it is only cut off.
    const bool cutOff = out.size() < kChunkSize;
    std::size_t ip = 0;
    std::size_t op = 0;
    while (ip < in.size()) {
        const uint8_t flags = in[ip++];
        for (int bit = 0; bit < kTokensPerFlagByte && ip < in.size(); ++bit) {
            if ((flags & (1u << bit)) == 0) {
                if (op >= out.size()) {
                    return cutOff ? std::optional<std::size_t>(op) : std::nullopt;
                }
                out[op++] = in[ip++];
                continue;
            }
            if (ip + 2 > in.size() || op == 0) {
                return std::nullopt;  // a back-reference needs two bytes and some output
            }
            const uint16_t token = static_cast<uint16_t>(in[ip] | (in[ip + 1] << 8));
            ip += 2;
            // The further into the chunk, the more bits the offset takes from the length.
            unsigned lengthBits = 12;
            for (std::size_t p = op - 1; p >= 0x10; p >>= 1) {
                --lengthBits;
            }
            const std::size_t distance = (token >> lengthBits) + 1u;
            const std::size_t length = (token & ((1u << lengthBits) - 1)) + kMinMatch;
            if (distance > op || (op + length > out.size() && !cutOff)) {
                return std::nullopt;
            }
            const std::size_t copy = std::min(length, out.size() - op);
            for (std::size_t i = 0; i < copy; ++i, ++op) {
                out[op] = out[op - distance];  // overlapping copies repeat bytes
            }
            if (copy < length) {
                return op;
            }
        }
    }
    return op;
}

}  // namespace

uint32_t Lznt1Decompress(std::span<uint8_t> destination, std::span<const uint8_t> source,
                         std::size_t& finalSize) {
    finalSize = 0;
    std::size_t ip = 0;
    std::size_t op = 0;
    while (ip + kChunkHeaderSize <= source.size()) {
        const uint16_t header = static_cast<uint16_t>(source[ip] | (source[ip + 1] << 8));
        if (header == 0) {
            break;
        }
        ip += kChunkHeaderSize;
        const std::size_t chunkBytes = (header & kChunkSizeMask) + 1u;
        if (chunkBytes > source.size() - ip) {
            return kStatusBadCompressionBuffer;  // the header claims more than is there
        }
        // A chunk that follows a short one starts at the next 4 KiB boundary.
        if (op % kChunkSize != 0) {
            const std::size_t padded =
                std::min(destination.size(), (op / kChunkSize + 1) * kChunkSize);
            std::fill(destination.begin() + static_cast<std::ptrdiff_t>(op),
                      destination.begin() + static_cast<std::ptrdiff_t>(padded), 0);
            op = padded;
        }
        if (op >= destination.size()) {
            break;  // no room left: what fits has been produced
        }
        const std::span<const uint8_t> chunk = source.subspan(ip, chunkBytes);
        const std::span<uint8_t> room =
            destination.subspan(op, std::min(kChunkSize, destination.size() - op));
        if ((header & kChunkCompressed) == 0) {
            const std::size_t n = std::min(chunk.size(), room.size());
            std::memcpy(room.data(), chunk.data(), n);
            op += n;
        } else {
            const std::optional<std::size_t> produced = ExpandChunk(chunk, room);
            if (!produced) {
                finalSize = op;
                return kStatusBadCompressionBuffer;
            }
            op += *produced;
        }
        ip += chunkBytes;
    }
    finalSize = op;
    return kStatusSuccess;
}

}  // namespace relicta::ntfs
