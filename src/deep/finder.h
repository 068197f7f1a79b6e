#pragma once
// What the deep scan's pass hands the finders: the drive's bytes as they are read, once.

#include <cstddef>
#include <cstdint>
#include <span>

namespace relicta::deep {

// Finders look at every sector: partitions, clusters, MFT records and directory entries
// all begin on one.
inline constexpr std::size_t kSectorBytes = 512;

// Bytes read from the drive at byte `offset` (a multiple of kSectorBytes). The first
// `carried` bytes end the block before and were handed with it already: they are here so
// that a structure that straddles two reads is seen whole. A finder starts a structure
// only at or past `carried`, and reads past the block's end never.
struct Block {
    int64_t offset = 0;
    std::span<const uint8_t> bytes;
    std::size_t carried = 0;
};

class Finder {
  public:
    virtual ~Finder() = default;
    // Called for each block in drive order, from the pass's one working thread.
    virtual void Feed(const Block& block) = 0;
};

}  // namespace relicta::deep
