#include "platform/unreadable.h"

#include <algorithm>
#include <array>
#include <string>

#include "platform/last_error.h"

namespace relicta::platform {

UnreadableRuns::UnreadableRuns(UnreadableRuns&& other) noexcept {
    *this = std::move(other);
}

UnreadableRuns& UnreadableRuns::operator=(UnreadableRuns&& other) noexcept {
    if (this != &other) {
        const std::scoped_lock lock(mutex_, other.mutex_);
        runs_ = std::move(other.runs_);
        any_ = !runs_.empty();
        failedReads_ = other.failedReads_;
        firstError_ = other.firstError_;
    }
    return *this;
}

void UnreadableRuns::Add(ByteRun run) {
    if (run.length == 0 || run.offset < 0) {
        return;
    }
    const std::lock_guard lock(mutex_);
    int64_t from = run.offset;
    int64_t to = run.End();
    // Merge with every run that touches or overlaps it.
    auto it = runs_.upper_bound(from);
    if (it != runs_.begin() && std::prev(it)->second >= from) {
        --it;
    }
    while (it != runs_.end() && it->first <= to) {
        from = std::min(from, it->first);
        to = std::max(to, it->second);
        it = runs_.erase(it);
    }
    runs_.emplace(from, to);
    any_ = true;
}

std::vector<ByteRun> UnreadableRuns::Within(int64_t offset, uint64_t length) const {
    std::vector<ByteRun> inside;
    if (!any_) {
        return inside;
    }
    const int64_t end = offset + static_cast<int64_t>(length);
    const std::lock_guard lock(mutex_);
    auto it = runs_.upper_bound(offset);
    if (it != runs_.begin()) {
        --it;
    }
    for (; it != runs_.end() && it->first < end; ++it) {
        const int64_t from = std::max(it->first, offset);
        const int64_t to = std::min(it->second, end);
        if (from < to) {
            inside.push_back({from, static_cast<uint64_t>(to - from)});
        }
    }
    return inside;
}

bool UnreadableRuns::Overlaps(int64_t offset, uint64_t length) const {
    return !Within(offset, length).empty();
}

std::vector<ByteRun> UnreadableRuns::All() const {
    const std::lock_guard lock(mutex_);
    std::vector<ByteRun> all;
    all.reserve(runs_.size());
    for (const auto& [from, to] : runs_) {
        all.push_back({from, static_cast<uint64_t>(to - from)});
    }
    return all;
}

uint64_t UnreadableRuns::Bytes() const {
    const std::lock_guard lock(mutex_);
    uint64_t bytes = 0;
    for (const auto& [from, to] : runs_) {
        bytes += static_cast<uint64_t>(to - from);
    }
    return bytes;
}

bool UnreadableRuns::Empty() const {
    return !any_;
}

void UnreadableRuns::NoteFailedRead(int error) {
    const std::lock_guard lock(mutex_);
    ++failedReads_;
    if (firstError_ == 0) {
        firstError_ = error;
    }
}

int UnreadableRuns::FailedReads() const {
    const std::lock_guard lock(mutex_);
    return failedReads_;
}

int UnreadableRuns::FirstError() const {
    const std::lock_guard lock(mutex_);
    return firstError_;
}

namespace {

constexpr int64_t kUnit = kUnreadableSectorBytes;

int64_t UnitFloor(int64_t at) {
    return at - at % kUnit;
}

enum class Attempt { Read, Ended, Failed };

// One read request over the caller's buffer, narrowed where it fails.
class NarrowingReader {
  public:
    NarrowingReader(Platform& os, Handle handle, int64_t offset, std::span<uint8_t> out,
                    UnreadableRuns& runs)
        : os_(os), handle_(handle), offset_(offset), out_(out), runs_(runs) {}

    ReadOutcome Run() {
        const int64_t end = offset_ + static_cast<int64_t>(out_.size());
        int64_t at = offset_;
        while (at < end) {
            const std::vector<ByteRun> known = runs_.Within(at, static_cast<uint64_t>(end - at));
            if (!known.empty() && known.front().offset == at) {
                Unreadable(at, known.front().End());
                at = known.front().End();
                continue;
            }
            const int64_t stop = known.empty() ? end : known.front().offset;
            if (const std::optional<int64_t> ended = ReadSegment(at, stop)) {
                Zero(*ended, end);
                outcome_.covered = static_cast<std::size_t>(*ended - offset_);
                return outcome_;
            }
            at = stop;
        }
        outcome_.covered = out_.size();
        return outcome_;
    }

  private:
    std::span<uint8_t> Window(int64_t from, int64_t to) {
        return out_.subspan(static_cast<std::size_t>(from - offset_),
                            static_cast<std::size_t>(to - from));
    }

    void Zero(int64_t from, int64_t to) {
        if (from < to) {
            const std::span<uint8_t> w = Window(from, to);
            std::fill(w.begin(), w.end(), 0);
        }
    }

    void Unreadable(int64_t from, int64_t to) {
        to = std::min(to, offset_ + static_cast<int64_t>(out_.size()));
        if (from < to) {
            Zero(from, to);
            outcome_.unreadable += static_cast<std::size_t>(to - from);
        }
    }

