#pragma once
// A disk kept in chunks of one size, each read whole and expanded or checked: E01's chunks,
// QCOW2's clusters. The chunks read last are kept expanded, and those after a stream of long
// reads are expanded ahead on a second thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "platform/image_source.h"

struct libdeflate_decompressor;

namespace relicta::platform {

// libdeflate's decompressor, for one thread at a time: what a decoder expands chunks with.
class Inflater {
  public:
    Inflater();
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    enum class Stream { Zlib, RawDeflate };
    // Expands `in` into the start of `out`; the bytes it gave, or nothing when the stream is
    // damaged, longer than `out`, or (zlib) fails its checksum.
    std::optional<std::size_t> Expand(Stream stream, std::span<const uint8_t> in,
                                      std::span<uint8_t> out);

  private:
    ::libdeflate_decompressor* decompressor_;
};

// Expands chunks; each thread reading the disk has its own.
class ChunkDecoder {
  public:
    virtual ~ChunkDecoder() = default;
    // Chunk `chunk` into `out`, exactly its length; false when it cannot be read.
    virtual bool Decode(uint64_t chunk, std::span<uint8_t> out) = 0;
};

struct ChunkGeometry {
    uint64_t chunkBytes = 0;  // at most kMaxChunkBytes
    uint64_t chunks = 0;      // at least enough for `size`
    uint64_t size = 0;        // the disk's bytes

    uint64_t ChunkLength(uint64_t chunk) const {
        return std::min(chunkBytes, size - chunk * chunkBytes);
    }
};

inline constexpr uint64_t kMaxChunkBytes = uint64_t{16} << 20;

// The disk of `geometry`, read through decoders `makeDecoder` makes (one per thread).
std::unique_ptr<ImageSource> MakeChunkedSource(
    ChunkGeometry geometry, const std::function<std::unique_ptr<ChunkDecoder>()>& makeDecoder);

}  // namespace relicta::platform
