#pragma once
// What the deep scan's pass hands the finders: the drive's bytes as they are read, once.

#include <cstddef>
#include <cstdint>
#include <span>

namespace relicta::deep {

// Finders look at every sector: partitions, clusters, MFT records and directory entries
// all begin on one.
inline constexpr std::size_t kSectorBytes = 512;

// Bytes read from the drive at byte `offset` (a multiple of kSectorBytes). A finder looks at
// the structures that BEGIN before `starts` and may read them on up to the block's end: the
// bytes from `starts` on begin the next block too, so that a structure that straddles two
// reads is seen whole, and every position is a beginning exactly once. A structure that does
// not fit in the block is cut off by the end of what could be read: finders skip it.
struct Block {
    int64_t offset = 0;
    std::span<const uint8_t> bytes;
    std::size_t starts = 0;
};

class Finder {
  public:
    virtual ~Finder() = default;
    // Called for each block in drive order, from the pass's one working thread.
    virtual void Feed(const Block& block) = 0;
};

}  // namespace relicta::deep
