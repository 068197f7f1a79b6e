#include "deep/deep_pass.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include "app/progress.h"
#include "app/scan_state.h"
#include "platform/last_error.h"
#include "platform/unreadable.h"
#include "volume/vcb.h"

namespace relicta::deep {
namespace {

constexpr std::size_t kReadBytes = std::size_t{8} << 20;
constexpr int kProgressSteps = 1000;
constexpr double kMiB = 1024.0 * 1024.0;

// The next read of the pass: where, how much, and whether it follows the last one on.
struct Piece {
    int64_t offset = 0;
    std::size_t length = 0;
};

std::vector<Piece> CutIntoReads(const std::vector<ByteRange>& ranges) {
    std::vector<Piece> pieces;
    for (const ByteRange& r : ranges) {
        for (int64_t at = r.offset; at < r.offset + r.length;) {
            const std::size_t n = static_cast<std::size_t>(
                std::min<int64_t>(static_cast<int64_t>(kReadBytes), r.offset + r.length - at));
            pieces.push_back({at, n});
            at += static_cast<int64_t>(n);
        }
    }
    return pieces;
}

struct PieceRead {
    std::size_t length = 0;      // bytes from the piece's start in `into`: the volume may end first
    std::size_t unreadable = 0;  // of them, bytes of sectors that could not be read (left zero)
};

// One read into `into` (kCarryBytes of room kept in front). On the open volume a failed read
// is narrowed to the sectors that fail, kept with the volume's, and the piece goes on after
// them; another handle's piece ends at the first failure.
PieceRead ReadPiece(platform::Handle handle, const Piece& piece, std::vector<uint8_t>& into) {
    into.resize(kCarryBytes + piece.length);
    std::span<uint8_t> out(into.data() + kCarryBytes, piece.length);
    platform::Platform& os = platform::CurrentPlatform();
    if (volume::Vcb != nullptr && volume::Vcb->hVolume == handle) {
        const platform::ReadOutcome outcome =
            platform::ReadAroundUnreadable(os, handle, piece.offset, out, volume::Vcb->Unreadable);
        const std::size_t whole = outcome.covered - outcome.covered % kSectorBytes;
        return {whole, std::min(outcome.unreadable, whole)};
    }
    std::size_t done = 0;
    while (done < out.size()) {
        std::size_t got = 0;
        if (!os.ReadAt(handle, piece.offset + static_cast<int64_t>(done), out.subspan(done), got) ||
            got == 0) {
            break;
        }
        done += got;
    }
    return {done - done % kSectorBytes, 0};
}

// The time left, once the first seconds (a cold cache, the read-ahead filling) no longer sway
// the rate: `read` bytes in `seconds`, `remaining` of `total` to go.
void AppendTimeLeft(char* out, std::size_t room, double seconds, int64_t read, int64_t remaining,
                    double rate, int64_t total) {
    constexpr double kSteadyAfterSeconds = 10;
    constexpr int64_t kSteadyAfterParts = 100;  // a hundredth of the drive
    if (remaining <= 0) {
        return;
    }
    if (seconds < kSteadyAfterSeconds || read < total / kSteadyAfterParts || rate <= 0) {
        std::snprintf(out, room, ", estimating the time left");
        return;
    }
    const auto left = static_cast<int64_t>(static_cast<double>(remaining) / rate);
    if (left >= 3600) {
        std::snprintf(out, room, ", %lldh %02lldm left", static_cast<long long>(left / 3600),
                      static_cast<long long>(left % 3600 / 60));
    } else {
        std::snprintf(out, room, ", %lldm %02llds left", static_cast<long long>(left / 60),
                      static_cast<long long>(left % 60));
    }
}

// A pass's progress; the rate is that of the bytes read since `from`, where it went on.
class PassProgress {
  public:
    PassProgress(int64_t total, int64_t from)
        : total_(std::max<int64_t>(total, 1)), from_(std::clamp<int64_t>(from, 0, total_)) {
        window_ = app::CreateProgressWindow();
        window_->SetRange(0, kProgressSteps);
        window_->SetPos(0);
        Show(from_);
    }
    void Show(int64_t done) {
        const auto now = std::chrono::steady_clock::now();
        if (done != from_ && done != total_ && now - shown_ < std::chrono::milliseconds(200)) {
            return;
        }
        shown_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const int64_t read = done - from_;
        const double rate = seconds > 0 ? static_cast<double>(read) / seconds : 0;
        char text[160];
        const int used = std::snprintf(text, sizeof text, "Deep scan: %.0f of %.0f MiB, %.0f MiB/s",
                                       static_cast<double>(done) / kMiB,
                                       static_cast<double>(total_) / kMiB, rate / kMiB);
        AppendTimeLeft(text + used, sizeof text - static_cast<std::size_t>(used), seconds, read,
                       total_ - done, rate, total_);
        window_->SetText(text);
        window_->SetPos(static_cast<int>(static_cast<__int128>(done) * kProgressSteps / total_));
    }

