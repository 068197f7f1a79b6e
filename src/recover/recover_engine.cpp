#include "recover/recover_engine.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>
#include <vector>

#include "app/consistency.h"
#include "app/dialogs.h"
#include "app/progress.h"
#include "app/scan_state.h"
#include "app/system_error.h"
#include "ntfs/attribute.h"
#include "ntfs/attribute_data.h"
#include "ntfs/bitmaps.h"
#include "ntfs/mft_layout.h"
#include "ntfs/ntfs_volume.h"
#include "platform/last_error.h"
#include "recover/cluster_runs.h"
#include "recover/file_writer.h"
#include "recover/reassembly.h"
#include "recover/recovered_names.h"
#include "scan/found_files.h"
#include "volume/exfat_fat.h"
#include "volume/filetime.h"
#include "volume/raw_io.h"
#include "volume/vcb.h"

namespace relicta::recover {
namespace {

using volume::Vcb;

// How far the copy of one file has come, to decide what a request to stop does with it.
struct CopyProgress {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    uint64_t written = 0;
    bool interrupted = false;
};

// What one call works on, taken from the found-file table.
struct RecoverJob {
    uint32_t attributes = 0;
    int64_t size = 0;
    int64_t validLength = -1;  // bytes past this are written as zeros; -1: none
    uint64_t localTime = 0;
    std::optional<int16_t> utcOffsetMinutes;
    std::string destDir;
    std::string name;
    const CopyObserver* observer = nullptr;
    std::string shown;  // the file as failures name it
    CopyProgress* progress = nullptr;
    UnreadableData* unreadable = nullptr;
    FileWriter* writer = nullptr;  // writes the file on its thread; nullptr: written here
};

// The new file recovered data goes to: written at once, or queued for a FileWriter, which
// tells later what came of it. Queued, every step succeeds here.
class OutputFile {
  public:
    explicit OutputFile(platform::RecoveredFile file) : file_(std::move(file)) {}
    explicit OutputFile(FileWriter& writer) : writer_(&writer) {}
    OutputFile(OutputFile&& other) noexcept
        : file_(std::move(other.file_)), writer_(std::exchange(other.writer_, nullptr)) {}
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    OutputFile& operator=(OutputFile&&) = delete;
    ~OutputFile() {
        if (writer_ != nullptr) {
            writer_->Discard();  // left on the way out of a failure: nothing partial stays
        }
    }
    bool Write(std::span<const uint8_t> bytes) {
        return writer_ != nullptr ? (writer_->Write(bytes), true) : file_.Write(bytes);
    }
    // The same, the bytes handed over where the file is queued.
    bool Take(std::vector<uint8_t>&& bytes) {
        return writer_ != nullptr ? (writer_->Take(std::move(bytes)), true) : file_.Write(bytes);
    }
    bool IsQueued() const { return writer_ != nullptr; }
    bool SetLastWriteTime(uint64_t utcFileTime) {
        return writer_ != nullptr ? (writer_->SetLastWriteTime(utcFileTime), true)
                                  : file_.SetLastWriteTime(utcFileTime);
    }
    bool Close() {
        if (writer_ == nullptr) {
            return file_.Close();
        }
        std::exchange(writer_, nullptr)->Close();
        return true;
    }
    void Discard() {
        if (writer_ == nullptr) {
            file_.Discard();
        } else {
            std::exchange(writer_, nullptr)->Discard();
        }
    }

