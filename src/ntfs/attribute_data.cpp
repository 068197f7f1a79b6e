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

// Decodes the runs of one attribute in order.
class RunDecoder {
public:
    explicit RunDecoder(const Attribute& attribute)
        : attribute_(attribute), cursor_(RunListStart(attribute)) {}
    bool Next(Run& run) { return DecodeNextRun(attribute_, cursor_, run); }

private:
    const Attribute& attribute_;
    std::size_t cursor_;
};

void ReportDecompressFailure(uint32_t status) {
    app::MessageBox("Decompress of file didn't work.  File probably damaged",
                    status == kStatusBadCompressionBuffer ? "Problem: Bad compression buffer" : "Problem");
}

// Reads `clusters` stored clusters of a compression unit at `lcn` and expands them into
// `destination`.
void ExpandUnit(platform::Handle hVolume, int64_t lcn, int64_t clusters, std::span<uint8_t> destination) {
    const uint64_t storedBytes = static_cast<uint64_t>(clusters) * Vcb->BytesPerCluster;
    std::vector<uint8_t> scratch(storedBytes);
    volume::ReadClusters(hVolume, lcn, scratch, static_cast<uint32_t>(clusters));
    std::size_t finalSize = 0;
    const uint32_t status = Lznt1Decompress(destination, scratch, finalSize);
    if (status != kStatusSuccess) {
        ReportDecompressFailure(status);
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

std::vector<uint8_t> ReadRuns(platform::Handle hVolume, const Attribute& attribute, int64_t firstVcn,
                              int64_t lastVcn, std::size_t bufferBytes, bool rawRuns) {
    const uint32_t clusterBytes = Vcb->BytesPerCluster;
    std::vector<uint8_t> buffer;
    try {
        buffer.assign(bufferBytes, 0);
    } catch (const std::bad_alloc&) {
        app::FatalError("Can't allocate memory!", "Fatal Error");
    }
    RunDecoder runs(attribute);
    Run run;
    if (!SkipToFirstVcn(runs, run, firstVcn, rawRuns)) {
        return buffer;
    }
    int64_t vcn = firstVcn;
    while (vcn <= lastVcn) {
        int64_t t = vcn - run.vcn;
        bool more = true;
        while (more && (t >= run.RUNlength || t < 0)) {
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
        if (LastReadLcn == 0) {
            LastReadLcn = WrapAdd(run.lcn, t);
        }
        const int64_t clusters = std::max<int64_t>(1, std::min(run.RUNlength - t, lastVcn - vcn + 1));
        const std::size_t at = static_cast<std::size_t>(vcn - firstVcn) * clusterBytes;
        const std::span<uint8_t> destination = std::span<uint8_t>(buffer).subspan(at);
        if (!rawRuns && run.SPARSElength != 0) {
            const uint64_t room = static_cast<uint64_t>(clusters + std::max<int64_t>(run.SPARSElength, 0)) *
                                  clusterBytes;
            ExpandUnit(hVolume, run.lcn, clusters, destination.first(std::min<uint64_t>(room, destination.size())));
        } else {
            volume::ReadClusters(hVolume, WrapAdd(run.lcn, t), destination.first(std::min<uint64_t>(
                                                             uint64_t(clusters) * clusterBytes, destination.size())),
                                 static_cast<uint32_t>(clusters));
        }
        vcn += clusters;
        t += clusters;
        if (!rawRuns && run.SPARSElength > 0) {
            vcn += run.SPARSElength;
        }
    }
    return buffer;
}

}  // namespace

AttributeData AttributeData::Resident(MftRecordPtr record, volume::Bytes value) {
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
                                               int64_t offset, int64_t length, bool rawRuns) {
    LastReadLcn = 0;
    if (attribute.IsResident()) {
        const volume::Bytes value = ResidentValue(attribute);
        const std::size_t start = static_cast<std::size_t>(std::clamp<int64_t>(offset, 0, value.size()));
        const std::size_t count = static_cast<std::size_t>(std::clamp<int64_t>(length, 0, value.size() - start));
        return AttributeData::Resident(attribute.record, value.subspan(start, count));
    }
    if (!platform::IsOpenHandle(hVolume) || Vcb == nullptr || Vcb->BytesPerCluster == 0) {
        return std::nullopt;
    }
    if (length <= 0) {
        return AttributeData::Owned({});
    }
    // The range comes from the volume: no read may ask for more than the volume holds.
    if (!CONSISTENCY_CHECK_TEXT(offset >= 0 && length <= MaxAttributeReadBytes(hVolume) &&
                                    offset <= INT64_MAX - length,
                                "offset >= 0 && length <= bytes on the volume")) {
        return std::nullopt;
    }
    const int64_t clusterBytes = Vcb->BytesPerCluster;
    const int64_t firstVcn = offset / clusterBytes;
    const int64_t lastVcn = (offset + length - 1) / clusterBytes;
    const int64_t spanBytes = (lastVcn - firstVcn + 1) * clusterBytes;
    std::vector<uint8_t> buffer = ReadRuns(hVolume, attribute, firstVcn, lastVcn,
                                           static_cast<std::size_t>(std::max(length, spanBytes)), rawRuns);
    const int64_t skip = offset % clusterBytes;
    if (skip != 0) {
        buffer.erase(buffer.begin(), buffer.begin() + skip);
    }
    buffer.resize(static_cast<std::size_t>(length));
    return AttributeData::Owned(std::move(buffer));
}

}  // namespace relicta::ntfs
