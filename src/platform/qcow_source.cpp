#include "platform/qcow_source.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/chunked_source.h"
#include "platform/file_io.h"
#include "platform/qcow_layout.h"

namespace relicta::platform {
namespace {

using Bytes = std::span<const uint8_t>;

constexpr std::string_view kMagic = {"QFI\xfb", 4};
constexpr std::size_t kHeaderReadBytes = 112;
constexpr uint64_t kMaxL1Bytes = uint64_t{64} << 20;
constexpr std::size_t kL2Tables = 4;  // each decoder keeps this many L2 tables
constexpr uint64_t kL2CacheBytes = uint64_t{4} << 20;

// A big-endian field of `width` bytes at `offset`; 0 when it does not lie inside `bytes`.
uint64_t Be(Bytes bytes, std::size_t offset, std::size_t width) {
    if (offset > bytes.size() || width > bytes.size() - offset) {
        return 0;
    }
    uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        value = value << 8 | bytes[offset + i];
    }
    return value;
}
uint32_t U32Be(Bytes bytes, std::size_t offset) {
    return static_cast<uint32_t>(Be(bytes, offset, sizeof(uint32_t)));
}
uint64_t U64Be(Bytes bytes, std::size_t offset) {
    return Be(bytes, offset, sizeof(uint64_t));
}

struct QcowLayout {
    FileDescriptor fd{-1};
    uint64_t fileSize = 0;
    uint32_t clusterBits = 0;
    bool zeroBits = false;     // version 3: an L2 entry may say its cluster reads as zeros
    std::vector<uint64_t> l1;  // as many entries as the disk needs
    ChunkGeometry geometry;
};

// Reads clusters (a chunk each): stored ones as they are, deflated ones expanded, the others
// as zeros; one per thread, each with the L2 tables it read last.
class QcowDecoder : public ChunkDecoder {
  public:
    explicit QcowDecoder(std::shared_ptr<const QcowLayout> layout) : layout_(std::move(layout)) {}

    bool Decode(uint64_t cluster, std::span<uint8_t> out) override;

  private:
    bool L2Entry(uint64_t cluster, uint64_t& entry);
    bool Expand(uint64_t entry, std::span<uint8_t> out);
    bool ReadFully(uint64_t offset, std::span<uint8_t> out) const {
        std::size_t got = 0;
        return PreadAll(layout_->fd.get(), offset, out, got) && got == out.size();
    }

    std::shared_ptr<const QcowLayout> layout_;
    Inflater inflater_;
    RecentTables<std::vector<uint8_t>, kL2Tables> l2_;  // by their offset in the file
    std::vector<uint8_t> stored_;                       // a deflated cluster as the file keeps it
    std::vector<uint8_t> cluster_;  // a whole cluster, where less of it is wanted
};

// The L2 entry of cluster `cluster`: 0 where no L2 table holds it; false when the table
// cannot be read.
bool QcowDecoder::L2Entry(uint64_t cluster, uint64_t& entry) {
    const uint64_t clusterBytes = layout_->geometry.chunkBytes;
    const uint64_t perTable = clusterBytes / qcow::EntryBytes;
    const uint64_t at =
        layout_->l1[static_cast<std::size_t>(cluster / perTable)] & qcow::OffsetMask;
    entry = 0;
    if (at == 0) {
        return true;
    }
    const std::size_t keep = clusterBytes * kL2Tables <= kL2CacheBytes ? kL2Tables : 1;
    const std::vector<uint8_t>* table = l2_.Get(at, keep, [&](std::vector<uint8_t>& bytes) {
        bytes.resize(static_cast<std::size_t>(clusterBytes));
        return ReadFully(at, bytes);
    });
    if (table == nullptr) {
        return false;
    }
    entry = U64Be(*table, static_cast<std::size_t>(cluster % perTable * qcow::EntryBytes));
    return true;
}

// Expands the deflated cluster L2 entry `entry` names into `out`.
bool QcowDecoder::Expand(uint64_t entry, std::span<uint8_t> out) {
    const QcowLayout& l = *layout_;
    const uint32_t sizeBits = l.clusterBits - 8;
    const uint32_t offsetBits = 62 - sizeBits;
    const uint64_t offset = entry & ((uint64_t{1} << offsetBits) - 1);
    const uint64_t sectors = (entry >> offsetBits & ((uint64_t{1} << sizeBits) - 1)) + 1;
    if (offset >= l.fileSize) {
        return false;
    }
    const uint64_t length =
        std::min(sectors * qcow::SectorBytes - offset % qcow::SectorBytes, l.fileSize - offset);
    stored_.resize(static_cast<std::size_t>(length));
    if (!ReadFully(offset, stored_)) {
        return false;
    }
    // A cluster expands whole; the disk's last may be wanted in part.
    const bool whole = out.size() == l.geometry.chunkBytes;
    cluster_.resize(whole ? 0 : static_cast<std::size_t>(l.geometry.chunkBytes));
    const std::span<uint8_t> into = whole ? out : std::span<uint8_t>(cluster_);
    if (inflater_.Expand(Inflater::Stream::RawDeflate, stored_, into).value_or(0) < out.size()) {
        return false;
    }
    if (!whole) {
        std::memcpy(out.data(), cluster_.data(), out.size());
    }
    return true;
}

bool QcowDecoder::Decode(uint64_t cluster, std::span<uint8_t> out) {
    uint64_t entry = 0;
    if (!L2Entry(cluster, entry)) {
        return false;
    }
    if ((entry & qcow::CompressedBit) != 0) {
        return Expand(entry, out);
    }
    const uint64_t host = entry & qcow::OffsetMask;
    // Unallocated (no backing file) or marked as zeros.
    if (host == 0 || (layout_->zeroBits && (entry & qcow::ZeroBit) != 0)) {
        std::fill(out.begin(), out.end(), 0);
        return true;
    }
    return ReadFully(host, out);
}

// Why the header's features keep the image from this reader (the library may read it); empty
// when they do not.
std::string Unsupported(Bytes header, uint32_t version) {
    if (U64Be(header, qcow::header::BackingFileOffset) != 0) {
        return "a backing file";
    }
    if (U32Be(header, qcow::header::CryptMethod) != 0) {
        return "encryption";
    }
    if (version == 3) {
        const uint64_t features = U64Be(header, qcow::header::IncompatibleFeatures);
        const uint64_t ignorable = qcow::DirtyBit | qcow::CorruptBit | qcow::CompressionTypeBit;
        if ((features & ~ignorable) != 0) {
            return "incompatible features";
        }
        if ((features & qcow::CompressionTypeBit) != 0 &&
            U32Be(header, qcow::header::HeaderLength) > qcow::header::CompressionType &&
            Be(header, qcow::header::CompressionType, 1) != 0) {
            return "zstd compression";
        }
    }
    return {};
}

}  // namespace

