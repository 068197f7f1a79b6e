#pragma once
// What the deep scan knows of the file system the drive holds now, if any: which clusters it
// uses (an old file whose clusters it took cannot be rated well) and its geometry (an old
// volume quick-formatted in place often had the same).

#include <cstdint>
#include <vector>

#include "deep/deep_pass.h"

namespace relicta::deep {

enum class CurrentKind : uint8_t { None, Fat, ExFat, Ntfs };

struct CurrentVolume {
    CurrentKind kind = CurrentKind::None;
    int64_t length = 0;             // bytes of the drive
    int64_t clusterAreaOffset = 0;  // FAT, exFAT: cluster 2; NTFS: cluster 0 (0)
    uint32_t clusterBytes = 0;
    uint8_t fatIndexBits = 0;  // FAT: 12, 16 or 32
    int64_t totalClusters = 0;
    int64_t mftOffset = 0;     // NTFS: where its MFT begins
    uint32_t recordBytes = 0;  // NTFS
    // Stretches of the drive the current file system uses, sorted and disjoint (empty
    // without one): what it holds is its own, not an old volume's.
    std::vector<ByteRange> used;

    // Whether any byte of [offset, offset + length) lies in a stretch in use.
    bool InUse(int64_t offset, uint64_t length) const;
    // The stretches of [0, length) not in use: what the pass reads.
    std::vector<ByteRange> Unused() const;
};

}  // namespace relicta::deep
