#include "recover/recover_engine.h"

#include <algorithm>
#include <vector>

#include "app/consistency.h"
#include "app/dialogs.h"
#include "app/system_error.h"
#include "ntfs/attribute.h"
#include "ntfs/attribute_data.h"
#include "ntfs/bitmaps.h"
#include "ntfs/mft_layout.h"
#include "ntfs/ntfs_volume.h"
#include "platform/last_error.h"
#include "recover/recovered_names.h"
#include "scan/found_files.h"
#include "volume/filetime.h"
#include "volume/raw_io.h"
#include "volume/vcb.h"

namespace relicta::recover {
namespace {

using volume::Vcb;

constexpr int64_t kFirstFatCluster = 2;

// What one call works on, taken from the found-file table.
struct RecoverJob {
    uint32_t attributes = 0;
    int64_t size = 0;
    uint64_t localTime = 0;
    std::string destDir;
    std::string name;
    const CopyObserver* observer = nullptr;
};

void ReportEndedEarly(int64_t written, int64_t size, const char* why) {
    app::MessageBox("Only " + std::to_string(written) + " of " + std::to_string(size) +
                        " bytes were recovered: " + why + ".",
                    "Notice");
}

// Writes one piece; on failure the partial file is removed and the reason shown.
bool WritePiece(platform::RecoveredFile& file, std::span<const uint8_t> bytes,
                const RecoverJob& job) {
    if (!file.Write(bytes)) {
        app::ShowSystemError();
        file.Discard();
        return false;
    }
    if (job.observer != nullptr && *job.observer) {
        (*job.observer)(bytes.size());
    }
    return true;
}

// A read of the source that failed was reported where it failed; the file is not kept.
bool SourceReadFailed(platform::RecoveredFile& file) {
    if (platform::GetLastError() == 0) {
        return false;
    }
    file.Discard();
    return true;
}

RecoverResult Finish(platform::RecoveredFile& file, const RecoverJob& job, bool endedEarly) {
    if (!file.SetLastWriteTime(volume::UtcFileTimeFromLocal(job.localTime))) {
        app::ShowSystemError();
    }
    if (!file.Close()) {
        app::ShowSystemError();
        file.Discard();
        return RecoverResult::Failed;
    }
    return endedEarly ? RecoverResult::EndedEarly : RecoverResult::Recovered;
}

// Whether a FAT cluster is free now, by the volume bitmap the open built from the FAT;
// a cluster the bitmap does not cover counts as used.
bool ClusterFree(int64_t cluster) {
    const int64_t bit = cluster - kFirstFatCluster;
    const int64_t covered =
        std::min<int64_t>(ntfs::VolumeBitmapBits, Vcb->AllocationSupport.NumberOfClusters);
    return bit >= 0 && bit < covered && !ntfs::BitSet(ntfs::VolumeBitmap, bit);
}

// The free clusters a deleted FAT file is taken to occupy: its first cluster, then each
// next free one, wrapping past the end of the volume, for at most one pass over it.
class FreeClusterWalk {
  public:
    explicit FreeClusterWalk(int64_t first) : current_(first) {}

    int64_t Current() const { return current_; }

    bool Advance() {
        const int64_t last = Vcb->TotalClusters + 1;
        // Every other cluster once; the walk never comes back to where it began.
        while (stepped_ + 1 < Vcb->TotalClusters) {
            ++stepped_;
            current_ = current_ >= last ? kFirstFatCluster : current_ + 1;
            if (ClusterFree(current_)) {
                return true;
            }
        }
        return false;
    }

