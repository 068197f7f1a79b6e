#pragma once
// Files written with recovered data: created new (an existing file is never touched),
// written whole, stamped with the old modification time, and closed.

#include <fcntl.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace relicta::platform {

// Creates one directory; false with the last error set (EEXIST included).
bool CreateDirectory(const std::string& path);

// Why recovered files cannot go under `dir`: it, or the nearest part of it that exists, is
// not a directory or cannot be written. "" when they can.
std::string DestinationProblem(const std::string& dir);

// A directory recovered files are created in, held open: each file's name is then looked up
// in it alone, not along the whole path once more for every step.
class OutputFolder {
  public:
    // Nothing, with the last error set, when `path` cannot be opened as a directory.
    static std::shared_ptr<const OutputFolder> Open(const std::string& path);
    // How many a recovery may hold open: a share of the descriptors the process may have.
    static std::size_t MaxOpen();
    explicit OutputFolder(int fd) : fd_(fd) {}
    ~OutputFolder();
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;
    int Fd() const { return fd_; }

  private:
    int fd_;
};

class RecoveredFile {
  public:
    RecoveredFile() = default;
    ~RecoveredFile();
    RecoveredFile(RecoveredFile&& other) noexcept;
    RecoveredFile& operator=(RecoveredFile&& other) noexcept;
    RecoveredFile(const RecoveredFile&) = delete;
    RecoveredFile& operator=(const RecoveredFile&) = delete;

    // Creates `path` exclusively; a read-only file gets no write bits. False with the last
    // error set (EEXIST when the name is taken). Where the file system allows, the file has
    // no name until Close, so that nothing partial is ever seen under it.
    bool Create(const std::string& path, bool readOnly);
    // Create's two steps: whether the name is free now (false with the last error set), and
    // the file opened without that check.
    static bool NameIsFree(const std::string& path);
    bool Open(const std::string& path, bool readOnly);
    // The same for `name` in `folder`.
    static bool NameIsFree(const OutputFolder& folder, const std::string& name);
    bool Open(std::shared_ptr<const OutputFolder> folder, const std::string& name, bool readOnly);
    bool IsOpen() const { return fd_ >= 0; }

    // Writes every byte, however many calls that takes; false with the last error set.
    bool Write(std::span<const uint8_t> bytes);
    // The last-write time, in 100 ns ticks since 1601 (UTC); the last-access time is left
    // as the creation made it.
    bool SetLastWriteTime(uint64_t utcFileTime);
    bool Close();
    // Closes and removes the file (or drops the unnamed one), so that nothing partial looks
    // recovered.
    void Discard();

  private:
    bool LinkIn();
    int FolderFd() const { return folder_ ? folder_->Fd() : AT_FDCWD; }

    int fd_ = -1;
    std::shared_ptr<const OutputFolder> folder_;  // where path_ is looked up; else from here
    std::string path_;
    bool unnamed_ = false;  // written without a name until Close links it in
};

}  // namespace relicta::platform
