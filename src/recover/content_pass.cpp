#include "recover/content_pass.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <utility>

#include "app/progress.h"
#include "app/scan_state.h"
#include "content/digest.h"
#include "deep/deep_scan.h"
#include "ntfs/ntfs_volume.h"
#include "platform/platform.h"
#include "platform/unreadable.h"
#include "recover/found_file_data.h"
#include "recover/reassembly.h"
#include "scan/found_files.h"
#include "volume/vcb.h"

namespace relicta::recover {
namespace {

constexpr const char* kDataGone = "the data is no longer where the scan found it";
constexpr std::size_t kDigestBlock = std::size_t{1} << 20;
// Files up to this size are checked on a second thread while the next ones are read: their
// first page, then the whole file where the check wants more (a written-over file is told by
// its first page). A larger one is checked where it is read, so that only what its check needs
// is read.
constexpr uint64_t kWholeReadBytes = uint64_t{256} * 1024;
constexpr uint64_t kHeadReadBytes = 4096;
constexpr std::size_t kBatchBytes = std::size_t{1} << 20;
constexpr std::size_t kBatches = 3;

// The MD5 of the file's whole data; empty when it cannot all be read.
std::string Md5Of(content::DataReader& data) {
    content::Digest md5(content::Digest::Kind::Md5);
    std::vector<uint8_t> block;
    for (uint64_t at = 0; at < data.Size();) {
        block.resize(static_cast<std::size_t>(std::min<uint64_t>(kDigestBlock, data.Size() - at)));
        if (!data.Read(at, block)) {
            return {};
        }
        md5.Update(block);
        at += block.size();
    }
    return md5.Hex();
}

// True when the work is to stop: Cancel, Ctrl+C, or a quit request.
bool StopRequested() {
    if (app::PumpMessages()) {
        app::StopScan = true;
    }
    return app::StopScan;
}

struct Outcome {
    content::ContentResult result;
    std::string md5;
    bool done = false;
};

// Files for the checking threads, their bytes laid end to end in one buffer: read already, or
// located on the volume for the thread that checks them to read.
struct Batch {
    struct File {
        std::size_t index = 0;  // in the pass's items
        std::string name;
        std::size_t offset = 0;
        std::size_t size = 0;   // bytes read or to read
        uint64_t fileSize = 0;  // more than `size` when only the head is read
        std::size_t firstRange = 0;
        std::size_t ranges = 0;  // where its bytes lie, when they are still to read
    };
    std::vector<uint8_t> bytes = std::vector<uint8_t>(kBatchBytes);
    std::size_t used = 0;
    std::vector<File> files;
    std::vector<content::StoredRange> ranges;
    platform::Handle volume = platform::kNoHandle;
};

// Checks batches on a thread of its own with its own checker, while the reading thread fills
// the next: a few batches go round, so the bytes held stay bounded. A reading thread that
// runs ahead checks the oldest batch itself instead of waiting for one.
class CheckThread {
  public:
    CheckThread(std::vector<Outcome>& outcomes, content::ContentChecker& helper, bool md5)
        : outcomes_(outcomes), helper_(helper), md5_(md5), thread_([this] { Run(); }) {
        for (std::size_t i = 1; i < kBatches; ++i) {
            free_.push_back(std::make_unique<Batch>());
        }
        filling_ = std::make_unique<Batch>();
    }
    ~CheckThread() { Finish(); }
    CheckThread(const CheckThread&) = delete;
    CheckThread& operator=(const CheckThread&) = delete;