  private:
    int64_t current_;
    int64_t stepped_ = 0;
};

RecoverResult RecoverFatFile(const RecoverJob& job, uint32_t firstCluster) {
    std::optional<platform::RecoveredFile> file =
        CreateRecoveredFile(job.destDir, job.name, job.attributes);
    if (!file || job.size == 0) {
        return file ? Finish(*file, job, false) : RecoverResult::Failed;
    }
    CONSISTENCY_CHECK_TEXT(firstCluster > 1, "cluster>1");
    CONSISTENCY_CHECK_TEXT(firstCluster <= Vcb->TotalClusters + 1, "cluster<=Vcb->TotalClusters+1");
    const uint64_t clusterBytes = Vcb->BytesPerCluster;
    const uint64_t chunkClusters = std::max<uint64_t>(1, kCopyChunkBytes / clusterBytes);
    std::vector<uint8_t> buffer;
    FreeClusterWalk walk(firstCluster);
    int64_t remaining = job.size;
    bool atNext = true;  // the walk stands on the next cluster to take
    bool exhausted = false;
    while (remaining > 0 && !exhausted && (atNext || walk.Advance())) {
        // Consecutive free clusters are read at once; the walk goes no further than needed.
        const int64_t start = walk.Current();
        const uint64_t wanted =
            (static_cast<uint64_t>(remaining) + clusterBytes - 1) / clusterBytes;
        const uint64_t limit = std::min(wanted, chunkClusters);
        uint64_t clusters = 1;
        atNext = false;
        while (clusters < limit) {
            if (!walk.Advance()) {
                exhausted = true;
                break;
            }
            if (walk.Current() != start + static_cast<int64_t>(clusters)) {
                atNext = true;
                break;
            }
            ++clusters;
        }
        buffer.resize(clusters * clusterBytes);
        platform::SetLastError(0);
        volume::ReadClusters(Vcb->hVolume, start, buffer, static_cast<uint32_t>(clusters));
        if (SourceReadFailed(*file)) {
            return RecoverResult::Failed;
        }
        const std::size_t bytes =
            static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), remaining));
        if (!WritePiece(*file, std::span<const uint8_t>(buffer).first(bytes), job)) {
            return RecoverResult::Failed;
        }
        remaining -= static_cast<int64_t>(bytes);
    }
    if (remaining > 0) {
        ReportEndedEarly(job.size - remaining, job.size,
                         "no free cluster was left on the volume to take the rest from");
    }
    return Finish(*file, job, remaining > 0);
}

RecoverResult CopyNtfsData(platform::RecoveredFile& file, const RecoverJob& job,
                           const ntfs::Attribute& data) {
    for (int64_t offset = 0; offset < job.size;) {
        const int64_t length = std::min<int64_t>(kCopyChunkBytes, job.size - offset);
        platform::SetLastError(0);
        std::optional<ntfs::AttributeData> piece =
            ntfs::ReadAttributeData(Vcb->hVolume, data, offset, length, false);
        if (!piece) {
            file.Discard();
            return RecoverResult::Failed;
        }
        if (SourceReadFailed(file)) {
            return RecoverResult::Failed;
        }
        if (!WritePiece(file, piece->Data(), job)) {
            return RecoverResult::Failed;
        }
        if (static_cast<int64_t>(piece->Data().size()) < length) {
            // A resident value shorter than listed: the record changed since the scan.
            ReportEndedEarly(offset + static_cast<int64_t>(piece->Data().size()), job.size,
                             "the record holds less data than the scan found");
            return Finish(file, job, true);
        }
        offset += length;
    }
    return Finish(file, job, false);
}

RecoverResult RecoverNtfsFile(const RecoverJob& job, uint32_t number) {
    if (!Vcb->IsRawFileSystem) {
        CONSISTENCY_CHECK_TEXT(!ntfs::BitSet(ntfs::mftbitmapptr, number), "!mftbitmapptr[mftNum]");
    }
    ntfs::MftRecordPtr record = ntfs::ReadMftRecord(Vcb->hVolume, number, true);
    if (!record) {
        return RecoverResult::Failed;
    }
    // The listed size is the unnamed stream's; a named one is not this file's data.
    const std::optional<ntfs::Attribute> data =
        job.size > 0 ? ntfs::FindAttribute(Vcb->hVolume, record, ntfs::kData, u"") : std::nullopt;
    RecoverResult result = RecoverResult::Failed;
    if (job.size == 0 || CONSISTENCY_CHECK_TEXT(data.has_value(), "attrptr != NULL")) {
        if (std::optional<platform::RecoveredFile> file =
                CreateRecoveredFile(job.destDir, job.name, job.attributes)) {
            result = job.size == 0 ? Finish(*file, job, false) : CopyNtfsData(*file, job, *data);
        }
    }
    if (number >= ntfs::kCachedLowRecords) {
        ntfs::ReleaseMftRecord(record);
    }
    return result;
}

}  // namespace

