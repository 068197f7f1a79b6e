// TIFF and the camera raws built on it (CR2, NEF, ARW, DNG, ORF): the file reaches as far as
// its IFDs, their values, and the strips, tiles and JPEG streams they point at.
#include <algorithm>
#include <array>
#include <vector>

#include "bytes/be_bytes.h"
#include "content/formats/all_formats.h"
#include "content/formats/exif.h"
#include "content/formats/tiff_ifd.h"
#include "content/formats/tiff_layout.h"
#include "content/formats/walk.h"

namespace relicta::content {
namespace {

// IFDs of one file: a raw holds a handful (the chain, SubIFDs, EXIF, GPS).
constexpr std::size_t kMaxIfds = 256;
// Strip or tile offsets read at once.
constexpr std::size_t kNumbersAtOnce = 1024;

// The walk over every IFD a TIFF structure reaches, and every extent they point at.
class ExtentWalk {
  public:
    ExtentWalk(Window& data, const tiff::Header& header)
        : reader_(data, 0, data.Size(), header.bigEndian), pending_{header.firstIfd} {}

    // Walks everything; false with `Detail()` when something lies outside the data.
    bool Run();
    uint64_t End() const { return end_; }
    bool HasImage() const { return image_; }
    const std::string& Detail() const { return detail_; }

  private:
    bool Fail(std::string detail) {
        detail_ = std::move(detail);
        return false;
    }
    // Takes [offset, offset + length) into the file's extent.
    bool Reach(uint64_t offset, uint64_t length, const char* what);
    bool Walk(uint32_t offset);
    bool Visit(const tiff::Entry& entry);
    bool QueueIfds(const tiff::Entry& entry);
    bool Queue(uint32_t offset);
    bool ReachPieces(const tiff::Entry* offsets, const tiff::Entry* counts, const char* what);

    tiff::Reader reader_;
    std::vector<uint32_t> pending_;
    std::vector<uint32_t> seen_;
    uint64_t end_ = tiff::HeaderBytes;
    uint64_t items_ = 0;
    bool image_ = false;
    std::string detail_;
};

bool ExtentWalk::Reach(uint64_t offset, uint64_t length, const char* what) {
    const uint64_t limit = reader_.Limit();
    if (offset > limit || length > limit - offset) {
        return Fail(std::string(what) + " " + At(offset) + " runs past the end of the file");
    }
    end_ = std::max(end_, offset + length);
    return true;
}

bool ExtentWalk::Run() {
    while (!pending_.empty()) {
        const uint32_t offset = pending_.back();
        pending_.pop_back();
        seen_.push_back(offset);
        if (!Walk(offset)) {
            return false;
        }
    }
    return true;
}

bool ExtentWalk::Walk(uint32_t offset) {
    tiff::Ifd ifd;
    if (!reader_.ReadIfd(offset, ifd)) {
        return Fail("no IFD " + At(offset));
    }
    if (!Reach(offset, ifd.end - offset, "the IFD")) {
        return false;
    }
    const auto find = [&ifd](uint16_t tag) -> const tiff::Entry* {
        const auto it = std::find_if(ifd.entries.begin(), ifd.entries.end(),
                                     [tag](const tiff::Entry& e) { return e.tag == tag; });
        return it == ifd.entries.end() ? nullptr : &*it;
    };
    for (const tiff::Entry& entry : ifd.entries) {
        if (!Visit(entry)) {
            return false;
        }
    }
    if (!ReachPieces(find(tiff::TagStripOffsets), find(tiff::TagStripByteCounts), "the strip") ||
        !ReachPieces(find(tiff::TagTileOffsets), find(tiff::TagTileByteCounts), "the tile") ||
        !ReachPieces(find(tiff::TagJpegOffset), find(tiff::TagJpegLength), "the JPEG stream")) {
        return false;
    }
    return Queue(ifd.next);
}

bool ExtentWalk::Visit(const tiff::Entry& entry) {
    if (!entry.Inline() && !Reach(reader_.ValueOffset(entry), entry.Bytes(), "the value")) {
        return false;
    }
    switch (entry.tag) {
        case tiff::TagSubIfds:
        case tiff::TagExifIfd:
        case tiff::TagGpsIfd:
        case tiff::TagInteropIfd:
            return QueueIfds(entry);
        default:
            return true;
    }
}

bool ExtentWalk::QueueIfds(const tiff::Entry& entry) {
    if (entry.count > kMaxIfds) {
        return Fail("too many SubIFDs");
    }
    std::array<uint64_t, kMaxIfds> offsets{};
    const std::span<uint64_t> read(offsets.data(), entry.count);
    if (!reader_.Numbers(entry, 0, read)) {
        return Fail("unreadable IFD offsets");
    }
    for (const uint64_t offset : read) {
        if (!Queue(static_cast<uint32_t>(offset))) {
            return false;
        }
    }
    return true;
}

bool ExtentWalk::Queue(uint32_t offset) {
    const auto has = [offset](const std::vector<uint32_t>& v) {
        return std::find(v.begin(), v.end(), offset) != v.end();
    };
    // An IFD met again (a chain looping back, SubIFDs listed twice) adds nothing.
    if (offset == 0 || has(seen_) || has(pending_)) {
        return true;
    }
    if (seen_.size() + pending_.size() >= kMaxIfds) {
        return Fail("too many IFDs");
    }
    pending_.push_back(offset);
    return true;
}

// Strips, tiles or a JPEG stream: offsets and byte counts, one pair a piece.
bool ExtentWalk::ReachPieces(const tiff::Entry* offsets, const tiff::Entry* counts,
                             const char* what) {
    if (offsets == nullptr && counts == nullptr) {
        return true;
    }
    if (offsets == nullptr || counts == nullptr || offsets->count != counts->count) {
        return Fail(std::string(what) + " offsets and byte counts do not pair up");
    }
    std::array<uint64_t, kNumbersAtOnce> starts{};
    std::array<uint64_t, kNumbersAtOnce> lengths{};
    for (uint64_t first = 0; first < offsets->count;) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<uint64_t>(kNumbersAtOnce, offsets->count - first));
        items_ += n;
        if (items_ > kMaxItems) {
            return Fail("too many strips or tiles");
        }
        if (!reader_.Numbers(*offsets, first, std::span(starts).first(n)) ||
            !reader_.Numbers(*counts, first, std::span(lengths).first(n))) {
            return Fail(std::string("unreadable ") + what + " offsets");
        }
        for (std::size_t i = 0; i < n; ++i) {
            if (lengths[i] == 0) {
                continue;
            }
            if (!Reach(starts[i], lengths[i], what)) {
                return false;
            }
            image_ = true;
        }
        first += n;
    }
    return true;
}

