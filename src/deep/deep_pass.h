#pragma once
// One sequential pass over stretches of a drive in large reads, every block handed to the
// finders while the next is read.

#include <chrono>
#include <cstdint>
#include <functional>
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

// Where a pass stands between two reads: what it takes to go on later as if it had not
// stopped, the finders' state aside.
struct PassPosition {
    bool finished = false;
    int64_t next = 0;  // the drive offset of the next read (unless finished)
    int64_t bytesRead = 0;
    int64_t bytesUnreadable = 0;
    // The last bytes handed on, which begin the next block when it follows on at carryEnd.
    std::vector<uint8_t> carry;
    int64_t carryEnd = -1;
};

// How often a pass over a large drive saves where it stands.
inline constexpr std::chrono::steady_clock::duration kCheckpointInterval = std::chrono::minutes(5);

// What a pass saves as it goes (every `every`, when stopped, and once finished), and where it
// goes on from.
struct PassCheckpoints {
    std::function<void(const PassPosition&)> save;
    std::chrono::steady_clock::duration every = kCheckpointInterval;
    const PassPosition* from = nullptr;
};

// Reads `ranges` (sorted, disjoint, sector-aligned) of `handle` once, in order, and hands every
// block to each finder. Shows progress (bytes done of total, rate, time left) in a progress
// window and stops when StopScan is set. With `checkpoints`, saves where it stands and goes on
// from where it stood, which must be one it saved over the same ranges (ResumesAt).
PassResult RunPass(platform::Handle handle, const std::vector<ByteRange>& ranges,
                   std::span<Finder* const> finders, const PassCheckpoints* checkpoints = nullptr);

// Whether a pass over `ranges` can go on from `position`: a place between two of its reads,
// with no more carried bytes than a pass carries, no more bytes read than the ranges hold.
bool ResumesAt(const std::vector<ByteRange>& ranges, const PassPosition& position);

// `ranges` sorted, merged where they touch, cut to sector boundaries and to `[0, limit)`.
std::vector<ByteRange> NormalizeRanges(const std::vector<ByteRange>& ranges, int64_t limit);

}  // namespace relicta::deep
