#include "recover/found_file_data.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

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
        if (offset > size_ || out.size() > size_ - offset) {
            return false;
        }
        const uint64_t end = std::min<uint64_t>(offset + out.size(), valid_);
        if (end > reach_) {
            return false;  // the free clusters ran out before the file's end
        }
        // Past the valid length: zeros.
        const std::size_t stored = static_cast<std::size_t>(end > offset ? end - offset : 0);
        std::fill(out.begin() + static_cast<std::ptrdiff_t>(stored), out.end(), 0);
        const uint64_t clusterBytes = Vcb->BytesPerCluster;
        for (uint64_t at = offset; at < end;) {
            const std::size_t run = static_cast<std::size_t>(
                std::upper_bound(starts_.begin(), starts_.end(), at) - starts_.begin() - 1);
            const uint64_t inRun = at - starts_[run];
            const int64_t cluster = extents_[run].lcn + static_cast<int64_t>(inRun / clusterBytes);
            const uint64_t runEnd =
                starts_[run] + static_cast<uint64_t>(extents_[run].clusters) * clusterBytes;
            const uint64_t take = std::min(end, runEnd) - at;
            const uint64_t skip = inRun % clusterBytes;
            const std::span<uint8_t> into =
                out.subspan(static_cast<std::size_t>(at - offset), static_cast<std::size_t>(take));
            if (skip == 0) {
                volume::ReadClusterBytes(Vcb->hVolume, cluster, into);
                at += take;
                continue;
            }
            // Whole clusters from the one `at` lies in, then the part wanted.
            buffer_.resize(static_cast<std::size_t>((skip + take + clusterBytes - 1) /
                                                    clusterBytes * clusterBytes));
            volume::ReadClusterBytes(Vcb->hVolume, cluster, buffer_);
            std::memcpy(into.data(), buffer_.data() + skip, into.size());
            at += take;
        }
        return true;
    }

  private:
    std::vector<volume::ClusterExtent> extents_;
    std::vector<uint64_t> starts_;  // each run's offset in the file
    uint64_t size_;
    uint64_t valid_;
    uint64_t reach_ = 0;
    std::vector<uint8_t> buffer_;
};

}  // namespace

std::unique_ptr<content::DataReader> OpenFoundFileData(uint32_t itemNum) {
    if (itemNum >= scan::foundFiles.size() || Vcb == nullptr) {
        return nullptr;
    }
    const scan::FoundFile& file = scan::foundFiles[itemNum];
    const uint64_t size = static_cast<uint64_t>(std::max<int64_t>(file.size, 0));
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
    const uint64_t valid = file.validLength < 0 ? size : static_cast<uint64_t>(file.validLength);
    return std::make_unique<ClusterData>(std::move(*extents), size, valid);
}

}  // namespace relicta::recover
