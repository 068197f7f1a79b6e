#pragma once
// Recovered files written on a thread of their own, so that the volume is read for the next
// file while the last one is written, created and linked in. What one file's writing came to
// is handed back, in the order the files were begun, to the thread that queued them.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
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

    // A new file, created (without a name until it is whole) where `path` says; its
    // directory must exist.
    void Begin(const std::string& path, bool readOnly);
    // A new file the calling thread already created.
    void Adopt(platform::RecoveredFile file, const std::string& path);
    void Write(std::span<const uint8_t> bytes);
    void Take(std::vector<uint8_t>&& bytes);  // the same, handed over rather than copied
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
    // Directories files were created in: files go there without asking the file system.
    bool KnowsDirectory(const std::string& dir) const { return knownDirectories_.contains(dir); }
    void NoteDirectory(const std::string& dir);

  private:
    enum class OpKind { Begin, Adopt, Write, SetTime, Close, Discard, Then };
    struct Op {
        OpKind kind = OpKind::Then;
        std::string path;
        bool readOnly = false;
        uint64_t time = 0;
        std::vector<uint8_t> bytes;
        platform::RecoveredFile file;
        Done done;
    };
    struct Finished {
        Done done;
        std::optional<WriteOutcome> outcome;
    };

    static bool OpensFile(OpKind kind) { return kind == OpKind::Begin || kind == OpKind::Adopt; }
    void Push(Op op);
    void Flush();
    template <typename Ready>
    void Await(std::unique_lock<std::mutex>& lock, Ready ready);
    void Run();
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
    std::unordered_set<std::string> knownDirectories_;
    bool polling_ = false;

    std::thread thread_;
};

}  // namespace relicta::recover