  private:
    platform::RecoveredFile file_;
    FileWriter* writer_ = nullptr;
};

void TellNameTaken() {
    app::MessageBox("Can't recover that file, because a newer file by the same name exists",
                    "File not recovered");
}

// The file for `job`, created here or queued for its writer. A name still being written
// waits for that file's end, so that it is free or taken as it would be one file at a time.

std::optional<OutputFile> CreateOutputFile(const RecoverJob& job) {
    const bool readOnly = (job.attributes & scan::kAttributeReadOnly) != 0;
    if (job.writer == nullptr) {
        std::optional<platform::RecoveredFile> file =
            CreateRecoveredFile(job.destDir, job.name, job.attributes, job.shown);
        return file ? std::optional<OutputFile>(std::in_place, std::move(*file)) : std::nullopt;
    }
    FileWriter& writer = *job.writer;
    const std::string path = job.destDir + job.name;
    if (writer.IsPending(path)) {
        writer.Settle();
    }
    // In a directory made or seen before, at most the name is checked here; anything else
    // goes the whole way here, with its messages.
    if (IsUsableFileName(job.name)) {
        FileWriter::OutputDirectory known = writer.KnownDirectory(job.destDir);
        if (known.folder &&
            (known.madeHere || platform::RecoveredFile::NameIsFree(*known.folder, job.name))) {
            writer.Begin(std::move(known.folder), job.name, path, readOnly);
            return std::optional<OutputFile>(std::in_place, writer);
        }
    }
    std::vector<std::string> made;
    std::optional<platform::RecoveredFile> file =
        CreateRecoveredFile(job.destDir, job.name, job.attributes, job.shown, &made);
    if (!file) {
        return std::nullopt;
    }
    for (const std::string& dir : made) {
        writer.NoteDirectory(dir, true);
    }
    writer.NoteDirectory(job.destDir, false);
    writer.Adopt(std::move(*file), path);
    return std::optional<OutputFile>(std::in_place, writer);
}

// Collects the unreadable runs the reads of one piece of a file meet.
class UnreadableWatch {
  public:
    UnreadableWatch() { Vcb->UnreadableSeen = &seen_; }
    ~UnreadableWatch() { Vcb->UnreadableSeen = nullptr; }
    UnreadableWatch(const UnreadableWatch&) = delete;
    UnreadableWatch& operator=(const UnreadableWatch&) = delete;
    const std::vector<platform::ByteRun>& Seen() const { return seen_; }

