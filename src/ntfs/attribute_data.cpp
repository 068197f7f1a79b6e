#include "ntfs/attribute_data.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "app/consistency.h"
#include "app/dialogs.h"
#include "app/process_exit.h"
#include "ntfs/lznt1.h"
#include "ntfs/runs.h"
#include "volume/raw_io.h"
#include "volume/vcb.h"

namespace relicta::ntfs {
namespace {

using volume::Vcb;

// Decodes the runs of an attribute in order, going on into the pieces of a split one.
class RunDecoder {
  public:
    explicit RunDecoder(const Attribute& attribute)
        : first_(attribute), cursor_(RunListStart(attribute)) {}

    bool Next(Run& run) {
        for (;;) {
            const Attribute& current = piece_ == 0 ? first_ : first_.continuations[piece_ - 1];
            const std::size_t before = cursor_;
            if (DecodeNextRun(current, cursor_, run)) {
                return true;
            }
            // Only a list that ended with its end marker carries on in the next piece.
            const bytes::Bytes bytes = current.Bytes();
            const bool ended = bytes::InBounds(bytes, before, 1) && bytes[before] == 0;
            if (!ended || piece_ >= first_.continuations.size()) {
                return false;
            }
            ++piece_;
            cursor_ = RunListStart(first_.continuations[piece_ - 1]);
        }
    }

