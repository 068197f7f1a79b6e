#include "recover/found_file_data.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "app/consistency.h"
#include "deep/deep_scan.h"
#include "ntfs/attribute.h"
#include "ntfs/attribute_data.h"
#include "ntfs/mft_layout.h"
#include "ntfs/mft_record.h"
#include "ntfs/ntfs_volume.h"
#include "recover/cluster_runs.h"
#include "scan/found_files.h"
#include "volume/raw_io.h"
#include "volume/vcb.h"

namespace relicta::recover {
namespace {

using volume::Vcb;

// Fills `out` from `ranges`, which cover it in order; false when some of it lies in sectors
// that could not be read: nothing is judged on the zeros standing in for them.
bool ReadStoredRanges(const std::vector<content::StoredRange>& ranges, std::span<uint8_t> out) {
    std::size_t at = 0;
    for (const content::StoredRange& r : ranges) {
        const std::span<uint8_t> into = out.subspan(at, static_cast<std::size_t>(r.length));
        if (r.volumeOffset == content::StoredRange::kZeros) {
            std::fill(into.begin(), into.end(), 0);
        } else if (volume::ReadVolumeBytes(Vcb->hVolume, r.volumeOffset, into) != into.size()) {
            return false;
        }
        at += into.size();
    }
    return true;
}

class NtfsData final : public content::DataReader {
  public:
    NtfsData(ntfs::MftRecordPtr record, ntfs::Attribute data, uint64_t size)
        : record_(std::move(record)), data_(std::move(data)), size_(size) {}
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, std::span<uint8_t> out) override {
        if (offset > size_ || out.size() > size_ - offset) {
            return false;
        }
        if (out.empty()) {
            return true;  // a file without data has no attribute to read
        }
        const std::optional<ntfs::AttributeData> piece =
            ntfs::ReadAttributeData(Vcb->hVolume, data_, static_cast<int64_t>(offset),
                                    static_cast<int64_t>(out.size()), false);
        if (!piece || piece->Data().size() < out.size()) {
            return false;
        }
        std::memcpy(out.data(), piece->Data().data(), out.size());
        return true;
    }

  private:
    ntfs::MftRecordPtr record_;  // keeps a resident value alive
    ntfs::Attribute data_;
    uint64_t size_;
};

// A file's stored runs laid end to end; zeros past the valid length. A FAT or exFAT file's
// runs end where the free clusters did: a read past them fails. An NTFS run list that ends
// early reads as zeros past it, as a read of the attribute gives.
class ClusterData final : public content::DataReader {
  public:
    enum class PastRuns { Fail, Zeros };
    ClusterData(std::vector<volume::ClusterExtent> extents, uint64_t size, uint64_t valid,
                PastRuns past = PastRuns::Fail)
        : extents_(std::move(extents)), size_(size), valid_(std::min(valid, size)) {
        uint64_t at = 0;
        for (const volume::ClusterExtent& e : extents_) {
            starts_.push_back(at);
            at += static_cast<uint64_t>(e.clusters) * Vcb->BytesPerCluster;
        }
        reach_ = at;
        if (past == PastRuns::Zeros) {
            valid_ = std::min(valid_, reach_);
        }
    }
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, std::span<uint8_t> out) override {
        if (!Map(offset, out.size(), ranges_)) {
            return false;
        }
        return ReadStoredRanges(ranges_, out);
    }
    bool Locate(std::size_t n, std::vector<content::StoredRange>& ranges) override {
        return Map(0, n, ranges);
    }

