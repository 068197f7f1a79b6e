#pragma once
// Run lists (mapping pairs): where a non-resident attribute's clusters lie.

#include <cstdint>

#include "ntfs/attribute.h"

namespace relicta::ntfs {

struct Run {
    int64_t vcn = 0;           // VCN of the run's first cluster
    int64_t lcn = 0;           // LCN of the run's first cluster
    int64_t RUNlength = 0;     // clusters stored on disk
    int64_t SPARSElength = 0;  // clusters without disk clusters that follow (or the run's own)

    friend bool operator==(const Run&, const Run&) = default;
};

// LCNs are sums of untrusted deltas: they wrap instead of overflowing.
inline int64_t WrapAdd(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

// VCNs beyond this cannot describe data of any volume.
inline constexpr int64_t kMaxVcn = int64_t{1} << 56;

// Decodes the run at `cursor` (an offset inside the attribute, starting at its data area)
// and advances the cursor past it and past a directly following run without clusters.
bool DecodeNextRun(const Attribute& attribute, std::size_t& cursor, Run& run);

// How a decoder meets a damaged run list.
enum class RunChecks : uint8_t {
    Report,  // each oddity is a consistency failure (the open volume's own records)
    Refuse,  // the list ends at an oddity without a word (the open volume read raw)
    Quiet,   // as Refuse, and nothing reported at all: a record found anywhere on a drive
};
// DecodeNextRun over the attribute's bytes alone: no volume is asked how wide an LCN may be
// (`maxLcnBytes`) nor how to meet a damaged list.
bool DecodeNextRun(const Attribute& attribute, std::size_t& cursor, Run& run, RunChecks checks,
                   int maxLcnBytes);

// Runs of a non-resident attribute, counting a last attempt that fails on a bad run.
int CountRuns(const Attribute* attribute, bool merge);

// Where a run list starts; the cursor for the first DecodeNextRun.
std::size_t RunListStart(const Attribute& attribute);

}  // namespace relicta::ntfs