  private:
    const Attribute& first_;
    std::size_t piece_ = 0;
    std::size_t cursor_;
};

void ReportDecompressFailure(uint32_t status) {
    app::MessageBox(
        "Decompress of file didn't work.  File probably damaged",
        status == kStatusBadCompressionBuffer ? "Problem: Bad compression buffer" : "Problem");
}

// Stored clusters of a run list in VCN order: where each piece of the data lies on disk.
struct StoredExtent {
    int64_t vcn;
    int64_t lcn;
    int64_t clusters;
};

std::vector<StoredExtent> StoredExtents(const Attribute& attribute) {
    std::vector<StoredExtent> extents;
    RunDecoder runs(attribute);
    Run run;
    while (runs.Next(run)) {
        if (run.RUNlength > 0) {
            extents.push_back({run.vcn, run.lcn, run.RUNlength});
        }
        run.vcn += std::max<int64_t>(run.RUNlength, 0) + std::max<int64_t>(run.SPARSElength, 0);
    }
    return extents;
}

// The clusters of [from, to) that `extents` (from `next` on) store.
int64_t StoredClusters(const std::vector<StoredExtent>& extents, std::size_t next, int64_t from,
                       int64_t to) {
    int64_t clusters = 0;
    for (std::size_t i = next; i < extents.size() && extents[i].vcn < to; ++i) {
        clusters += std::max<int64_t>(
            0, std::min(to, extents[i].vcn + extents[i].clusters) - std::max(from, extents[i].vcn));
    }
    return clusters;
}

// Reads the stored clusters of [from, to) one after another into `into`, as far as it goes.
void ReadStored(platform::Handle hVolume, const std::vector<StoredExtent>& extents,
                std::size_t next, int64_t from, int64_t to, std::span<uint8_t> into) {
    const int64_t clusterBytes = Vcb->BytesPerCluster;
    std::size_t at = 0;
    for (std::size_t i = next; i < extents.size() && extents[i].vcn < to && at < into.size(); ++i) {
        const int64_t start = std::max(from, extents[i].vcn);
        const int64_t end = std::min(to, extents[i].vcn + extents[i].clusters);
        if (end <= start) {
            continue;
        }
        const std::span<uint8_t> piece = into.subspan(
            at, std::min(into.size() - at, static_cast<std::size_t>((end - start) * clusterBytes)));
        const int64_t lcn = WrapAdd(extents[i].lcn, start - extents[i].vcn);
        if (LastReadLcn == 0) {
            LastReadLcn = lcn;
        }
        volume::ReadClusters(hVolume, lcn, piece, static_cast<uint32_t>(end - start));
        at += piece.size();
    }
}

// Expands the compression units that cover [firstVcn, lastVcn] into `buffer` (which starts
// at firstVcn). A unit whose clusters are all stored is stored as it is, and only the part
// asked for is read; one with fewer stored clusters holds LZNT1 data, expanded as far as the
// part asked for; one with none is zeros. The stored clusters of a unit may lie in several
// runs, and one run may hold several units.
void ReadCompressedUnits(platform::Handle hVolume, const Attribute& attribute, int64_t firstVcn,
                         int64_t lastVcn, std::span<uint8_t> buffer) {
    const int64_t clusterBytes = Vcb->BytesPerCluster;
    const int64_t unitClusters = attribute.CompressionUnitClusters();
    const std::vector<StoredExtent> extents = StoredExtents(attribute);
    std::vector<uint8_t> stored;
    std::vector<uint8_t> unit;
    std::size_t next = 0;  // first extent that may reach the current unit
    for (int64_t unitStart = firstVcn / unitClusters * unitClusters; unitStart <= lastVcn;
         unitStart += unitClusters) {
        const int64_t unitEnd = unitStart + unitClusters;
        while (next < extents.size() && extents[next].vcn + extents[next].clusters <= unitStart) {
            ++next;
        }
        // The part of the unit that lies in the range asked for, and where it goes.
        const int64_t from = std::max(unitStart, firstVcn);
        const int64_t to = std::min(unitEnd, lastVcn + 1);
        const std::size_t target = static_cast<std::size_t>((from - firstVcn) * clusterBytes);
        const std::span<uint8_t> part = std::span<uint8_t>(buffer).subspan(
            target,
            std::min(static_cast<std::size_t>((to - from) * clusterBytes), buffer.size() - target));
        const int64_t storedClusters = StoredClusters(extents, next, unitStart, unitEnd);
        if (storedClusters >= unitClusters) {
            ReadStored(hVolume, extents, next, from, to, part);
            continue;
        }
        std::fill(part.begin(), part.end(), 0);
        if (storedClusters == 0) {
            continue;
        }
        stored.resize(static_cast<std::size_t>(storedClusters * clusterBytes));
        ReadStored(hVolume, extents, next, unitStart, unitEnd, stored);
        // Expanded only as far as the part asked for reaches.
        unit.assign(static_cast<std::size_t>((to - unitStart) * clusterBytes), 0);
        std::size_t finalSize = 0;
        const uint32_t status = Lznt1Decompress(unit, stored, finalSize);
        if (status != kStatusSuccess) {
            ReportDecompressFailure(status);
        }
        const std::size_t source = static_cast<std::size_t>((from - unitStart) * clusterBytes);
        std::copy_n(unit.begin() + static_cast<std::ptrdiff_t>(source), part.size(), part.begin());
    }
}

// Skips the runs that end before `firstVcn`; false when the list ends first.
bool SkipToFirstVcn(RunDecoder& runs, Run& run, int64_t firstVcn, bool rawRuns) {
    bool decoded = runs.Next(run);
    while (decoded && (run.vcn + run.RUNlength < firstVcn || run.lcn < 0)) {
        run.vcn += run.RUNlength + (rawRuns ? 0 : run.SPARSElength);
        decoded = runs.Next(run);
    }
    if (decoded && rawRuns && run.RUNlength == 0) {
        run.vcn += run.SPARSElength;
        decoded = runs.Next(run);
    }
    return decoded;
}

std::vector<uint8_t> ReadRuns(platform::Handle hVolume, const Attribute& attribute,
                              int64_t firstVcn, int64_t lastVcn, std::size_t bufferBytes,
                              bool rawRuns, std::vector<uint8_t> buffer) {
    const uint32_t clusterBytes = Vcb->BytesPerCluster;
    const bool expanded = !rawRuns && attribute.IsCompressed();
    try {
        if (expanded) {
            buffer.assign(bufferBytes, 0);
        } else {
            buffer.resize(bufferBytes);  // what no read fills is zeroed below
        }
    } catch (const std::bad_alloc&) {
        app::FatalError("Can't allocate memory!", "Fatal Error");
    }
    if (expanded) {
        ReadCompressedUnits(hVolume, attribute, firstVcn, lastVcn, buffer);
        return buffer;
    }
    // Reads fill the buffer in order; the stretches between them (sparse runs, and past the
    // last run) are zero.
    std::size_t filled = 0;
    const auto zeroTo = [&buffer, &filled](std::size_t end) {
        end = std::min(end, buffer.size());
        if (filled < end) {
            std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(filled),
                      buffer.begin() + static_cast<std::ptrdiff_t>(end), 0);
        }
        filled = std::max(filled, end);
    };
    RunDecoder runs(attribute);
    Run run;
    if (!SkipToFirstVcn(runs, run, firstVcn, rawRuns)) {
        zeroTo(buffer.size());
        return buffer;
    }
    int64_t vcn = firstVcn;
    while (vcn <= lastVcn) {
        int64_t t = vcn - run.vcn;
        bool more = true;
        while (more && t >= run.RUNlength) {
            run.vcn += run.RUNlength + (rawRuns ? 0 : run.SPARSElength);
            more = runs.Next(run);
            if (more && rawRuns && run.RUNlength == 0) {
                run.vcn += run.SPARSElength;
                more = runs.Next(run);
            }
            t = vcn - run.vcn;
        }
        if (!more) {
            break;
        }
        if (t < 0) {
            vcn = run.vcn;  // a sparse stretch before this run: zeros, and this run is read
            continue;
        }
        if (LastReadLcn == 0) {
            LastReadLcn = WrapAdd(run.lcn, t);
        }
        const int64_t clusters =
            std::max<int64_t>(1, std::min(run.RUNlength - t, lastVcn - vcn + 1));
        const std::size_t at = static_cast<std::size_t>(vcn - firstVcn) * clusterBytes;
        zeroTo(at);
        const std::span<uint8_t> destination = std::span<uint8_t>(buffer).subspan(at);
        const std::span<uint8_t> read = destination.first(
            std::min<uint64_t>(uint64_t(clusters) * clusterBytes, destination.size()));
        volume::ReadClusters(hVolume, WrapAdd(run.lcn, t), read, static_cast<uint32_t>(clusters));
        filled = std::max(filled, at + read.size());
        vcn += clusters;
        t += clusters;
        if (!rawRuns && run.SPARSElength > 0) {
            vcn += run.SPARSElength;
        }
    }
    zeroTo(buffer.size());
    return buffer;
}

}  // namespace

