#pragma once
// Raw bytes a finder keeps where a structure may run on in a cluster elsewhere on the drive
// (a long name split between two directory clusters, an entry set a cluster's end cut off):
// once the rebuild knows which cluster came next, the pieces are read on as one.

#include <cstdint>
#include <span>
#include <vector>

#include "deep/checkpoint_io.h"

namespace relicta::deep {

struct RawPiece {
    int64_t offset = 0;  // of its first byte on the drive
    uint32_t at = 0;     // in the keeper's bytes
    uint32_t bytes = 0;
};

class RawPieces {
  public:
    // Pieces are kept in drive order.
    void Keep(int64_t offset, std::span<const uint8_t> bytes);
    std::span<const uint8_t> BytesOf(const RawPiece& piece) const;
    // The piece that begins at `offset`, or the last one that begins in [from, to).
    const RawPiece* At(int64_t offset) const;
    const RawPiece* LastIn(int64_t from, int64_t to) const;
    const std::vector<RawPiece>& All() const { return pieces_; }
    std::size_t Count() const { return pieces_.size(); }
    // For a checkpoint; Load takes at most `maxPieces` pieces of at most `maxPieceBytes` each, in
    // drive order.
    void Save(CheckpointWriter& out) const;
    bool Load(CheckpointReader& in, std::size_t maxPieces, std::size_t maxPieceBytes);

  private:
    std::vector<RawPiece> pieces_;
    std::vector<uint8_t> bytes_;
};

}  // namespace relicta::deep