  private:
    int64_t total_;
    int64_t from_;
    std::unique_ptr<app::ProgressWindow> window_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point shown_{};
};

// Reads ahead on a thread of its own where the source allows, one buffer ahead of the finders.
class Reader {
  public:
    Reader(platform::Handle handle, std::vector<Piece> pieces)
        : handle_(handle),
          pieces_(std::move(pieces)),
          threaded_(platform::CurrentPlatform().ReadsFromAnyThread(handle) && pieces_.size() > 1) {
        if (threaded_) {
            thread_ = std::thread([this] { Run(); });
        }
    }
    ~Reader() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // Piece `index` read into `into` (whose buffer is swapped with the reader's).
    PieceRead Take(std::size_t index, std::vector<uint8_t>& into) {
        if (!threaded_) {
            return ReadPiece(handle_, pieces_[index], into);
        }
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return ready_ == index + 1; });
        into.swap(ahead_);
        const PieceRead read = aheadRead_;
        taken_ = index + 1;
        changed_.notify_all();
        return read;
    }

  private:
    void Run() {
        std::vector<uint8_t> buffer;
        for (std::size_t i = 0; i < pieces_.size(); ++i) {
            const PieceRead read = ReadPiece(handle_, pieces_[i], buffer);
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return stop_ || taken_ == i; });
            if (stop_) {
                return;
            }
            ahead_.swap(buffer);
            aheadRead_ = read;
            ready_ = i + 1;
            changed_.notify_all();
        }
    }

    platform::Handle handle_;
    std::vector<Piece> pieces_;
    bool threaded_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint8_t> ahead_;
    PieceRead aheadRead_;
    std::size_t ready_ = 0;  // pieces handed over so far
    std::size_t taken_ = 0;  // pieces taken so far
    bool stop_ = false;
};

}  // namespace

std::vector<ByteRange> NormalizeRanges(const std::vector<ByteRange>& ranges, int64_t limit) {
    const int64_t sector = static_cast<int64_t>(kSectorBytes);
    std::vector<ByteRange> cut;
    for (const ByteRange& r : ranges) {
        if (r.length <= 0 || r.offset < 0 || r.offset >= limit) {
            continue;
        }
        const int64_t end = std::min(limit, r.offset + std::min(r.length, limit - r.offset));
        const int64_t from = (r.offset + sector - 1) / sector * sector;
        const int64_t to = end / sector * sector;
        if (to > from) {
            cut.push_back({from, to - from});
        }
    }
    std::sort(cut.begin(), cut.end(),
              [](const ByteRange& a, const ByteRange& b) { return a.offset < b.offset; });
    std::vector<ByteRange> merged;
    for (const ByteRange& r : cut) {
        if (!merged.empty() && r.offset <= merged.back().offset + merged.back().length) {
            merged.back().length =
                std::max(merged.back().offset + merged.back().length, r.offset + r.length) -
                merged.back().offset;
        } else {
            merged.push_back(r);
        }
    }
    return merged;
}

bool ResumesAt(const std::vector<ByteRange>& ranges, const PassPosition& position) {
    int64_t total = 0;
    for (const ByteRange& r : ranges) {
        total += r.length;
    }
    const bool counted = position.bytesRead >= 0 && position.bytesUnreadable >= 0 &&
                         position.bytesRead <= total - position.bytesUnreadable;
    const bool carried =
        position.carry.size() <= kCarryBytes &&
        (position.carryEnd == -1 ? position.carry.empty() : position.carryEnd == position.next);
    if (!counted || !carried) {
        return false;
    }
    if (position.finished) {
        return true;
    }
    const std::vector<Piece> pieces = CutIntoReads(ranges);
    return std::any_of(pieces.begin(), pieces.end(),
                       [&](const Piece& p) { return p.offset == position.next; });
}