    // Room for the first `size` bytes of a file `name`, to be filled before the next call; the
    // file is checked once its batch is handed over.
    std::span<uint8_t> Add(std::size_t index, const std::string& name, std::size_t size,
                           uint64_t fileSize) {
        Batch& b = Room(size);
        b.files.push_back({index, name, b.used, size, fileSize});
        b.used += size;
        return std::span<uint8_t>(b.bytes).subspan(b.files.back().offset, size);
    }
    // A file whose first bytes lie in `ranges` of open volume `volume`: the thread that checks
    // it reads them.
    void AddLocated(std::size_t index, const std::string& name, uint64_t fileSize,
                    std::span<const content::StoredRange> ranges, platform::Handle volume) {
        std::size_t size = 0;
        for (const content::StoredRange& r : ranges) {
            size += static_cast<std::size_t>(r.length);
        }
        Batch& b = Room(size);
        b.volume = volume;
        b.files.push_back({index, name, b.used, size, fileSize, b.ranges.size(), ranges.size()});
        b.ranges.insert(b.ranges.end(), ranges.begin(), ranges.end());
        b.used += size;
    }
    // Takes back the file last added: its data could not be read.
    void DropLast() {
        filling_->used = filling_->files.back().offset;
        filling_->files.pop_back();
    }
    // Checks what was added; then the files whose check wanted more than their head, or whose
    // head could not be read there, to be read whole.
    std::vector<std::size_t> Drain() {
        HandOver();
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return full_.empty() && free_.size() + 1 == kBatches; });
        return std::exchange(wanted_, {});
    }
    // Checks what was added, then ends the thread.
    void Finish() {
        if (!thread_.joinable()) {
            return;
        }
        HandOver();
        {
            const std::lock_guard lock(mutex_);
            closed_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

  private:
    // The batch being filled, handed over first when `size` more bytes do not fit.
    Batch& Room(std::size_t size) {
        if (filling_->used + size > filling_->bytes.size()) {
            HandOver();
        }
        return *filling_;
    }

    void HandOver() {
        if (filling_->files.empty()) {
            return;
        }
        std::unique_lock lock(mutex_);
        full_.push_back(std::move(filling_));
        changed_.notify_all();
        while (free_.empty() && !full_.empty()) {
            Check(lock, helper_);
        }
        changed_.wait(lock, [&] { return !free_.empty(); });
        filling_ = std::move(free_.front());
        free_.pop_front();
    }

    void Run() {
        content::ContentChecker checker;
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return closed_ || !full_.empty(); });
            if (full_.empty()) {
                return;
            }
            Check(lock, checker);
        }
    }

    // Checks the oldest full batch with the lock released meanwhile, then frees it.
    void Check(std::unique_lock<std::mutex>& lock, content::ContentChecker& checker) {
        std::unique_ptr<Batch> batch = std::move(full_.front());
        full_.pop_front();
        lock.unlock();
        std::vector<std::size_t> wanted;
        for (const Batch::File& f : batch->files) {
            if (!CheckFile(*batch, f, checker)) {
                wanted.push_back(f.index);
            }
        }
        batch->files.clear();
        batch->ranges.clear();
        batch->used = 0;
        lock.lock();
        free_.push_back(std::move(batch));
        wanted_.insert(wanted_.end(), wanted.begin(), wanted.end());
        changed_.notify_all();
    }

    // Checks one file of a batch; false when it is wanted whole: its check wanted more than
    // its head, or its head could not be read here.
    bool CheckFile(Batch& batch, const Batch::File& f, content::ContentChecker& checker) {
        const std::span<uint8_t> bytes = std::span<uint8_t>(batch.bytes).subspan(f.offset, f.size);
        if (f.ranges > 0 &&
            !ReadRanges(
                batch.volume,
                std::span<const content::StoredRange>(batch.ranges).subspan(f.firstRange, f.ranges),
                bytes)) {
            return false;
        }
        // Each index is written by one thread at a time: a file wanted whole goes back to the
        // reading thread through the lock.
        Outcome& out = outcomes_[f.index];
        if (f.size < f.fileSize) {
            content::HeadReader head(bytes, f.fileSize);
            content::ContentResult result = checker.Check(f.name, head);
            if (head.WantedMore()) {
                return false;
            }
            out.result = std::move(result);
        } else {
            content::MemoryReader data(bytes);
            out.result = checker.Check(f.name, data);
            if (md5_) {
                out.md5 = Md5Of(data);
            }
        }
        out.done = true;
        return true;
    }

    // One range whole; sectors found unreadable are gone around (the volume's record of them is
    // shared by both threads), so that a failing disk is not asked for them once a file.
    static bool ReadWhole(platform::Handle volume, int64_t offset, std::span<uint8_t> into) {
        platform::Platform& os = platform::CurrentPlatform();
        if (volume::Vcb != nullptr && volume::Vcb->hVolume == volume) {
            return platform::ReadAroundUnreadable(os, volume, offset, into, volume::Vcb->Unreadable)
                .Whole(into.size());
        }
        std::size_t got = 0;
        return os.ReadAt(volume, offset, into, got) && got == into.size();
    }

    // Reads `ranges` of the volume into `into` with positioned reads alone; false on a failed
    // or short read, which the reading thread then meets again and reports.
    static bool ReadRanges(platform::Handle volume, std::span<const content::StoredRange> ranges,
                           std::span<uint8_t> into) {
        std::size_t at = 0;
        for (const content::StoredRange& r : ranges) {
            const std::span<uint8_t> piece = into.subspan(at, static_cast<std::size_t>(r.length));
            if (r.volumeOffset == content::StoredRange::kZeros) {
                std::fill(piece.begin(), piece.end(), 0);
            } else if (!ReadWhole(volume, r.volumeOffset, piece)) {
                return false;
            }
            at += piece.size();
        }
        return true;
    }

    std::vector<Outcome>& outcomes_;
    content::ContentChecker& helper_;  // the reading thread's
    const bool md5_;
    std::unique_ptr<Batch> filling_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::unique_ptr<Batch>> full_;
    std::deque<std::unique_ptr<Batch>> free_;
    std::vector<std::size_t> wanted_;  // to be read whole
    bool closed_ = false;
    std::thread thread_;  // last: starts once the rest is set up
};