void EnsureDirectoryPath(const std::string& dir) {
    // Deepest level first: usually only the last levels are missing, and the levels above
    // are not tried again for every file.
    std::vector<std::string> missing;
    std::string path = dir;
    while (!path.empty() && path.back() == '/') {
        path.pop_back();
    }
    while (!path.empty() && !platform::CreateDirectory(path) &&
           platform::GetLastError() != EEXIST) {
        if (platform::GetLastError() != ENOENT) {
            app::ShowSystemError();
            return;
        }
        missing.push_back(path);
        const std::size_t slash = path.find_last_of('/');
        path.resize(slash == std::string::npos ? 0 : slash);
    }
    for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
        if (!platform::CreateDirectory(*level) && platform::GetLastError() != EEXIST) {
            app::ShowSystemError();
            return;
        }
    }
}

std::optional<platform::RecoveredFile> CreateRecoveredFile(const std::string& destDir,
                                                           const std::string& name,
                                                           uint32_t attributes) {
    if (!IsUsableFileName(name)) {
        platform::SetLastError(platform::kErrorInvalidParameter);
        app::ShowSystemError();
        return std::nullopt;
    }
    platform::RecoveredFile file;
    const std::string path = destDir + name;
    const bool readOnly = (attributes & scan::kAttributeReadOnly) != 0;
    // The directories are made only when missing: most files go where the last one went.
    bool created = file.Create(path, readOnly);
    if (!created && platform::GetLastError() == ENOENT) {
        EnsureDirectoryPath(destDir);
        created = file.Create(path, readOnly);
    }
    if (!created) {
        if (platform::GetLastError() == EEXIST) {
            app::MessageBox("Can't recover that file, because a newer file by the same name exists",
                            "File not recovered");
        } else {
            app::ShowSystemError();
        }
        return std::nullopt;
    }
    return file;
}

RecoverResult RecoverFile(uint32_t itemNum, uint32_t mftOrCluster, std::string destDir,
                          std::string name, const CopyObserver& observer) {
    if (!CONSISTENCY_CHECK_TEXT(itemNum < scan::foundFiles.size(), "itemNum < found files")) {
        return RecoverResult::Failed;
    }
    const scan::FoundFile& entry = scan::foundFiles[itemNum];
    // A file of another drive, or of none, is refused rather than read from the wrong volume.
    if (!CONSISTENCY_CHECK_TEXT(ntfs::DefragInProgress && Vcb != nullptr, "DefragInProgress") ||
        !CONSISTENCY_CHECK_TEXT(!entry.dir.empty() && Vcb->RootPath[0] == entry.dir[0],
                                "Vcb->RootPath[0] == fileDirArray[itemNum][0]")) {
        return RecoverResult::Failed;
    }
    if (Vcb->IsFat && name.starts_with("?")) {
        name[0] = '~';
    }
    const RecoverJob job{entry.attributes & ~scan::kAttributeHidden,
                         entry.size,
                         entry.modifiedTime,
                         WithTrailingSlash(std::move(destDir)),
                         SafeFileName(std::move(name)),
                         &observer};
    return Vcb->IsFat ? RecoverFatFile(job, mftOrCluster) : RecoverNtfsFile(job, mftOrCluster);
}

}  // namespace relicta::recover