std::vector<volume::ClusterExtent> PlainExtents(const Attribute& attribute) {
    std::vector<volume::ClusterExtent> extents;
    if (attribute.IsResident() || !attribute.continuations.empty()) {
        return extents;
    }
    RunDecoder runs(attribute);
    Run run;
    while (runs.Next(run)) {
        if (run.RUNlength <= 0 || run.SPARSElength != 0 || run.lcn < 0) {
            return {};
        }
        extents.push_back({run.vcn, run.lcn, run.RUNlength});
        run.vcn += run.RUNlength;
    }
    return extents;
}

AttributeData AttributeData::Resident(MftRecordPtr record, bytes::Bytes value) {
    AttributeData data;
    data.record_ = std::move(record);
    data.resident_ = value;
    return data;
}

AttributeData AttributeData::Owned(std::vector<uint8_t> bytes) {
    AttributeData data;
    data.owned_ = std::move(bytes);
    return data;
}

std::vector<uint8_t> AttributeData::TakeBytes() {
    if (record_) {
        return std::vector<uint8_t>(resident_.begin(), resident_.end());
    }
    return std::move(owned_);
}

int64_t MaxAttributeReadBytes(platform::Handle hVolume) {
    const uint64_t onSource = platform::CurrentPlatform().VolumeLength(hVolume);
    const __int128 claimed = static_cast<__int128>(Vcb->TotalClusters) * Vcb->BytesPerCluster;
    const __int128 limit = onSource != 0 ? std::max<__int128>(onSource, 0) : claimed;
    return static_cast<int64_t>(std::min<__int128>(limit, INT64_MAX));
}

std::optional<AttributeData> ReadAttributeData(platform::Handle hVolume, const Attribute& attribute,
                                               int64_t offset, int64_t length, bool rawRuns,
                                               std::vector<uint8_t> reuse) {
    LastReadLcn = 0;
    if (attribute.IsResident()) {
        const bytes::Bytes value = ResidentValue(attribute);
        const std::size_t start =
            static_cast<std::size_t>(std::clamp<int64_t>(offset, 0, value.size()));
        const std::size_t count =
            static_cast<std::size_t>(std::clamp<int64_t>(length, 0, value.size() - start));
        return AttributeData::Resident(attribute.record, value.subspan(start, count));
    }
    if (!platform::IsOpenHandle(hVolume) || Vcb == nullptr || Vcb->BytesPerCluster == 0) {
        return std::nullopt;
    }
    if (length <= 0) {
        return AttributeData::Owned({});
    }
    // The range comes from the volume: no read may ask for more than the volume holds.
    if (!CONSISTENCY_CHECK_TEXT(
            offset >= 0 && length <= MaxAttributeReadBytes(hVolume) && offset <= INT64_MAX - length,
            "offset >= 0 && length <= bytes on the volume")) {
        return std::nullopt;
    }
    const int64_t clusterBytes = Vcb->BytesPerCluster;
    const int64_t firstVcn = offset / clusterBytes;
    const int64_t lastVcn = (offset + length - 1) / clusterBytes;
    const int64_t spanBytes = (lastVcn - firstVcn + 1) * clusterBytes;
    std::vector<uint8_t> buffer =
        ReadRuns(hVolume, attribute, firstVcn, lastVcn,
                 static_cast<std::size_t>(std::max(length, spanBytes)), rawRuns, std::move(reuse));
    const int64_t skip = offset % clusterBytes;
    if (skip != 0) {
        buffer.erase(buffer.begin(), buffer.begin() + skip);
    }
    buffer.resize(static_cast<std::size_t>(length));
    return AttributeData::Owned(std::move(buffer));
}

}  // namespace relicta::ntfs