  private:
    std::vector<platform::ByteRun> seen_;
};

// Notes bytes [fileOffset, fileOffset + length) of the file as not read.
void NoteMissing(const RecoverJob& job, int64_t fileOffset, uint64_t length) {
    if (length > 0) {
        job.unreadable->missing.push_back({fileOffset, length});
    }
}

// Notes the unreadable runs a piece met, read from `volumeOffset` on as the file's bytes from
// `fileOffset`, `length` of them written.
void NoteMissing(const RecoverJob& job, const std::vector<platform::ByteRun>& seen,
                 int64_t fileOffset, int64_t volumeOffset, uint64_t length) {
    const int64_t end = volumeOffset + static_cast<int64_t>(length);
    for (const platform::ByteRun& run : seen) {
        const int64_t from = std::max(run.offset, volumeOffset);
        const int64_t to = std::min(run.End(), end);
        if (from < to) {
            NoteMissing(job, fileOffset + (from - volumeOffset), static_cast<uint64_t>(to - from));
        }
    }
}

// Asked to stop, the file in hand is finished when that takes less than a second more at
// the rate so far; otherwise it is dropped.
bool StopsHere(const RecoverJob& job) {
    if (app::PumpMessages()) {
        app::StopScan = true;
    }
    if (!app::StopScan || job.progress == nullptr) {
        return false;
    }
    using Seconds = std::chrono::duration<double>;
    const double elapsed = Seconds(std::chrono::steady_clock::now() - job.progress->start).count();
    const double left = static_cast<double>(job.size) - static_cast<double>(job.progress->written);
    const double perSecond = elapsed > 0 ? static_cast<double>(job.progress->written) / elapsed : 0;
    return left > perSecond;
}

void ReportEndedEarly(int64_t written, int64_t size, const char* why) {
    app::MessageBox("Only " + std::to_string(written) + " of " + std::to_string(size) +
                        " bytes were recovered: " + why + ".",
                    "Notice");
}

// Writes one piece; on failure the partial file is removed and the reason shown. `owned`,
// when given, holds `bytes`: a queued file takes it rather than a copy. Queued, the write
// cannot fail here, so the observer sees the bytes before they are handed over.
bool WritePiece(OutputFile& file, std::span<const uint8_t> bytes, const RecoverJob& job,
                std::vector<uint8_t>* owned = nullptr) {
    const auto observe = [&job, bytes] {
        if (job.observer != nullptr && *job.observer) {
            (*job.observer)(bytes);
        }
    };
    const bool queued = file.IsQueued();
    if (queued) {
        observe();
    }
    if (!(owned != nullptr ? file.Take(std::move(*owned)) : file.Write(bytes))) {
        app::ShowSystemError(job.shown);
        file.Discard();
        return false;
    }
    if (!queued) {
        observe();
    }
    if (job.progress != nullptr) {
        job.progress->written += bytes.size();
        if (StopsHere(job)) {
            job.progress->interrupted = true;
            file.Discard();
            return false;
        }
    }
    return true;
}

// A read of the source that failed was reported where it failed; the file is not kept.
// Sectors that could not be read are not such a failure: the watch has them.
bool SourceReadFailed(OutputFile& file, const UnreadableWatch& watch) {
    if (platform::GetLastError() == 0 || !watch.Seen().empty()) {
        return false;
    }
    file.Discard();
    return true;
}

// The instant the file was last written: exact where the volume kept the time's offset from
// UTC, else the local time read in this machine's zone.
uint64_t UtcModifiedTime(const RecoverJob& job) {
    if (!job.utcOffsetMinutes) {
        return volume::UtcFileTimeFromLocal(job.localTime);
    }
    constexpr int64_t kTicksPerMinute = 60 * int64_t{volume::kFileTimeTicksPerSecond};
    return job.localTime - static_cast<uint64_t>(int64_t{*job.utcOffsetMinutes} * kTicksPerMinute);
}

RecoverResult Finish(OutputFile& file, const RecoverJob& job, bool endedEarly) {
    // Never a file that claims to be whole with zeros for bytes that could not be read.
    const bool missing = !job.unreadable->missing.empty();
    if (missing && !job.unreadable->writePartial) {
        file.Discard();
        return RecoverResult::Unreadable;
    }
    if (!file.SetLastWriteTime(UtcModifiedTime(job))) {
        app::ShowSystemError(job.shown);
    }
    if (!file.Close()) {
        app::ShowSystemError(job.shown);
        file.Discard();
        return RecoverResult::Failed;
    }
    if (missing) {
        return RecoverResult::Partial;
    }
    return endedEarly ? RecoverResult::EndedEarly : RecoverResult::Recovered;
}

// Writes `bytes` zeros: the part of an exFAT file past its valid data length.
bool WriteZeros(OutputFile& file, int64_t bytes, const RecoverJob& job) {
    const std::vector<uint8_t> zeros(
        static_cast<std::size_t>(std::min<int64_t>(bytes, kCopyChunkBytes)));
    for (int64_t left = bytes; left > 0;) {
        const std::size_t piece = static_cast<std::size_t>(std::min<int64_t>(left, zeros.size()));
        if (!WritePiece(file, std::span<const uint8_t>(zeros).first(piece), job)) {
            return false;
        }
        left -= static_cast<int64_t>(piece);
    }
    return true;
}

// Copies the file's clusters as `runs` gives them, then zeros past its valid length.
// Returns the bytes the runs fell short by, or nullopt when the copy failed.
std::optional<int64_t> CopyClusterRuns(OutputFile& file, const RecoverJob& job, ClusterRuns& runs) {
    const uint64_t clusterBytes = Vcb->BytesPerCluster;
    const uint64_t chunkClusters = std::max<uint64_t>(1, kCopyChunkBytes / clusterBytes);
    const int64_t valid = job.validLength < 0 ? job.size : std::min(job.validLength, job.size);
    std::vector<uint8_t> buffer;
    int64_t remaining = valid;
    while (remaining > 0) {
        const uint64_t wanted =
            (static_cast<uint64_t>(remaining) + clusterBytes - 1) / clusterBytes;
        const std::optional<volume::ClusterExtent> run = runs.Next(std::min(wanted, chunkClusters));
        if (!run) {
            return remaining + (job.size - valid);
        }
        // The last run is read up to the sector that holds the file's last byte: a small file
        // on a volume of large clusters reads a sector, not a cluster.
        const uint64_t sector = std::max<uint32_t>(Vcb->BytesPerSector, 1);
        const uint64_t needed = (static_cast<uint64_t>(remaining) + sector - 1) / sector * sector;
        buffer.resize(static_cast<std::size_t>(
            std::min<uint64_t>(static_cast<uint64_t>(run->clusters) * clusterBytes, needed)));
        platform::SetLastError(0);
        const UnreadableWatch watch;
        volume::ReadClusterBytes(Vcb->hVolume, run->lcn, buffer);
        if (SourceReadFailed(file, watch)) {
            return std::nullopt;
        }
        const std::size_t bytes =
            static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), remaining));
        if (const std::optional<int64_t> at = volume::ClusterOffset(run->lcn)) {
            NoteMissing(job, watch.Seen(), valid - remaining, *at, bytes);
        }
        if (!WritePiece(file, std::span<const uint8_t>(buffer).first(bytes), job)) {
            return std::nullopt;
        }
        remaining -= static_cast<int64_t>(bytes);
    }
    if (!WriteZeros(file, job.size - valid, job)) {
        return std::nullopt;
    }
    return 0;
}

