#include "deep/raw_pieces.h"

#include <algorithm>

namespace relicta::deep {
namespace {

std::vector<RawPiece>::const_iterator FirstFrom(const std::vector<RawPiece>& pieces,
                                                int64_t offset) {
    return std::lower_bound(pieces.begin(), pieces.end(), offset,
                            [](const RawPiece& p, int64_t value) { return p.offset < value; });
}

}  // namespace

void RawPieces::Keep(int64_t offset, std::span<const uint8_t> bytes) {
    pieces_.push_back(
        {offset, static_cast<uint32_t>(bytes_.size()), static_cast<uint32_t>(bytes.size())});
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
}

std::span<const uint8_t> RawPieces::BytesOf(const RawPiece& piece) const {
    return std::span<const uint8_t>(bytes_).subspan(piece.at, piece.bytes);
}

void RawPieces::Save(CheckpointWriter& out) const {
    out.Count(pieces_.size());
    for (const RawPiece& piece : pieces_) {
        out(piece.offset);
        out.Blob(BytesOf(piece));
    }
}

bool RawPieces::Load(CheckpointReader& in, std::size_t maxPieces, std::size_t maxPieceBytes) {
    const std::size_t n = in.Count(sizeof(int64_t) + sizeof(uint32_t), maxPieces);
    std::vector<uint8_t> bytes;
    int64_t last = -1;
    for (std::size_t i = 0; i < n && in.ok(); ++i) {
        last = in.Offset(last);
        in.Blob(bytes, maxPieceBytes);
        if (bytes_.size() + bytes.size() > UINT32_MAX) {
            in.Fail();
        }
        if (in.ok()) {
            Keep(last, bytes);
        }
    }
    return in.ok();
}

const RawPiece* RawPieces::At(int64_t offset) const {
    const auto it = FirstFrom(pieces_, offset);
    return it != pieces_.end() && it->offset == offset ? &*it : nullptr;
}

const RawPiece* RawPieces::LastIn(int64_t from, int64_t to) const {
    const auto it = FirstFrom(pieces_, to);
    return it != pieces_.begin() && std::prev(it)->offset >= from ? &*std::prev(it) : nullptr;
}

}  // namespace relicta::deep
