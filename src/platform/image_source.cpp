#include "platform/image_source.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/container_sources.h"
#include "platform/file_io.h"
#include "platform/last_error.h"

namespace relicta::platform {
namespace {

constexpr int kMaxPieces = 100000;

// One piece of advice makes the kernel fetch no more than its read-ahead window or the
// device's largest request, whichever is larger: a range is advised in pieces no longer than
// the smallest window a device has by default.
constexpr uint64_t kAdvicePieceBytes = uint64_t{128} * 1024;

class RawSource : public ImageSource {
  public:
    explicit RawSource(FileDescriptor fd) : fd_(std::move(fd)), size_(LengthOf(fd_.get())) {}
    bool ReadAt(uint64_t offset, std::span<uint8_t> out, std::size_t& bytesRead) override {
        bytesRead = 0;
        if (offset >= size_) {
            return true;
        }
        return PreadAll(
            fd_.get(), offset,
            out.first(static_cast<std::size_t>(std::min<uint64_t>(out.size(), size_ - offset))),
            bytesRead);
    }
    void WillRead(uint64_t offset, uint64_t length) override {
        if (offset < size_) {
            advice_.WillNeed(fd_.get(), offset, std::min(length, size_ - offset));
        }
    }
    uint64_t Size() const override { return size_; }
    bool ReadsFromAnyThread() const override { return true; }

  private:
    FileDescriptor fd_;
    uint64_t size_;
    AdviceThread advice_;  // after the descriptor: it stops before the descriptor closes
};

// A raw image in pieces, each read where the ones before it end.
class SplitSource : public ImageSource {
  public:
    struct Piece {
        FileDescriptor fd;
        uint64_t start = 0;
        uint64_t size = 0;
    };
    explicit SplitSource(std::vector<Piece> pieces) : pieces_(std::move(pieces)) {}
    bool ReadAt(uint64_t offset, std::span<uint8_t> out, std::size_t& bytesRead) override {
        bytesRead = 0;
        auto piece = std::upper_bound(pieces_.begin(), pieces_.end(), offset,
                                      [](uint64_t at, const Piece& p) { return at < p.start; });
        if (piece == pieces_.begin()) {
            return true;
        }
        for (--piece; piece != pieces_.end() && bytesRead < out.size(); ++piece) {
            const uint64_t at = offset + bytesRead - piece->start;
            if (at >= piece->size) {
                continue;
            }
            const std::size_t wanted = static_cast<std::size_t>(
                std::min<uint64_t>(out.size() - bytesRead, piece->size - at));
            std::size_t got = 0;
            if (!PreadAll(piece->fd.get(), at, out.subspan(bytesRead, wanted), got)) {
                return false;
            }
            bytesRead += got;
            if (got < wanted) {
                break;  // a piece shorter than when it was opened
            }
        }
        return true;
    }
    void WillRead(uint64_t offset, uint64_t length) override {
        const uint64_t end = offset + std::min(length, UINT64_MAX - offset);
        for (const Piece& piece : pieces_) {
            const uint64_t from = std::max(offset, piece.start);
            const uint64_t to = std::min(end, piece.start + piece.size);
            if (from < to) {
                advice_.WillNeed(piece.fd.get(), from - piece.start, to - from);
            }
        }
    }
    uint64_t Size() const override {
        return pieces_.empty() ? 0 : pieces_.back().start + pieces_.back().size;
    }
    bool ReadsFromAnyThread() const override { return true; }