    // Reads `into` at `at` whole; `got` says how far it came before it ended or failed.
    Attempt ReadInto(int64_t at, std::span<uint8_t> into, std::size_t& got) {
        got = 0;
        while (got < into.size()) {
            std::size_t n = 0;
            if (!os_.ReadAt(handle_, at + static_cast<int64_t>(got), into.subspan(got), n)) {
                runs_.NoteFailedRead(GetLastError());
                ++failedHere_;
                return Attempt::Failed;
            }
            if (n == 0) {
                return Attempt::Ended;
            }
            got += n;
        }
        return Attempt::Read;
    }

    // Whether the sector at `at` (which may lie past the request) fails to read.
    bool SectorFails(int64_t at) {
        std::array<uint8_t, kUnit> sector{};
        std::size_t got = 0;
        return ReadInto(at, sector, got) == Attempt::Failed;
    }

    // Reads [from, to), which holds no run known unreadable. The offset the volume ends at,
    // when it ends first.
    std::optional<int64_t> ReadSegment(int64_t from, int64_t to) {
        while (from < to) {
            std::size_t got = 0;
            const Attempt first = ReadInto(from, Window(from, to), got);
            if (first == Attempt::Read) {
                return std::nullopt;
            }
            if (first == Attempt::Ended) {
                return from + static_cast<int64_t>(got);
            }
            // Halve until one sector is left that fails; what reads on the way is kept.
            failedHere_ = 1;
            int64_t lo = std::max(from, UnitFloor(from + static_cast<int64_t>(got)));
            int64_t hi = to;
            while (hi - UnitFloor(lo) > kUnit) {
                int64_t mid = UnitFloor(lo + (hi - lo) / 2);
                if (mid <= lo) {
                    mid = UnitFloor(lo) + kUnit;
                }
                const Attempt half = ReadInto(lo, Window(lo, mid), got);
                if (half == Attempt::Read) {
                    lo = mid;
                } else if (half == Attempt::Ended) {
                    return lo + static_cast<int64_t>(got);
                } else {
                    hi = mid;
                    lo = std::max(lo, UnitFloor(lo + static_cast<int64_t>(got)));
                }
            }
            const int64_t badFrom = UnitFloor(lo);
            const int64_t badTo = StretchEnd(badFrom + kUnit);
            runs_.Add({badFrom, static_cast<uint64_t>(badTo - badFrom)});
            Unreadable(lo, std::min(badTo, to));
            from = badTo;
        }
        return std::nullopt;
    }

    // Where the unreadable stretch whose sector before `from` failed ends: sectors further on
    // are tried at doubling distances, then the last step is halved, so that a long stretch
    // costs a few dozen failed reads rather than one a sector.
    int64_t StretchEnd(int64_t from) {
        const uint64_t length = os_.VolumeLength(handle_);
        const int64_t limit =
            std::max(from, static_cast<int64_t>(std::min<uint64_t>(length, INT64_MAX)));
        int64_t lastBad = from - kUnit;
        int64_t firstGood = limit;
        for (int64_t step = kUnit; lastBad + step < limit; step *= 2) {
            if (failedHere_ >= kMaxFailedReadsPerStretch || !SectorFails(lastBad + step)) {
                firstGood = lastBad + step;
                break;
            }
            lastBad += step;
        }
        while (firstGood - lastBad > kUnit && failedHere_ < kMaxFailedReadsPerStretch) {
            const int64_t mid = UnitFloor(lastBad + (firstGood - lastBad) / 2);
            if (SectorFails(mid)) {
                lastBad = mid;
            } else {
                firstGood = mid;
            }
        }
        // Out of failed reads: only what was seen to fail counts as unreadable.
        return std::min(firstGood, lastBad + kUnit);
    }

    Platform& os_;
    Handle handle_;
    int64_t offset_;
    std::span<uint8_t> out_;
    UnreadableRuns& runs_;
    ReadOutcome outcome_;
    int failedHere_ = 0;
};

}  // namespace

ReadOutcome ReadAroundUnreadable(Platform& os, Handle handle, int64_t offset,
                                 std::span<uint8_t> out, UnreadableRuns& runs) {
    if (out.empty() || offset < 0 ||
        static_cast<uint64_t>(offset) > static_cast<uint64_t>(INT64_MAX) - out.size()) {
        std::fill(out.begin(), out.end(), 0);
        return {};
    }
    return NarrowingReader(os, handle, offset, out, runs).Run();
}

std::string DescribeSectorRuns(const std::vector<ByteRun>& runs, std::size_t shown) {
    std::string text;
    for (std::size_t i = 0; i < runs.size() && i < shown; ++i) {
        if (i > 0) {
            text += i + 1 == runs.size() ? " and " : ", ";
        }
        const int64_t first = runs[i].offset / kUnit;
        const int64_t last = (runs[i].End() - 1) / kUnit;
        text += std::to_string(first);
        if (last != first) {
            text += "-" + std::to_string(last);
        }
    }
    if (runs.size() > shown) {
        const std::size_t more = runs.size() - shown;
        text += " and " + std::to_string(more) + (more == 1 ? " more stretch" : " more stretches");
    }
    return text;
}

}  // namespace relicta::platform
