#pragma once
// Recovered files written on a thread of their own, so that the volume is read for the next
// file while the last one is written, created and linked in. What one file's writing came to
// is handed back, in the order the files were begun, to the thread that queued them.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/recovered_file.h"

namespace relicta::recover {

// The errors (errno values) one file met on the writing thread; 0 where all went well.
struct WriteOutcome {
    int createError = 0;
    int writeError = 0;
    int timeError = 0;
    int closeError = 0;
};

class FileWriter {
  public:
    using Done = std::function<void(const WriteOutcome* outcome)>;

    FileWriter();
    ~FileWriter();  // everything queued is written; what is still to report is dropped
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // The calls below queue work, in order, for the writing thread; Write waits while the
    // bytes queued and not yet written are too many.

    // A new file, created (without a name until it is whole) as `name` in `folder`, or at
    // `name` from here without one; `path` is its whole path. The directory must exist.
    void Begin(std::shared_ptr<const platform::OutputFolder> folder, const std::string& name,
               const std::string& path, bool readOnly);
    // A new file the calling thread already created.
    void Adopt(platform::RecoveredFile file, const std::string& path);
    void Write(std::span<const uint8_t> bytes);
    void Take(std::vector<uint8_t>&& bytes);  // the same, handed over rather than copied
    // A buffer written before, to be filled and handed over by Take; empty when none is spare.
    std::vector<uint8_t> SpareBuffer();
    void SetLastWriteTime(uint64_t utcFileTime);
    void Close();
    void Discard();
    // `done` runs on the calling thread (from Poll or Settle) once everything queued before it
    // is done, with the outcome of the file begun since the last such call, or nullptr.
    void Then(Done done);

    // Runs the `done` calls that are due; Settle first waits for the thread to finish all.
    void Poll();
    void Settle();

    // A file begun here and not yet reported done: its name is not free, though it has none
    // on disk yet.
    // Told apart by hash: a rare collision only waits for a file that need not be waited for.
    bool IsPending(const std::string& path) const {
        return pending_.contains(std::hash<std::string>{}(path));
    }
    // A directory files were created in, held open, so that files go there without asking
    // the file system more than whether the name is free. When this recovery made it, every
    // name in it is one of its own files', and a clash shows when the file is linked in.
    struct OutputDirectory {
        std::shared_ptr<const platform::OutputFolder> folder;  // none when not known or not open
        bool madeHere = false;
    };
    OutputDirectory KnownDirectory(const std::string& dir);
    void NoteDirectory(const std::string& dir, bool madeHere);

  private:
    enum class OpKind { Open, Write, SetTime, Close, Discard, Then };
    struct Op {
        OpKind kind = OpKind::Then;
        int error = 0;  // an Open's: why the file could not be created, or 0
        uint64_t time = 0;
        std::vector<uint8_t> bytes;
        platform::RecoveredFile file;
        Done done;
    };
    struct Finished {
        Done done;
        std::optional<WriteOutcome> outcome;
    };

    void QueueFile(platform::RecoveredFile file, int createError, const std::string& path);
    void Push(Op op);
    void Flush();
    template <typename Ready>
    void Await(std::unique_lock<std::mutex>& lock, Ready ready);
    void Run();
    void WorkThrough();  // the ops taken from the queue
    void Apply(Op& op);
    std::vector<uint8_t> TakeBuffer(std::span<const uint8_t> bytes);  // a copy, in a spare one

    // Shared with the writing thread, under mutex_.
    mutable std::mutex mutex_;
    std::condition_variable work_;   // the thread waits for work
    std::condition_variable space_;  // the caller waits for room, or for the thread's end
    std::vector<Op> queue_;          // handed over, not yet taken by the thread
    std::vector<Op> spent_;          // done with, to be freed by the caller
    std::vector<Finished> finished_;
    std::size_t queuedBytes_ = 0;  // handed over and not yet written
    std::size_t queuedFiles_ = 0;
    bool busy_ = false;
    bool stopping_ = false;
    bool writerWaiting_ = false;
    bool callerWaiting_ = false;
    // finished_ may hold some: Poll looks here first, without the lock.
    std::atomic<bool> finishedWaiting_{false};

    // The writing thread's own.
    std::vector<Op> working_;
    platform::RecoveredFile file_;
    std::optional<WriteOutcome> outcome_;

    // The calling thread's own.
    std::vector<Op> batch_;  // not yet handed to the thread
    std::size_t batchBytes_ = 0;
    std::size_t batchFiles_ = 0;
    std::vector<Op> reclaimed_;
    std::vector<std::vector<uint8_t>> spare_;  // written buffers, kept for reuse
    std::size_t spareBytes_ = 0;
    std::vector<Finished> due_;
    std::unordered_multiset<std::size_t> pending_;  // hashes of the paths
    std::vector<std::size_t> begun_;                // paths begun and not yet handed to a `done`
    std::unordered_map<std::string, OutputDirectory> knownDirectories_;
    std::size_t openFolders_ = 0;
    std::size_t maxOpenFolders_ = platform::OutputFolder::MaxOpen();
    bool polling_ = false;

    std::thread thread_;
};

}  // namespace relicta::recover