  private:
    std::vector<Piece> pieces_;
    AdviceThread advice_;  // after the pieces: it stops before their descriptors close
};

// The name of the piece after `path` in a split raw image ("x.001" -> "x.002",
// "x.aa" -> "x.ab"); nullopt when `path` is not named like a piece.
std::optional<std::string> NextPieceName(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos || path.size() - dot < 3 ||
        path.find('/', dot) != std::string::npos) {
        return std::nullopt;
    }
    std::string suffix = path.substr(dot + 1);
    const bool digits =
        std::all_of(suffix.begin(), suffix.end(), [](unsigned char c) { return std::isdigit(c); });
    const bool letters =
        suffix.size() == 2 &&
        std::all_of(suffix.begin(), suffix.end(), [](unsigned char c) { return std::islower(c); });
    if (!digits && !letters) {
        return std::nullopt;
    }
    const char low = digits ? '0' : 'a';
    const char high = digits ? '9' : 'z';
    for (std::size_t i = suffix.size(); i-- > 0;) {
        if (suffix[i] != high) {
            ++suffix[i];
            return path.substr(0, dot + 1) + suffix;
        }
        suffix[i] = low;
    }
    return std::nullopt;  // past the last name the suffix allows
}

bool IsFirstPieceName(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    if (dot == std::string::npos) {
        return false;
    }
    const std::string suffix = path.substr(dot + 1);
    return suffix == "aa" ||
           (suffix.size() >= 3 && suffix.find_first_not_of('0') == suffix.size() - 1 &&
            suffix.back() == '1');
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

OpenedImage OpenSplit(const std::string& first) {
    std::vector<SplitSource::Piece> pieces;
    uint64_t start = 0;
    std::optional<std::string> name = first;
    for (; name && Exists(*name) && pieces.size() < kMaxPieces; name = NextPieceName(*name)) {
        FileDescriptor fd(::open(name->c_str(), O_RDONLY | O_CLOEXEC));
        if (fd.get() < 0) {
            return {nullptr, {}, *name + ": " + std::strerror(errno)};
        }
        const uint64_t size = LengthOf(fd.get());
        pieces.push_back({std::move(fd), start, size});
        start += size;
    }
    // A gap: the piece after the missing one is there.
    if (name) {
        if (const std::optional<std::string> after = NextPieceName(*name);
            after && Exists(*after)) {
            return {nullptr, {}, first + ": piece " + *name + " of the split image is missing"};
        }
    }
    const std::string container = "split raw, " + std::to_string(pieces.size()) + " pieces";
    return {std::make_unique<SplitSource>(std::move(pieces)), container, {}};
}

bool IsSplitFirstPiece(const std::string& path) {
    const std::optional<std::string> next = NextPieceName(path);
    return IsFirstPieceName(path) && next && Exists(*next);
}

constexpr ContainerKind kAllKinds[] = {ContainerKind::Ewf, ContainerKind::Vhd, ContainerKind::Vhdx,
                                       ContainerKind::Vmdk, ContainerKind::Qcow};

// The container formats this build reads (`supported`) or was built without.
std::string KindsWhere(bool supported) {
    std::string list;
    for (ContainerKind kind : kAllKinds) {
        if (ContainerSupported(kind) == supported) {
            list += (list.empty() ? "" : ", ") + std::string(ContainerName(kind));
        }
    }
    return list;
}

}  // namespace

bool PreadAll(int fd, uint64_t offset, std::span<uint8_t> out, std::size_t& bytesRead) {
    bytesRead = 0;
    while (bytesRead < out.size()) {
        const ssize_t n = ::pread(fd, out.data() + bytesRead, out.size() - bytesRead,
                                  static_cast<off_t>(offset + bytesRead));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            SetLastError(errno);
            return false;
        }
        if (n == 0) {
            break;  // shorter than it was
        }
        bytesRead += static_cast<std::size_t>(n);
    }
    return true;
}

void AdviseWillNeed(int fd, uint64_t offset, uint64_t length) {
    constexpr uint64_t kMaxOffset = static_cast<uint64_t>(INT64_MAX);
    if (offset >= kMaxOffset) {
        return;
    }
    const uint64_t end = offset + std::min(length, kMaxOffset - offset);
    for (uint64_t at = offset; at < end; at += std::min(kAdvicePieceBytes, end - at)) {
        ::posix_fadvise(fd, static_cast<off_t>(at),
                        static_cast<off_t>(std::min(kAdvicePieceBytes, end - at)),
                        POSIX_FADV_WILLNEED);
    }
}

namespace {
// Advice the thread has not come to yet past this many ranges is given by the caller: a scan
// that announces faster than the kernel takes it waits rather than queueing without end.
constexpr std::size_t kMaxPendingAdvice = 1024;
}  // namespace

AdviceThread::~AdviceThread() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void AdviceThread::WillNeed(int fd, uint64_t offset, uint64_t length) {
    {
        const std::lock_guard lock(mutex_);
        if (pending_.size() < kMaxPendingAdvice && Running()) {
            pending_.push_back({fd, offset, length});
            wake_.notify_one();
            return;
        }
    }
    AdviseWillNeed(fd, offset, length);
}

bool AdviceThread::Running() {
    if (!thread_.joinable() && !cannotStart_) {
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            cannotStart_ = true;  // no thread to spare: the caller advises, as before
        }
    }
    return thread_.joinable();
}

void AdviceThread::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
        if (stopping_) {
            return;
        }
        const Advice advice = pending_.front();
        pending_.pop_front();
        lock.unlock();
        AdviseWillNeed(advice.fd, advice.offset, advice.length);
        lock.lock();
    }
}

uint64_t LengthOf(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return 0;
    }
    uint64_t bytes = static_cast<uint64_t>(st.st_size);
    if (S_ISBLK(st.st_mode)) {
        ::ioctl(fd, BLKGETSIZE64, &bytes);
    }
    return bytes;
}

bool IsContainerOrSplit(const std::string& path) {
    return DetectContainer(path) != ContainerKind::None || IsSplitFirstPiece(path);
}

OpenedImage OpenImage(const std::string& path) {
    const ContainerKind kind = DetectContainer(path);
    if (kind != ContainerKind::None) {
        return OpenContainer(kind, path);
    }
    if (IsSplitFirstPiece(path)) {
        return OpenSplit(path);
    }
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        SetLastError(errno);
        return {nullptr, {}, path + ": " + std::strerror(errno)};
    }
    return {std::make_unique<RawSource>(std::move(fd)), {}, {}};
}

OpenedImage OpenRawDescriptor(int fd) {
    FileDescriptor copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (copy.get() < 0) {
        SetLastError(errno);
        return {nullptr, {}, std::strerror(errno)};
    }
    return {std::make_unique<RawSource>(std::move(copy)), {}, {}};
}

std::string DiskImageFormatsText() {
    std::string text = "disk images: raw, split raw";
    const std::string supported = KindsWhere(true);
    text += (supported.empty() ? "" : ", " + supported) + "\n";
    const std::string missing = KindsWhere(false);
    return missing.empty() ? text : text + "built without: " + missing + "\n";
}

}  // namespace relicta::platform
