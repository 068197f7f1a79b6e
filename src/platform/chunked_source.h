#pragma once
// A disk kept in chunks of one size, each read whole and expanded or checked: E01's chunks,
// QCOW2's clusters. The chunks read last are kept expanded, and those after a stream of long
// reads are expanded ahead on a second thread.

#include <algorithm>
#include <array>
#include <cstddef>
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

// The last few tables a decoder read (a chunk table, an L2 table), each under its key; one
// read more gives up the one used longest ago.
template <typename Table, std::size_t N>
class RecentTables {
  public:
    // The table of `key`: kept, or read by `read(table)` into one of the first `slots` (at
    // most N); nullptr when the read fails.
    template <typename Read>
    Table* Get(uint64_t key, std::size_t slots, Read&& read) {
        Entry* slot = &entries_[0];
        for (std::size_t i = 0; i < std::min(slots, N); ++i) {
            Entry& e = entries_[i];
            if (e.filled && e.key == key) {
                e.lastUse = ++uses_;
                return &e.table;
            }
            if (e.lastUse < slot->lastUse) {
                slot = &e;
            }
        }
        slot->filled = false;
        if (!read(slot->table)) {
            return nullptr;
        }
        slot->key = key;
        slot->filled = true;
        slot->lastUse = ++uses_;
        return &slot->table;
    }

  private:
    struct Entry {
        uint64_t key = 0;
        bool filled = false;
        uint64_t lastUse = 0;
        Table table{};
    };
    std::array<Entry, N> entries_{};
    uint64_t uses_ = 0;
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