// What the reading thread works with.
struct Reading {
    content::ContentChecker& checker;
    CheckThread& second;
    std::vector<Outcome>& outcomes;
    bool md5 = false;
    // The open drive's volume when the other thread may read it too, else kNoHandle.
    platform::Handle sharedVolume = platform::kNoHandle;
    std::vector<content::StoredRange> ranges;
    std::vector<std::size_t> checked;  // the open drive's files handed to the check
    FileStarts starts;
};

// Checks one file of the open drive: its head, or all of it when `whole` or small, read for the
// second thread (or located, for the thread that checks it to read); a large file here.
void CheckOne(std::size_t index, uint32_t item, bool whole, Reading& r) {
    const std::unique_ptr<content::DataReader> data = OpenFoundFileData(item);
    Outcome& out = r.outcomes[index];
    if (!data) {
        out.result.detail = kDataGone;
        out.done = true;
        return;
    }
    const std::string& name = scan::foundFiles[item].name;
    const uint64_t size = data->Size();
    if (size <= kWholeReadBytes) {
        const bool headOnly = !whole && !r.md5;
        const auto read =
            static_cast<std::size_t>(headOnly ? std::min(size, kHeadReadBytes) : size);
        if (headOnly && r.sharedVolume != platform::kNoHandle && data->Locate(read, r.ranges)) {
            r.second.AddLocated(index, name, size, r.ranges, r.sharedVolume);
            return;
        }
        if (data->Read(0, r.second.Add(index, name, read, size))) {
            return;
        }
        r.second.DropLast();
    }
    out.result = r.checker.Check(name, *data);
    if (r.md5) {
        out.md5 = Md5Of(*data);
    }
    out.done = true;
}

// Puts back from two fragments the files of the open drive whose guessed data the check found
// damaged, and checks them again; their first check is over (the second thread is drained).
void ReassembleDamaged(const std::vector<uint32_t>& items, Reading& r) {
    for (const std::size_t index : std::exchange(r.checked, {})) {
        Outcome& out = r.outcomes[index];
        if (!out.done || out.result.verdict != content::Verdict::Damaged || StopRequested() ||
            !ReassembleGuessedFile(items[index], true, &r.starts)) {
            continue;
        }
        const std::unique_ptr<content::DataReader> data = OpenFoundFileData(items[index]);
        if (data) {
            out.result = r.checker.Check(scan::foundFiles[items[index]].name, *data);
            out.md5 = r.md5 ? Md5Of(*data) : std::string();
        }
    }
}