// Copies the runs into the new file and closes it; runs that end early are reported (only
// the free-cluster walk can: a volume without enough free clusters left).
RecoverResult CopyRunsAndFinish(OutputFile& file, const RecoverJob& job, ClusterRuns& runs) {
    const std::optional<int64_t> missing = CopyClusterRuns(file, job, runs);
    if (!missing) {
        return RecoverResult::Failed;
    }
    if (*missing > 0) {
        ReportEndedEarly(job.size - *missing, job.size,
                         "no free cluster was left on the volume to take the rest from");
    }
    return Finish(file, job, *missing > 0);
}

RecoverResult RecoverFatFile(const RecoverJob& job, uint32_t firstCluster) {
    std::optional<OutputFile> file = CreateOutputFile(job);
    if (!file || job.size == 0) {
        return file ? Finish(*file, job, false) : RecoverResult::Failed;
    }
    CONSISTENCY_CHECK_TEXT(firstCluster > 1, "cluster>1");
    CONSISTENCY_CHECK_TEXT(firstCluster <= Vcb->TotalClusters + 1, "cluster<=Vcb->TotalClusters+1");
    FreeClusterRuns runs(firstCluster);
    return CopyRunsAndFinish(*file, job, runs);
}

RecoverResult RecoverExFatFile(const RecoverJob& job, const scan::FoundFile& entry) {
    std::optional<std::vector<volume::ClusterExtent>> extents;
    if (job.size > 0 && entry.layout != scan::DataLayout::Guessed) {
        extents = ExFatExtents(entry);
        if (!extents) {
            return RecoverResult::Failed;
        }
    }
    std::optional<OutputFile> file = CreateOutputFile(job);
    if (!file || job.size == 0) {
        return file ? Finish(*file, job, false) : RecoverResult::Failed;
    }
    std::unique_ptr<ClusterRuns> runs;
    if (extents) {
        runs = std::make_unique<ExtentRuns>(std::move(*extents));
    } else {
        runs = std::make_unique<FreeClusterRuns>(entry.mftOrCluster);
    }
    return CopyRunsAndFinish(*file, job, *runs);
}

// A deep scan's file: its bytes where the old volume's geometry put them, resolved when found.
RecoverResult CopyDeepData(OutputFile& file, const RecoverJob& job,
                           const scan::DeepLocation& where) {
    if (where.residentData) {
        const std::size_t bytes =
            static_cast<std::size_t>(std::min<int64_t>(job.size, where.resident.size()));
        if (!WritePiece(file, std::span<const uint8_t>(where.resident).first(bytes), job)) {
            return RecoverResult::Failed;
        }
        if (static_cast<int64_t>(bytes) < job.size) {
            ReportEndedEarly(static_cast<int64_t>(bytes), job.size,
                             "the record holds less data than its listed size");
            return Finish(file, job, true);
        }
        return Finish(file, job, false);
    }
    const int64_t valid = job.validLength < 0 ? job.size : std::min(job.validLength, job.size);
    std::vector<uint8_t> buffer;
    int64_t written = 0;
    for (const scan::DeepExtent& extent : where.extents) {
        for (uint64_t at = 0; at < extent.length && written < valid;) {
            const std::size_t piece = static_cast<std::size_t>(std::min<uint64_t>(
                {extent.length - at, kCopyChunkBytes, static_cast<uint64_t>(valid - written)}));
            buffer.resize(piece);
            if (extent.offset == scan::DeepExtent::kZeros) {
                std::fill(buffer.begin(), buffer.end(), 0);
            } else {
                platform::SetLastError(0);
                const UnreadableWatch watch;
                const int64_t from = extent.offset + static_cast<int64_t>(at);
                volume::ReadVolumeBytes(Vcb->hVolume, from, buffer);
                if (SourceReadFailed(file, watch)) {
                    return RecoverResult::Failed;
                }
                NoteMissing(job, watch.Seen(), written, from, piece);
            }
            if (!WritePiece(file, buffer, job)) {
                return RecoverResult::Failed;
            }
            at += piece;
            written += static_cast<int64_t>(piece);
        }
    }
    if (written < valid) {
        ReportEndedEarly(written, job.size, "the old volume's runs hold less than its listed size");
        return Finish(file, job, true);
    }
    if (!WriteZeros(file, job.size - valid, job)) {
        return RecoverResult::Failed;
    }
    return Finish(file, job, false);
}