std::optional<OpenedImage> OpenQcowImage(const std::string& path) {
    auto layout = std::make_shared<QcowLayout>();
    layout->fd = FileDescriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (layout->fd.get() < 0) {
        return OpenedImage{nullptr, {}, path + ": " + std::strerror(errno)};
    }
    const auto fail = [&](const std::string& reason) {
        return OpenedImage{nullptr, {}, path + ": cannot read the QCOW2 image: " + reason};
    };
    layout->fileSize = LengthOf(layout->fd.get());
    std::array<uint8_t, kHeaderReadBytes> raw{};
    std::size_t got = 0;
    if (!PreadAll(layout->fd.get(), 0, raw, got) || got < qcow::header::Version2Bytes ||
        std::memcmp(raw.data(), kMagic.data(), kMagic.size()) != 0) {
        return fail("its header is cut short");
    }
    const Bytes header = Bytes(raw).first(got);
    const uint32_t version = U32Be(header, qcow::header::Version);
    if ((version != 2 && version != 3) || (version == 3 && got < qcow::header::Version3MinBytes) ||
        !Unsupported(header, version).empty()) {
        return std::nullopt;  // for the library, if this build has it
    }
    layout->clusterBits = U32Be(header, qcow::header::ClusterBits);
    if (layout->clusterBits < qcow::MinClusterBits || layout->clusterBits > qcow::MaxClusterBits) {
        return fail("its cluster size is damaged");
    }
    layout->zeroBits = version == 3;
    const uint64_t clusterBytes = uint64_t{1} << layout->clusterBits;
    const uint64_t size = U64Be(header, qcow::header::Size);
    const uint64_t clusters = size / clusterBytes + (size % clusterBytes != 0 ? 1 : 0);
    const uint64_t perTable = clusterBytes / qcow::EntryBytes;
    const uint64_t tables = clusters / perTable + (clusters % perTable != 0 ? 1 : 0);
    if (tables > kMaxL1Bytes / qcow::EntryBytes) {
        return fail("its disk is too large (" + std::to_string(size) + " bytes)");
    }
    if (U32Be(header, qcow::header::L1Size) < tables) {
        return fail("its L1 table is smaller than the disk");
    }
    std::vector<uint8_t> l1(static_cast<std::size_t>(tables * qcow::EntryBytes));
    const uint64_t l1At = U64Be(header, qcow::header::L1TableOffset);
    if (!PreadAll(layout->fd.get(), l1At, l1, got) || got != l1.size()) {
        return fail("its L1 table lies past the file's end");
    }
    layout->l1.resize(static_cast<std::size_t>(tables));
    for (std::size_t i = 0; i < layout->l1.size(); ++i) {
        layout->l1[i] = U64Be(l1, i * qcow::EntryBytes);
    }
    layout->geometry = ChunkGeometry{clusterBytes, clusters, size};
    const ChunkGeometry geometry = layout->geometry;
    std::shared_ptr<const QcowLayout> shared = std::move(layout);
    return OpenedImage{
        MakeChunkedSource(geometry, [shared] { return std::make_unique<QcowDecoder>(shared); }),
        "QCOW2",
        {}};
}

}  // namespace relicta::platform
