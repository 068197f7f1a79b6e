#pragma once
// Reading a source that returns read errors for some sectors, as a failing disk does: a failed
// read is narrowed to the sectors that fail, the rest is read, and those sectors are kept so
// that later reads go around them instead of failing again (each failed read on a failing disk
// may take seconds).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace relicta::platform {

// The unit a failed read is narrowed to, and that reports count in: what every disk reads.
inline constexpr uint32_t kUnreadableSectorBytes = 512;

// At most this many failed reads go into finding where one unreadable stretch ends.
inline constexpr int kMaxFailedReadsPerStretch = 64;

// `length` bytes from `offset`, in bytes of the open volume.
struct ByteRun {
    int64_t offset = 0;
    uint64_t length = 0;
    int64_t End() const { return offset + static_cast<int64_t>(length); }
    bool operator==(const ByteRun&) const = default;
};

// The byte runs of one open volume found unreadable, merged and in order. Safe from any thread.
class UnreadableRuns {
  public:
    UnreadableRuns() = default;
    // Moved only while no other thread reads through it.
    UnreadableRuns(UnreadableRuns&& other) noexcept;
    UnreadableRuns& operator=(UnreadableRuns&& other) noexcept;
    ~UnreadableRuns() = default;

    void Add(ByteRun run);
    bool Overlaps(int64_t offset, uint64_t length) const;
    // The unreadable runs inside [offset, offset + length), clipped to it.
    std::vector<ByteRun> Within(int64_t offset, uint64_t length) const;
    std::vector<ByteRun> All() const;
    uint64_t Bytes() const;
    bool Empty() const;

    void NoteFailedRead(int error);
    int FailedReads() const;
    int FirstError() const;  // the system error of the first failed read, 0 when none failed

  private:
    mutable std::mutex mutex_;
    std::map<int64_t, int64_t> runs_;  // offset -> end, disjoint and not touching
    std::atomic<bool> any_{false};     // asked without the lock on every read
    int failedReads_ = 0;
    int firstError_ = 0;
};

struct ReadOutcome {
    std::size_t covered = 0;     // bytes from the start accounted for: read or unreadable
    std::size_t unreadable = 0;  // of them, bytes that could not be read (left zero)
    bool Whole(std::size_t wanted) const { return covered == wanted && unreadable == 0; }
};

// Reads `out` at `offset` of the open volume, going around the runs known unreadable and
// narrowing a failed read down to the sectors that fail, which are added to `runs` and left
// zero. `covered` falls short of `out` only where the volume ends; the rest is zero-filled.
ReadOutcome ReadAroundUnreadable(Platform& os, Handle handle, int64_t offset,
                                 std::span<uint8_t> out, UnreadableRuns& runs);

// Sectors of kUnreadableSectorBytes as a short list: "20480-20543, 90000 and 3 more stretches".
std::string DescribeSectorRuns(const std::vector<ByteRun>& runs, std::size_t shown = 3);

}  // namespace relicta::platform