RecoverResult RecoverDeepFile(const RecoverJob& job, const scan::DeepLocation& where) {
    std::optional<OutputFile> file = CreateOutputFile(job);
    if (!file || job.size == 0) {
        return file ? Finish(*file, job, false) : RecoverResult::Failed;
    }
    return CopyDeepData(*file, job, where);
}

// Notes which bytes of a piece of NTFS data lay in the unreadable runs it met: through its
// clusters where they are plain. Where they are not (compressed, sparse or split runs) the
// whole piece is lost, since what was expanded from a lost sector cannot be trusted: true.
bool NoteMissingNtfs(const RecoverJob& job, const std::vector<volume::ClusterExtent>& extents,
                     const std::vector<platform::ByteRun>& seen, int64_t offset,
                     bytes::Bytes bytes) {
    if (extents.empty()) {
        NoteMissing(job, offset, bytes.size());
        return true;
    }
    const int64_t clusterBytes = Vcb->BytesPerCluster;
    for (const volume::ClusterExtent& e : extents) {
        const __int128 fileStart = static_cast<__int128>(e.vcn) * clusterBytes;
        const __int128 volumeStart = static_cast<__int128>(e.lcn) * clusterBytes;
        const __int128 length = static_cast<__int128>(e.clusters) * clusterBytes;
        // The part of this extent the piece covers.
        const __int128 from = std::max<__int128>(fileStart, offset);
        const __int128 to =
            std::min<__int128>(fileStart + length, offset + static_cast<__int128>(bytes.size()));
        if (from >= to || volumeStart + (from - fileStart) > INT64_MAX) {
            continue;
        }
        NoteMissing(job, seen, static_cast<int64_t>(from),
                    static_cast<int64_t>(volumeStart + (from - fileStart)),
                    static_cast<uint64_t>(to - from));
    }
    return false;
}

RecoverResult CopyNtfsData(OutputFile& file, const RecoverJob& job, const ntfs::Attribute& data) {
    // A listed size past what the clusters hold is a damaged one: what lies beyond is not
    // this file's, and a size of terabytes would only write zeros.
    const int64_t readable = data.IsResident()
                                 ? job.size
                                 : std::min(job.size, std::max<int64_t>(data.AllocatedSize(), 0));
    // Where the file's clusters lie, to tell which of its bytes were in unreadable sectors.
    const std::vector<volume::ClusterExtent> extents = data.IsResident() || data.IsCompressed()
                                                           ? std::vector<volume::ClusterExtent>{}
                                                           : ntfs::PlainExtents(data);
    for (int64_t offset = 0; offset < readable;) {
        const int64_t length = std::min<int64_t>(kCopyChunkBytes, readable - offset);
        platform::SetLastError(0);
        const UnreadableWatch watch;
        std::optional<ntfs::AttributeData> piece = ntfs::ReadAttributeData(
            Vcb->hVolume, data, offset, length, false,
            file.IsQueued() ? job.writer->SpareBuffer() : std::vector<uint8_t>());
        if (!piece) {
            file.Discard();
            return RecoverResult::Failed;
        }
        if (SourceReadFailed(file, watch)) {
            return RecoverResult::Failed;
        }
        const bool pieceLost = !watch.Seen().empty() &&
                               NoteMissingNtfs(job, extents, watch.Seen(), offset, piece->Data());
        const int64_t got = static_cast<int64_t>(piece->Data().size());
        if (pieceLost) {
            if (!WriteZeros(file, got, job)) {
                return RecoverResult::Failed;
            }
        } else if (piece->IsResident()) {
            if (!WritePiece(file, piece->Data(), job)) {
                return RecoverResult::Failed;
            }
        } else {
            std::vector<uint8_t> owned = piece->TakeBytes();
            if (!WritePiece(file, owned, job, &owned)) {
                return RecoverResult::Failed;
            }
        }
        if (got < length) {
            // A resident value shorter than listed: the record changed since the scan.
            ReportEndedEarly(offset + got, job.size,
                             "the record holds less data than the scan found");
            return Finish(file, job, true);
        }
        offset += length;
    }
    if (readable < job.size) {
        ReportEndedEarly(readable, job.size,
                         "the record's clusters hold less than its listed size");
        return Finish(file, job, true);
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
        if (std::optional<OutputFile> file = CreateOutputFile(job)) {
            result = job.size == 0 ? Finish(*file, job, false) : CopyNtfsData(*file, job, *data);
        }
    }
    if (number >= ntfs::kCachedLowRecords) {
        ntfs::ReleaseMftRecord(record);
    }
    return result;
}