  private:
    // Where the `n` bytes at `offset` lie: stored stretches, then zeros past the valid length;
    // false past the end or where the runs end first.
    bool Map(uint64_t offset, uint64_t n, std::vector<content::StoredRange>& ranges) const {
        ranges.clear();
        if (offset > size_ || n > size_ - offset) {
            return false;
        }
        const uint64_t end = std::min<uint64_t>(offset + n, valid_);
        if (end > reach_) {
            return false;  // the free clusters ran out before the file's end
        }
        const uint64_t clusterBytes = Vcb->BytesPerCluster;
        for (uint64_t at = offset; at < end;) {
            const std::size_t run = static_cast<std::size_t>(
                std::upper_bound(starts_.begin(), starts_.end(), at) - starts_.begin() - 1);
            const uint64_t inRun = at - starts_[run];
            const std::optional<int64_t> cluster = volume::ClusterOffset(
                extents_[run].lcn + static_cast<int64_t>(inRun / clusterBytes));
            const uint64_t runEnd =
                starts_[run] + static_cast<uint64_t>(extents_[run].clusters) * clusterBytes;
            const uint64_t take = std::min(end, runEnd) - at;
            if (!cluster) {
                return false;
            }
            const __int128 from = static_cast<__int128>(*cluster) + inRun % clusterBytes;
            if (from > INT64_MAX - static_cast<__int128>(take)) {
                return false;
            }
            ranges.push_back({static_cast<int64_t>(from), take});
            at += take;
        }
        // Past the valid length: zeros.
        const uint64_t stored = end > offset ? end - offset : 0;
        if (stored < n) {
            ranges.push_back({content::StoredRange::kZeros, n - stored});
        }
        return true;
    }

    std::vector<volume::ClusterExtent> extents_;
    std::vector<uint64_t> starts_;  // each run's offset in the file
    uint64_t size_;
    uint64_t valid_;
    uint64_t reach_ = 0;
    std::vector<content::StoredRange> ranges_;
};

// A deep scan's file: its stored extents end to end, zeros past the valid length, or the
// value its record held.
class DeepData final : public content::DataReader {
  public:
    DeepData(const scan::DeepLocation& where, uint64_t size, uint64_t valid)
        : where_(where), size_(size), valid_(std::min(valid, size)) {
        for (const scan::DeepExtent& e : where_.extents) {
            starts_.push_back(reach_);
            reach_ += e.length;
        }
        if (where_.residentData) {
            reach_ = where_.resident.size();
        }
    }
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, std::span<uint8_t> out) override {
        if (where_.residentData) {
            if (offset > size_ || out.size() > size_ - offset || offset + out.size() > reach_) {
                return false;
            }
            std::memcpy(out.data(), where_.resident.data() + offset, out.size());
            return true;
        }
        if (!Locate(offset, out.size(), ranges_)) {
            return false;
        }
        return ReadStoredRanges(ranges_, out);
    }
    std::span<const uint8_t> View(uint64_t offset, std::size_t n) override {
        if (!where_.residentData || offset > reach_ || n > reach_ - offset || offset + n > size_) {
            return {};
        }
        return std::span<const uint8_t>(where_.resident).subspan(offset, n);
    }
    bool Locate(std::size_t n, std::vector<content::StoredRange>& ranges) override {
        return !where_.residentData && Locate(0, n, ranges);
    }

  private:
    bool Locate(uint64_t offset, uint64_t n, std::vector<content::StoredRange>& ranges) const {
        ranges.clear();
        if (offset > size_ || n > size_ - offset) {
            return false;
        }
        const uint64_t end = std::min<uint64_t>(offset + n, valid_);
        if (end > reach_) {
            return false;
        }
        for (uint64_t at = offset; at < end;) {
            const std::size_t i = static_cast<std::size_t>(
                std::upper_bound(starts_.begin(), starts_.end(), at) - starts_.begin() - 1);
            const scan::DeepExtent& e = where_.extents[i];
            const uint64_t inside = at - starts_[i];
            const uint64_t take = std::min(end, starts_[i] + e.length) - at;
            ranges.push_back({e.offset == scan::DeepExtent::kZeros
                                  ? content::StoredRange::kZeros
                                  : e.offset + static_cast<int64_t>(inside),
                              take});
            at += take;
        }
        const uint64_t stored = end > offset ? end - offset : 0;
        if (stored < n) {
            ranges.push_back({content::StoredRange::kZeros, n - stored});
        }
        return true;
    }

    const scan::DeepLocation& where_;
    uint64_t size_;
    uint64_t valid_;
    uint64_t reach_ = 0;
    std::vector<uint64_t> starts_;
    std::vector<content::StoredRange> ranges_;
};

}  // namespace