namespace {

// Saves where the pass stands when it is time, when it stops and when it is done.
class PositionSaver {
  public:
    explicit PositionSaver(const PassCheckpoints* checkpoints) : checkpoints_(checkpoints) {}
    bool Due() const {
        return checkpoints_ != nullptr && checkpoints_->save &&
               std::chrono::steady_clock::now() - last_ >= checkpoints_->every;
    }
    void Save(const PassPosition& position) {
        if (checkpoints_ != nullptr && checkpoints_->save) {
            checkpoints_->save(position);
            last_ = std::chrono::steady_clock::now();
        }
    }

  private:
    const PassCheckpoints* checkpoints_;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// The first piece a pass reads: the one where it stood, or the first.
std::size_t FirstPiece(const std::vector<Piece>& pieces, const PassPosition* from) {
    if (from == nullptr) {
        return 0;
    }
    if (from->finished) {
        return pieces.size();
    }
    const auto it = std::find_if(pieces.begin(), pieces.end(),
                                 [&](const Piece& p) { return p.offset == from->next; });
    return static_cast<std::size_t>(it - pieces.begin());
}

}  // namespace

PassResult RunPass(platform::Handle handle, const std::vector<ByteRange>& ranges,
                   std::span<Finder* const> finders, const PassCheckpoints* checkpoints) {
    const PassPosition* from = checkpoints != nullptr ? checkpoints->from : nullptr;
    PassResult result;
    int64_t total = 0;
    for (const ByteRange& r : ranges) {
        total += r.length;
    }
    std::vector<Piece> pieces = CutIntoReads(ranges);
    const std::size_t first = FirstPiece(pieces, from);
    int64_t done = 0;
    for (std::size_t i = 0; i < first && i < pieces.size(); ++i) {
        done += static_cast<int64_t>(pieces[i].length);
    }
    PassProgress progress(total, done);
    // Where the pass stands: the last bytes of the block before among it, which begin this one
    // when it follows on.
    PassPosition at;
    if (from != nullptr) {
        at = *from;
        result.bytesRead = at.bytesRead;
        result.bytesUnreadable = at.bytesUnreadable;
    }
    pieces.erase(pieces.begin(), pieces.begin() + static_cast<std::ptrdiff_t>(first));
    Reader reader(handle, pieces);
    std::vector<uint8_t> buffer;
    std::vector<uint8_t>& carry = at.carry;
    int64_t& carryEnd = at.carryEnd;
    PositionSaver saver(checkpoints);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        at.next = pieces[i].offset;
        at.bytesRead = result.bytesRead;
        at.bytesUnreadable = result.bytesUnreadable;
        if (app::PumpMessages() || app::StopScan) {
            result.cancelled = true;
            saver.Save(at);
            return result;
        }
        if (saver.Due()) {
            saver.Save(at);
        }
        const PieceRead read = reader.Take(i, buffer);
        const std::size_t n = read.length;
        const Piece& piece = pieces[i];
        done += static_cast<int64_t>(piece.length);
        result.bytesRead += static_cast<int64_t>(n - read.unreadable);
        result.bytesUnreadable += static_cast<int64_t>(piece.length - n + read.unreadable);
        const std::size_t carried = carryEnd == piece.offset ? carry.size() : 0;
        std::copy(carry.end() - static_cast<std::ptrdiff_t>(carried), carry.end(),
                  buffer.begin() + static_cast<std::ptrdiff_t>(kCarryBytes - carried));
        const std::span<const uint8_t> bytes =
            std::span<const uint8_t>(buffer).subspan(kCarryBytes - carried, carried + n);
        const int64_t end = piece.offset + static_cast<int64_t>(n);
        const bool followed =
            n == piece.length && i + 1 < pieces.size() && pieces[i + 1].offset == end;
        const std::size_t held = followed ? std::min(kCarryBytes, bytes.size()) : 0;
        const Block block{piece.offset - static_cast<int64_t>(carried), bytes, bytes.size() - held};
        for (Finder* finder : finders) {
            finder->Feed(block);
        }
        carry.assign(bytes.end() - static_cast<std::ptrdiff_t>(held), bytes.end());
        carryEnd = followed ? end : -1;
        progress.Show(done);
    }
    at.finished = true;
    at.bytesRead = result.bytesRead;
    at.bytesUnreadable = result.bytesUnreadable;
    if (from == nullptr || !from->finished) {
        saver.Save(at);
    }
    return result;
}

}  // namespace relicta::deep