// In file order, touching ranges joined.
void MergeMissing(std::vector<platform::ByteRun>& missing) {
    std::sort(
        missing.begin(), missing.end(),
        [](const platform::ByteRun& a, const platform::ByteRun& b) { return a.offset < b.offset; });
    std::vector<platform::ByteRun> merged;
    for (const platform::ByteRun& r : missing) {
        if (!merged.empty() && r.offset <= merged.back().End()) {
            const int64_t end = std::max(merged.back().End(), r.End());
            merged.back().length = static_cast<uint64_t>(end - merged.back().offset);
        } else {
            merged.push_back(r);
        }
    }
    missing = std::move(merged);
}

}  // namespace

void EnsureDirectoryPath(const std::string& dir, const std::string& shown,
                         std::vector<std::string>* made) {
    const auto note = [made](const std::string& level) {
        if (made != nullptr) {
            made->push_back(level + '/');
        }
    };
    // Deepest level first: usually only the last levels are missing, and the levels above
    // are not tried again for every file.
    std::vector<std::string> missing;
    std::string path = dir;
    while (!path.empty() && path.back() == '/') {
        path.pop_back();
    }
    while (!path.empty()) {
        if (platform::CreateDirectory(path)) {
            note(path);
            break;
        }
        if (platform::GetLastError() == EEXIST) {
            break;
        }
        if (platform::GetLastError() != ENOENT) {
            app::ShowSystemError(shown);
            return;
        }
        missing.push_back(path);
        const std::size_t slash = path.find_last_of('/');
        path.resize(slash == std::string::npos ? 0 : slash);
    }
    for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
        if (platform::CreateDirectory(*level)) {
            note(*level);
        } else if (platform::GetLastError() != EEXIST) {
            app::ShowSystemError(shown);
            return;
        }
    }
}

std::optional<platform::RecoveredFile> CreateRecoveredFile(const std::string& destDir,
                                                           const std::string& name,
                                                           uint32_t attributes,
                                                           const std::string& shown,
                                                           std::vector<std::string>* made) {
    const std::string& subject = shown.empty() ? name : shown;
    if (!IsUsableFileName(name)) {
        platform::SetLastError(platform::kErrorInvalidParameter);
        app::ShowSystemError(subject);
        return std::nullopt;
    }
    platform::RecoveredFile file;
    const std::string path = destDir + name;
    const bool readOnly = (attributes & scan::kAttributeReadOnly) != 0;
    // The directories are made only when missing: most files go where the last one went.
    bool created = file.Create(path, readOnly);
    if (!created && platform::GetLastError() == ENOENT) {
        EnsureDirectoryPath(destDir, subject, made);
        created = file.Create(path, readOnly);
    }
    if (!created) {
        if (platform::GetLastError() == EEXIST) {
            TellNameTaken();
        } else {
            app::ShowSystemError(subject);
        }
        return std::nullopt;
    }
    return file;
}