std::unique_ptr<content::DataReader> OpenFoundFileData(uint32_t itemNum) {
    if (itemNum >= scan::foundFiles.size() || Vcb == nullptr) {
        return nullptr;
    }
    const scan::FoundFile& file = scan::foundFiles[itemNum];
    const uint64_t size = static_cast<uint64_t>(std::max<int64_t>(file.size, 0));
    if (const scan::DeepLocation* where = file.Deep()) {
        const uint64_t valid =
            file.ValidLength() < 0 ? size : static_cast<uint64_t>(file.ValidLength());
        return std::make_unique<DeepData>(*where, size, valid);
    }
    if (!Vcb->IsFat) {
        ntfs::MftRecordPtr record = ntfs::ReadMftRecord(Vcb->hVolume, file.mftOrCluster, true);
        if (!record) {
            return nullptr;
        }
        std::optional<ntfs::Attribute> data =
            ntfs::FindAttribute(Vcb->hVolume, record, ntfs::kData, u"");
        if (!data && size > 0) {
            return nullptr;
        }
        // A listed size past what the clusters hold is a damaged one: only what they hold
        // is read.
        const uint64_t readable =
            data && !data->IsResident()
                ? std::min<uint64_t>(
                      size, static_cast<uint64_t>(std::max<int64_t>(data->AllocatedSize(), 0)))
                : size;
        if (data && !data->IsResident() && !data->IsCompressed()) {
            // Stored runs are read straight into the caller's buffer.
            std::vector<volume::ClusterExtent> extents = ntfs::PlainExtents(*data);
            if (!extents.empty()) {
                return std::make_unique<ClusterData>(std::move(extents), readable, readable,
                                                     ClusterData::PastRuns::Zeros);
            }
        }
        return data ? std::make_unique<NtfsData>(std::move(record), std::move(*data), readable)
                    : std::make_unique<NtfsData>(std::move(record), ntfs::Attribute{}, 0);
    }
    std::optional<std::vector<volume::ClusterExtent>> extents = FileExtents(file);
    if (!extents) {
        return nullptr;
    }
    const uint64_t valid =
        file.ValidLength() < 0 ? size : static_cast<uint64_t>(file.ValidLength());
    return std::make_unique<ClusterData>(std::move(*extents), size, valid);
}

bool IsOpenVolumeOf(char letter) {
    return ntfs::DefragInProgress && Vcb != nullptr && platform::IsOpenHandle(Vcb->hVolume) &&
           Vcb->RootPath[0] == letter;
}

std::unique_ptr<content::DataReader> OpenFoundFileDataOnItsDrive(uint32_t itemNum) {
    if (itemNum >= scan::foundFiles.size()) {
        return nullptr;
    }
    const char drive = scan::foundFiles[itemNum].Drive();
    if (!IsOpenVolumeOf(drive)) {
        ntfs::CloseNtfsVolumeIfOpen();
        const std::optional<platform::Handle> handle = deep::OpenDriveOfFoundFiles(drive);
        if (!handle || !platform::IsOpenHandle(*handle)) {
            return nullptr;
        }
    }
    return OpenFoundFileData(itemNum);
}

DataHead ReadDataHead(content::DataReader& data, uint64_t maxBytes,
                      const std::atomic<bool>& cancel) {
    constexpr uint64_t kPieceBytes = uint64_t{1} << 20;
    DataHead head;
    head.size = data.Size();
    const uint64_t wanted = std::min(head.size, maxBytes);
    head.bytes.reserve(static_cast<std::size_t>(wanted));
    while (head.bytes.size() < wanted) {
        if (cancel.load(std::memory_order_relaxed)) {
            head.cancelled = true;
            break;
        }
        const std::size_t at = head.bytes.size();
        const auto piece = static_cast<std::size_t>(std::min(kPieceBytes, wanted - at));
        head.bytes.resize(at + piece);
        if (!data.Read(at, std::span<uint8_t>(head.bytes).subspan(at))) {
            head.bytes.resize(at);
            head.readable = false;
            break;
        }
    }
    return head;
}

}  // namespace relicta::recover