// Reads whole, for the second thread, the files whose head did not tell; false when stopped.
bool CheckWanted(const std::vector<uint32_t>& items, Reading& r) {
    for (std::vector<std::size_t> wanted = r.second.Drain(); !wanted.empty();
         wanted = r.second.Drain()) {
        for (const std::size_t index : wanted) {
            if (StopRequested()) {
                return false;
            }
            CheckOne(index, items[index], true, r);
        }
    }
    return true;
}

}  // namespace

content::ContentResult CheckFoundFile(content::ContentChecker& checker, uint32_t itemNum) {
    const auto check = [&checker, itemNum]() -> content::ContentResult {
        const std::unique_ptr<content::DataReader> data = OpenFoundFileData(itemNum);
        if (!data) {
            return {content::Verdict::Unknown, kDataGone};
        }
        return checker.Check(scan::foundFiles[itemNum].name, *data);
    };
    content::ContentResult result = check();
    if (result.verdict == content::Verdict::Damaged && ReassembleGuessedFile(itemNum, true)) {
        result = check();
    }
    result.detail = WithLayoutNote(scan::foundFiles[itemNum], std::move(result.detail));
    return result;
}

bool CheckFoundFiles(const std::vector<uint32_t>& items, bool md5) {
    std::unique_ptr<app::ProgressWindow> window = app::CreateProgressWindow();
    window->SetText("Checking the content of " + std::to_string(items.size()) +
                    " files, Please wait...");
    app::ScaledProgress progress(*window, static_cast<int64_t>(items.size()) + 1);
    app::StopScan = false;
    std::vector<Outcome> outcomes(items.size());
    bool stopped = false;
    {
        content::ContentChecker checker;
        CheckThread second(outcomes, checker, md5);
        Reading reading{checker, second, outcomes, md5, platform::kNoHandle, {}, {}, {}};
        char open = '\0';
        for (std::size_t i = 0; i < items.size() && !stopped; ++i) {
            progress.Step();
            const uint32_t item = items[i];
            if (StopRequested() || item >= scan::foundFiles.size()) {
                stopped = app::StopScan;
                continue;
            }
            const char drive = scan::foundFiles[item].Drive();
            if (drive != open) {
                // The files wanted whole are read while their drive is open.
                stopped = !CheckWanted(items, reading);
                ReassembleDamaged(items, reading);
                ntfs::CloseNtfsVolumeIfOpen();
                const std::optional<platform::Handle> handle = deep::OpenDriveOfFoundFiles(drive);
                open = handle && platform::IsOpenHandle(*handle) ? drive : '\0';
                reading.sharedVolume =
                    open != '\0' && platform::CurrentPlatform().ReadsFromAnyThread(*handle)
                        ? *handle
                        : platform::kNoHandle;
            }
            if (open == '\0') {
                outcomes[i].result.detail = "the drive cannot be opened";
                outcomes[i].done = true;
                continue;
            }
            reading.checked.push_back(i);
            CheckOne(i, item, false, reading);
        }
        stopped = !CheckWanted(items, reading) || stopped;
        ReassembleDamaged(items, reading);
        ntfs::CloseNtfsVolumeIfOpen();
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!outcomes[i].done) {
            continue;
        }
        scan::FoundFileNotes& notes = scan::foundFiles[items[i]].EditNotes();
        notes.content = content::VerdictName(outcomes[i].result.verdict);
        notes.contentDetail =
            WithLayoutNote(scan::foundFiles[items[i]], std::move(outcomes[i].result.detail));
        if (md5) {
            notes.md5 = std::move(outcomes[i].md5);
        }
    }
    return !stopped;
}

}  // namespace relicta::recover