std::string RecoveredFileName(std::string name) {
    // A drive read raw holds only a deep scan's files, whose FAT names lost letters alike.
    if (Vcb != nullptr && ((Vcb->IsFat && !Vcb->IsExFat) || Vcb->IsRawFileSystem) &&
        name.starts_with("?")) {
        name[0] = '~';
    }
    return SafeFileName(std::move(name));
}

RecoverResult RecoverFile(uint32_t itemNum, uint32_t mftOrCluster, std::string destDir,
                          std::string name, const CopyObserver& observer,
                          const std::string& shownDir, UnreadableData* unreadable,
                          FileWriter* writer, FileStarts* starts) {
    if (!CONSISTENCY_CHECK_TEXT(itemNum < scan::foundFiles.size(), "itemNum < found files")) {
        return RecoverResult::Failed;
    }
    const scan::FoundFile& entry = scan::foundFiles[itemNum];
    // A file of another drive, or of none, is refused rather than read from the wrong volume.
    if (!CONSISTENCY_CHECK_TEXT(ntfs::DefragInProgress && Vcb != nullptr, "DefragInProgress") ||
        !CONSISTENCY_CHECK_TEXT(entry.Drive() != '\0' && Vcb->RootPath[0] == entry.Drive(),
                                "Vcb->RootPath[0] == fileDirArray[itemNum][0]")) {
        return RecoverResult::Failed;
    }
    std::string safeName = RecoveredFileName(std::move(name));
    std::string shown = shownDir + safeName;
    CopyProgress progress;
    UnreadableData notAsked;
    if (unreadable != nullptr) {
        unreadable->missing.clear();
    }
    const RecoverJob job{entry.attributes & ~scan::kAttributeHidden,
                         entry.size,
                         entry.ValidLength(),
                         entry.modifiedTime,
                         entry.utcOffsetMinutes,
                         WithTrailingSlash(std::move(destDir)),
                         std::move(safeName),
                         &observer,
                         std::move(shown),
                         &progress,
                         unreadable != nullptr ? unreadable : &notAsked,
                         writer};
    // A file whose clusters are a guess is put back from two fragments where they fail its
    // check; a content check run on it already tried that.
    if (entry.Notes().content.empty()) {
        ReassembleGuessedFile(itemNum, false, starts);
    }
    RecoverResult result = RecoverResult::Failed;
    if (const scan::DeepLocation* where = entry.Deep()) {
        result = RecoverDeepFile(job, *where);
    } else if (Vcb->IsExFat) {
        result = RecoverExFatFile(job, entry);
    } else {
        result =
            Vcb->IsFat ? RecoverFatFile(job, mftOrCluster) : RecoverNtfsFile(job, mftOrCluster);
    }
    MergeMissing(job.unreadable->missing);
    if (result == RecoverResult::Unreadable) {
        ++Vcb->Losses.files;
    } else if (result == RecoverResult::Partial) {
        ++Vcb->Losses.partialFiles;
    }
    return progress.interrupted ? RecoverResult::Interrupted : result;
}

RecoverResult WrittenResult(RecoverResult queued, const WriteOutcome* outcome,
                            const std::string& shown) {
    if (outcome == nullptr) {
        return queued;
    }
    // Told as a file written here would have told them, in the order they happened.
    const auto tell = [&shown](int error) {
        platform::SetLastError(error);
        app::ShowSystemError(shown);
    };
    // A name taken when the file was created or linked in: one of this recovery's own files.
    if (outcome->createError == EEXIST || outcome->closeError == EEXIST) {
        TellNameTaken();
        return queued == RecoverResult::Interrupted ? queued : RecoverResult::Failed;
    }
    if (outcome->createError != 0 || outcome->writeError != 0) {
        tell(outcome->createError != 0 ? outcome->createError : outcome->writeError);
        return queued == RecoverResult::Interrupted ? queued : RecoverResult::Failed;
    }
    if (outcome->timeError != 0) {
        tell(outcome->timeError);
    }
    if (outcome->closeError != 0) {
        tell(outcome->closeError);
        return RecoverResult::Failed;
    }
    return queued;
}

}  // namespace relicta::recover
