#include "recover/file_writer.h"

#include <iterator>
#include <utility>

#include "platform/last_error.h"

namespace relicta::recover {
namespace {

// Enough to keep the writing thread busy through a few large pieces, small enough to bound
// the memory a recovery takes whatever the files' sizes.
constexpr std::size_t kMaxQueuedBytes = std::size_t{32} << 20;
// Files queued and not yet begun by the thread: each may hold a descriptor.
constexpr std::size_t kMaxQueuedFiles = 256;
constexpr std::size_t kMaxKnownDirectories = std::size_t{1} << 16;
// Handed over together, so that the thread is woken once for several small files rather
// than once a step.
constexpr std::size_t kBatchBytes = std::size_t{1} << 20;
constexpr std::size_t kBatchFiles = 16;

}  // namespace

FileWriter::FileWriter() : thread_([this] { Run(); }) {}

FileWriter::~FileWriter() {
    Flush();
    {
        std::unique_lock lock(mutex_);
        Await(lock, [this] { return queue_.empty() && !busy_; });
        stopping_ = true;
    }
    work_.notify_one();
    thread_.join();
}

void FileWriter::Push(Op op) {
    batchBytes_ += op.bytes.size();
    batchFiles_ += op.kind == OpKind::Open ? 1 : 0;
    const bool ends = batchFiles_ >= kBatchFiles || batchBytes_ >= kBatchBytes;
    batch_.push_back(std::move(op));
    if (ends) {
        Flush();
    }
}

void FileWriter::Flush() {
    if (batch_.empty()) {
        return;
    }
    bool wake = false;
    {
        std::unique_lock lock(mutex_);
        // A batch larger than the limits still goes, alone.
        Await(lock, [this] {
            return (queuedBytes_ == 0 || queuedBytes_ + batchBytes_ <= kMaxQueuedBytes) &&
                   (queuedFiles_ == 0 || queuedFiles_ + batchFiles_ <= kMaxQueuedFiles);
        });
        queuedBytes_ += std::exchange(batchBytes_, 0);
        queuedFiles_ += std::exchange(batchFiles_, 0);
        std::move(batch_.begin(), batch_.end(), std::back_inserter(queue_));
        std::swap(spent_, reclaimed_);
        wake = writerWaiting_;
    }
    batch_.clear();
    if (wake) {
        work_.notify_one();
    }
    // What the thread is done with is freed here, where it was allocated: the allocator frees
    // across threads slowly. Buffers are kept for the next pieces.
    for (Op& op : reclaimed_) {
        if (op.kind == OpKind::Write && spareBytes_ + op.bytes.capacity() <= kMaxQueuedBytes) {
            spareBytes_ += op.bytes.capacity();
            spare_.push_back(std::move(op.bytes));
        }
    }
    reclaimed_.clear();
}

std::vector<uint8_t> FileWriter::SpareBuffer() {
    std::vector<uint8_t> buffer;
    if (!spare_.empty()) {
        buffer = std::move(spare_.back());
        spare_.pop_back();
        spareBytes_ -= buffer.capacity();
    }
    return buffer;
}

std::vector<uint8_t> FileWriter::TakeBuffer(std::span<const uint8_t> bytes) {
    std::vector<uint8_t> buffer = SpareBuffer();
    buffer.assign(bytes.begin(), bytes.end());
    return buffer;
}

void FileWriter::NoteDirectory(const std::string& dir, bool madeHere) {
    if (knownDirectories_.size() >= kMaxKnownDirectories) {
        knownDirectories_.clear();  // only the checks of the next files' names are lost
        openFolders_ = 0;
    }
    OutputDirectory& known = knownDirectories_[dir];
    known.madeHere = known.madeHere || madeHere;
}

FileWriter::OutputDirectory FileWriter::KnownDirectory(const std::string& dir) {
    const auto known = knownDirectories_.find(dir);
    if (known == knownDirectories_.end()) {
        return {};
    }
    if (!known->second.folder) {
        if (openFolders_ >= maxOpenFolders_) {
            for (auto& [path, directory] : knownDirectories_) {
                directory.folder.reset();  // each is opened again when next used
            }
            openFolders_ = 0;
        }
        known->second.folder = platform::OutputFolder::Open(dir);
        openFolders_ += known->second.folder ? 1 : 0;
    }
    return known->second;
}

void FileWriter::Begin(std::shared_ptr<const platform::OutputFolder> folder,
                       const std::string& name, const std::string& path, bool readOnly) {
    // Opened here: the writing thread, with every byte to write, is the busier one. A file
    // that could not be created is still queued, so that its failure is told in its turn.
    platform::RecoveredFile file;
    const int error = file.Open(std::move(folder), name, readOnly) ? 0 : platform::GetLastError();
    QueueFile(std::move(file), error, path);
}

void FileWriter::Adopt(platform::RecoveredFile file, const std::string& path) {
    QueueFile(std::move(file), 0, path);
}

void FileWriter::QueueFile(platform::RecoveredFile file, int createError, const std::string& path) {
    const std::size_t hash = std::hash<std::string>{}(path);
    pending_.insert(hash);
    begun_.push_back(hash);
    Op op;
    op.kind = OpKind::Open;
    op.file = std::move(file);
    op.error = createError;
    Push(std::move(op));
}

void FileWriter::Write(std::span<const uint8_t> bytes) {
    Take(TakeBuffer(bytes));
}

void FileWriter::Take(std::vector<uint8_t>&& bytes) {
    Op op;
    op.kind = OpKind::Write;
    op.bytes = std::move(bytes);
    Push(std::move(op));
}

void FileWriter::SetLastWriteTime(uint64_t utcFileTime) {
    Op op;
    op.kind = OpKind::SetTime;
    op.time = utcFileTime;
    Push(std::move(op));
}

void FileWriter::Close() {
    Op op;
    op.kind = OpKind::Close;
    Push(std::move(op));
}

void FileWriter::Discard() {
    Op op;
    op.kind = OpKind::Discard;
    Push(std::move(op));
}

void FileWriter::Then(Done done) {
    Op op;
    op.kind = OpKind::Then;
    // The names begun so far are free again, or taken on disk, once this is reported.
    op.done = [this, paths = std::exchange(begun_, {}),
               done = std::move(done)](const WriteOutcome* outcome) {
        for (const std::size_t hash : paths) {
            pending_.erase(pending_.find(hash));
        }
        done(outcome);
    };
    Push(std::move(op));
}

void FileWriter::Poll() {
    // A `done` that shows a message may be asked to settle again: the outer call goes on.
    if (polling_) {
        return;
    }
    polling_ = true;
    for (;;) {
        if (!finishedWaiting_.exchange(false, std::memory_order_acquire)) {
            break;
        }
        {
            const std::lock_guard lock(mutex_);
            std::swap(finished_, due_);
        }
        if (due_.empty()) {
            break;
        }
        for (Finished& next : due_) {
            next.done(next.outcome ? &*next.outcome : nullptr);
        }
        due_.clear();
    }
    polling_ = false;
}

void FileWriter::Settle() {
    if (polling_) {
        return;
    }
    Flush();
    {
        std::unique_lock lock(mutex_);
        Await(lock, [this] { return queue_.empty() && !busy_; });
    }
    Poll();
}

template <typename Ready>
void FileWriter::Await(std::unique_lock<std::mutex>& lock, Ready ready) {
    while (!ready()) {
        callerWaiting_ = true;
        space_.wait(lock);
        callerWaiting_ = false;
    }
}

void FileWriter::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        while (!stopping_ && queue_.empty()) {
            writerWaiting_ = true;
            work_.wait(lock);
            writerWaiting_ = false;
        }
        if (queue_.empty()) {
            return;
        }
        std::swap(queue_, working_);
        busy_ = true;
        lock.unlock();
        WorkThrough();
        lock.lock();
        busy_ = false;
        if (callerWaiting_) {
            space_.notify_one();
        }
    }
}