// The header and, where the first IFD lies in the sector, that it looks like one.
bool IsTiffHeader(std::span<const uint8_t> head) {
    if (head.empty() || (head[0] != 'I' && head[0] != 'M')) {
        return false;
    }
    const std::optional<tiff::Header> header = tiff::ReadHeader(head);
    if (!header || header->firstIfd >= kTiffFormat.maxBytes) {
        return false;
    }
    const std::size_t ifd = header->firstIfd;
    if (!bytes::InBounds(head, ifd, tiff::IfdCountBytes + tiff::EntryBytes)) {
        return true;
    }
    const std::size_t count = bytes::U16In(head, ifd, header->bigEndian);
    const tiff::Entry first{
        .type = bytes::U16In(head, ifd + tiff::IfdCountBytes + tiff::EntryType, header->bigEndian),
        .count = 1};
    return count != 0 && count <= tiff::kMaxEntries && first.Bytes() != 0;
}

StructureResult CheckTiff(Window& data) {
    const std::optional<tiff::Header> header = tiff::ReadHeader(UpTo(data, 0, tiff::HeaderBytes));
    if (!header) {
        return NoSignature("no TIFF header");
    }
    ExtentWalk walk(data, *header);
    if (!walk.Run()) {
        return Broken(walk.Detail());
    }
    return walk.HasImage() ? Ok() : Broken("no image data");
}

FileEnd FindTiffEnd(Window& data) {
    const std::optional<tiff::Header> header = tiff::ReadHeader(UpTo(data, 0, tiff::HeaderBytes));
    if (!header) {
        return NoEnd("no TIFF header");
    }
    ExtentWalk walk(data, *header);
    if (!walk.Run()) {
        return NoEnd(walk.Detail());
    }
    return walk.HasImage() ? EndAt(walk.End()) : NoEnd("no image data");
}

// Whether the first IFD points at SubIFDs: where Nikon's and Sony's raws keep the raw image,
// and a TIFF merely written from a photo of theirs does not.
bool HasSubIfds(Window& data, uint64_t end) {
    const std::optional<tiff::Header> header = tiff::ReadHeader(UpTo(data, 0, tiff::HeaderBytes));
    tiff::Reader reader(data, 0, end, header && header->bigEndian);
    tiff::Ifd ifd;
    return header && reader.ReadIfd(header->firstIfd, ifd) &&
           std::any_of(ifd.entries.begin(), ifd.entries.end(),
                       [](const tiff::Entry& e) { return e.tag == tiff::TagSubIfds; });
}

Metadata ReadTiffFileMetadata(Window& data, uint64_t end) {
    Metadata metadata = ReadTiffMetadata(data, 0, end);
    if (metadata.extension.empty() && HasSubIfds(data, end)) {
        if (metadata.camera.starts_with("NIKON")) {
            metadata.extension = "nef";
        } else if (metadata.camera.starts_with("SONY")) {
            metadata.extension = "arw";
        }
    }
    return metadata;
}

}  // namespace

const Format kTiffFormat = {
    .family = Family::Tiff,
    .name = "TIFF",
    .extension = "tif",
    .IsHeader = IsTiffHeader,
    .Check = CheckTiff,
    .FindEnd = FindTiffEnd,
    .ReadMetadata = ReadTiffFileMetadata,
    .maxBytes = uint64_t{512} << 20,
};

}  // namespace relicta::content
