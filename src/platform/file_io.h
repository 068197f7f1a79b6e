#pragma once
// An open file descriptor that closes itself, and a positioned read that reads on until the
// bytes asked for are in or the file ends: what every image source reads its files with.

#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <thread>
#include <utility>

namespace relicta::platform {

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0) {
                ::close(fd_);
            }
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }

  private:
    int fd_;
};

// Reads `out` from `offset`; `bytesRead` falls short only at the file's end. False, with the
// last error set, when the system fails the read.
bool PreadAll(int fd, uint64_t offset, std::span<uint8_t> out, std::size_t& bytesRead);

// Has the kernel fetch [offset, offset + length) of `fd` into the page cache in the
// background, in pieces it does not cut short.
void AdviseWillNeed(int fd, uint64_t offset, uint64_t length);

// Gives that advice from a thread of its own, started at the first: the kernel takes the pages
// and queues their reads in the adviser's time, which from a fast device costs a scan as much
// as evaluating what it reads. Destroy it before the descriptors it was given close.
class AdviceThread {
  public:
    AdviceThread() = default;
    AdviceThread(const AdviceThread&) = delete;
    AdviceThread& operator=(const AdviceThread&) = delete;
    ~AdviceThread();

    void WillNeed(int fd, uint64_t offset, uint64_t length);

  private:
    struct Advice {
        int fd;
        uint64_t offset;
        uint64_t length;
    };
    // Whether the thread runs, started here if it was not yet. Under mutex_.
    bool Running();
    void Run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Advice> pending_;
    bool stopping_ = false;
    bool cannotStart_ = false;
    std::thread thread_;
};

// The bytes a file or block device holds; 0 when they cannot be told.
uint64_t LengthOf(int fd);

}  // namespace relicta::platform
