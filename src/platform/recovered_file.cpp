#include "platform/recovered_file.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/last_error.h"

namespace relicta::platform {
namespace {

constexpr mode_t kWritableMode = 0666;  // narrowed by the umask, as any new file
constexpr mode_t kReadOnlyMode = 0444;
constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kNanosecondsPerTick = 100;
constexpr int64_t kUnixEpochSeconds = 11644473600;  // 1601-01-01 to 1970-01-01

}  // namespace

std::string DestinationProblem(const std::string& dir) {
    std::string path = dir.empty() ? "." : dir;
    // The nearest part of the path that exists decides: missing levels are created later.
    for (;;) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                return path + " is not a directory";
            }
            if (::access(path.c_str(), W_OK | X_OK) != 0) {
                return path + " cannot be written: " + std::strerror(errno);
            }
            return "";
        }
        if (errno != ENOENT && errno != ENOTDIR) {
            return path + ": " + std::strerror(errno);
        }
        while (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        }
        const std::size_t slash = path.find_last_of('/');
        if (slash == std::string::npos) {
            path = ".";
        } else {
            path.resize(slash == 0 ? 1 : slash);
        }
    }
}

bool CreateDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) != 0) {
        SetLastError(errno);
        return false;
    }
    return true;
}

std::shared_ptr<const OutputFolder> OutputFolder::Open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(errno);
        return nullptr;
    }
    return std::make_shared<const OutputFolder>(fd);
}

std::size_t OutputFolder::MaxOpen() {
    // The rest stays for the source, the files being written and whatever else is open.
    constexpr rlim_t kShare = 2;
    constexpr rlim_t kCeiling = 8192;
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return kCeiling;
    }
    return static_cast<std::size_t>(std::min(limit.rlim_cur / kShare, kCeiling));
}

OutputFolder::~OutputFolder() {
    ::close(fd_);
}

RecoveredFile::~RecoveredFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

RecoveredFile::RecoveredFile(RecoveredFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      folder_(std::move(other.folder_)),
      path_(std::move(other.path_)),
      unnamed_(std::exchange(other.unnamed_, false)) {}

RecoveredFile& RecoveredFile::operator=(RecoveredFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
        folder_ = std::move(other.folder_);
        path_ = std::move(other.path_);
        unnamed_ = std::exchange(other.unnamed_, false);
    }
    return *this;
}

namespace {

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool RecoveredFile::Create(const std::string& path, bool readOnly) {
    // The name must be free now, and is checked again when the whole file is linked in.
    return NameIsFree(path) && Open(path, readOnly);
}

namespace {

bool NameIsFreeIn(int folderFd, const std::string& name) {
    struct stat st {};
    if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        SetLastError(EEXIST);
        return false;
    }
    if (errno != ENOENT && errno != ENOTDIR) {
        SetLastError(errno);
        return false;
    }
    return true;
}

}  // namespace

bool RecoveredFile::NameIsFree(const std::string& path) {
    return NameIsFreeIn(AT_FDCWD, path);
}

bool RecoveredFile::NameIsFree(const OutputFolder& folder, const std::string& name) {
    return NameIsFreeIn(folder.Fd(), name);
}

bool RecoveredFile::Open(const std::string& path, bool readOnly) {
    return Open(nullptr, path, readOnly);
}

bool RecoveredFile::Open(std::shared_ptr<const OutputFolder> folder, const std::string& name,
                         bool readOnly) {
    // Written without a name and linked in once whole: an interrupted recovery, however it
    // ends, leaves no partial file behind. Write access comes from the open itself, so a
    // read-only file can still be filled.
    const mode_t mode = readOnly ? kReadOnlyMode : kWritableMode;
    const int folderFd = folder ? folder->Fd() : AT_FDCWD;
    const std::string unnamedIn = folder ? "." : FolderOf(name);
    int fd = ::openat(folderFd, unnamedIn.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    unnamed_ = fd >= 0;
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // A file system without unnamed files: created under its name at once.
        fd = ::openat(folderFd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                      mode);
    }
    if (fd < 0) {
        SetLastError(errno);
        return false;
    }
    fd_ = fd;
    folder_ = std::move(folder);
    path_ = name;
    return true;
}

bool RecoveredFile::Write(std::span<const uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            SetLastError(errno);
            return false;
        }
        if (n == 0) {
            SetLastError(ENOSPC);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool RecoveredFile::SetLastWriteTime(uint64_t utcFileTime) {
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(static_cast<int64_t>(utcFileTime / kTicksPerSecond) -
                                          kUnixEpochSeconds);
    times[1].tv_nsec = static_cast<long>(utcFileTime % kTicksPerSecond * kNanosecondsPerTick);
    if (::futimens(fd_, times) != 0) {
        SetLastError(errno);
        return false;
    }
    return true;
}

bool RecoveredFile::Close() {
    if (unnamed_ && !LinkIn()) {
        const int saved = errno;
        ::close(std::exchange(fd_, -1));
        SetLastError(saved);
        return false;
    }
    const int rc = ::close(std::exchange(fd_, -1));
    if (rc != 0) {
        SetLastError(errno);
        if (!unnamed_) {
            return false;
        }
        ::unlinkat(FolderFd(), path_.c_str(), 0);
        return false;
    }
    unnamed_ = false;
    path_.clear();  // whole and named: nothing to discard any more
    folder_.reset();
    return true;
}

bool RecoveredFile::LinkIn() {
    // linkat never replaces a name that exists, so the check of Create holds to the end.
    if (::linkat(fd_, "", FolderFd(), path_.c_str(), AT_EMPTY_PATH) == 0) {
        return true;
    }
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    return ::linkat(AT_FDCWD, self.c_str(), FolderFd(), path_.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

void RecoveredFile::Discard() {
    const int saved = GetLastError();  // the reason the file is discarded stays reported
    if (fd_ >= 0) {
        ::close(std::exchange(fd_, -1));
    }
    if (!path_.empty() && !unnamed_) {
        ::unlinkat(FolderFd(), path_.c_str(), 0);
    }
    path_.clear();
    folder_.reset();
    unnamed_ = false;
    SetLastError(saved);
}

}  // namespace relicta::platform