void FileWriter::WorkThrough() {
    // What is done is handed back a batch at a time: a lock per step would have the two
    // threads take turns at the mutex for every small file.
    std::size_t doneBytes = 0;
    std::size_t doneFiles = 0;
    std::vector<Finished> finished;
    std::vector<Op> spent;
    const auto handBack = [&] {
        const std::lock_guard lock(mutex_);
        queuedBytes_ -= std::exchange(doneBytes, 0);
        queuedFiles_ -= std::exchange(doneFiles, 0);
        std::move(finished.begin(), finished.end(), std::back_inserter(finished_));
        std::move(spent.begin(), spent.end(), std::back_inserter(spent_));
        finishedWaiting_.store(true, std::memory_order_release);
        if (callerWaiting_) {
            space_.notify_one();
        }
        finished.clear();
        spent.clear();
    };
    for (Op& op : working_) {
        Apply(op);
        doneBytes += op.bytes.size();
        doneFiles += op.kind == OpKind::Open ? 1 : 0;
        if (op.kind == OpKind::Then) {
            finished.push_back({std::move(op.done), std::exchange(outcome_, std::nullopt)});
        }
        spent.push_back(std::move(op));
        if (doneFiles >= kBatchFiles || doneBytes >= kBatchBytes) {
            handBack();
        }
    }
    handBack();
    working_.clear();
}

void FileWriter::Apply(Op& op) {
    switch (op.kind) {
        case OpKind::Open:
            outcome_.emplace();
            outcome_->createError = op.error;
            file_ = std::move(op.file);
            break;
        case OpKind::Write:
            if (file_.IsOpen() && !file_.Write(op.bytes)) {
                outcome_->writeError = platform::GetLastError();
                file_.Discard();
            }
            break;
        case OpKind::SetTime:
            if (file_.IsOpen() && !file_.SetLastWriteTime(op.time)) {
                outcome_->timeError = platform::GetLastError();
            }
            break;
        case OpKind::Close:
            if (file_.IsOpen() && !file_.Close()) {
                outcome_->closeError = platform::GetLastError();
                file_.Discard();
            }
            break;
        case OpKind::Discard:
            file_.Discard();
            break;
        case OpKind::Then:
            break;
    }
}

}  // namespace relicta::recover
