#pragma once
// One sequential pass over stretches of a drive in large reads, every block handed to the
// finders while the next is read.

#include <cstdint>
#include <span>
#include <vector>

#include "deep/finder.h"
#include "platform/platform.h"

namespace relicta::deep {

// A stretch of the drive, in bytes from its start.
struct ByteRange {
    int64_t offset = 0;
    int64_t length = 0;
};

struct PassResult {
    int64_t bytesRead = 0;
    int64_t bytesUnreadable = 0;  // failed reads: what lay there is not seen
    bool cancelled = false;       // StopScan was set: what the finders hold so far stands
};

// How long a structure a finder reads may be: a block's last bytes that long begin the next.
inline constexpr std::size_t kCarryBytes = std::size_t{64} * 1024;

// Reads `ranges` (sorted, disjoint, sector-aligned) of `handle` once, in order, and hands every
// block to each finder. Shows progress (bytes done of total, rate, time left) in a progress
// window and stops when StopScan is set.
PassResult RunPass(platform::Handle handle, const std::vector<ByteRange>& ranges,
                   std::span<Finder* const> finders);

// `ranges` sorted, merged where they touch, cut to sector boundaries and to `[0, limit)`.
std::vector<ByteRange> NormalizeRanges(const std::vector<ByteRange>& ranges, int64_t limit);

}  // namespace relicta::deep
