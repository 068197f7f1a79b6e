#pragma once
// What the two-fragment search shares between the formats it knows: one search's inputs,
// reads and bounds, the trying of one split, and the splitting of a stretch a CRC-32 covers.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "deep/bifragment.h"
#include "deep/extent_reader.h"

namespace relicta::deep::bifragment {

using Pieces = std::vector<scan::DeepExtent>;

// How much is read at once where a search reads on through the drive.
inline constexpr std::size_t kStreamBytes = std::size_t{1} << 20;
// Bytes of a block a quick test reads.
inline constexpr std::size_t kQuickBytes = 4096;
// Bounds on the work of one search.
inline constexpr int kMaxWholeChecks = 4000;
inline constexpr int kMaxEndWalks = 4000;
// Splits tried on the structure walk alone, where nothing cheaper rules them out.
inline constexpr int kMaxLooseTries = 512;

// One search: its inputs, the drive, and what it has spent.
class Search {
  public:
    Search(platform::Handle drive, const content::Format& format, const GapSearch& in,
           const WholeCheck& whole);

    const GapSearch& In() const { return in_; }
    platform::Handle Drive() const { return drive_; }
    int64_t Block() const { return in_.blockBytes; }
    int64_t GapLimit() const { return kMaxGapBlocks * Block(); }
    uint64_t MaxBytes() const;
    // The block boundary at or below `at`, and at or above it.
    int64_t Floor(int64_t at) const;
    int64_t Ceil(int64_t at) const;
    // Whether the block at `at` may hold the second piece.
    bool MayHold(int64_t at) const;
    bool Spent() const { return wholeChecks_ >= kMaxWholeChecks || endWalks_ >= kMaxEndWalks; }
    // The drive as one reader.
    content::DataReader& Disk() { return disk_; }

    // `n` bytes at `at`, fewer where the drive ends; empty when they cannot be read.
    std::span<const uint8_t> Bytes(int64_t at, std::size_t n, std::vector<uint8_t>& into);
    bool Holds(int64_t at, std::string_view text);
    // The CRC-32 of the drive's bytes [from, to), continued from `crc`.
    std::optional<uint32_t> Crc(int64_t from, int64_t to, uint32_t crc);

    // The file read as `size` bytes: [start, e1), then from s2 on.
    ExtentReader Joined(int64_t e1, int64_t s2, uint64_t size) const;
    // The split's pieces when the file they make up checks out whole: its end found by the
    // format over them (or its known size), then the whole check.
    std::optional<Pieces> Try(int64_t e1, int64_t s2);

  private:
    const GapSearch& in_;
    const content::Format& format_;
    const WholeCheck& whole_;
    platform::Handle drive_;
    ExtentReader disk_;
    int wholeChecks_ = 0;
    int endWalks_ = 0;
    std::vector<uint8_t> window_;
    std::vector<uint8_t> scratch_;
    std::vector<uint8_t> stream_;
};

// A stretch [from, to) of the drive that a CRC-32 covers, to be split at a block boundary
// e1 in [lo, hi] into [from, e1) and [e1 + gap, to + gap).
struct CrcStretch {
    int64_t from = 0;
    int64_t to = 0;
    int64_t lo = 0;
    int64_t hi = 0;
};

struct Split {
    int64_t e1 = 0;
    int64_t gap = 0;
};

// The splits of `stretch` with one of `gaps` (ascending, whole blocks) whose CRC is
// `expected(gap)` (nullopt: none is).
std::vector<Split> CrcSplits(Search& s, const CrcStretch& stretch, const std::vector<int64_t>& gaps,
                             const std::function<std::optional<uint32_t>(int64_t gap)>& expected);

// The first whole block of [from, to) whose first bytes `foreign` says cannot be the file's.
std::optional<int64_t> FirstBlockWhere(
    Search& s, int64_t from, int64_t to,
    const std::function<bool(std::span<const uint8_t>)>& foreign);
bool AllZero(std::span<const uint8_t> bytes);

// The first piece's possible ends: the break's block and a few before it, from `floor` on.
std::vector<int64_t> EndsBeforeBreak(const Search& s, int64_t floor);
// Splits tried on the structure alone, for formats that tell nothing cheaper.
std::optional<Pieces> SearchLoosely(Search& s);

// The formats' own searches.
std::optional<Pieces> SearchJpeg(Search& s);
std::optional<Pieces> SearchPng(Search& s);
std::optional<Pieces> SearchZip(Search& s);

}  // namespace relicta::deep::bifragment
