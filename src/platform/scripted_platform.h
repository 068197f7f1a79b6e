#pragma once
// A platform for tests: in-memory volumes, and any call made to fail on demand.

#include <array>
#include <map>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "platform/unreadable.h"

namespace relicta::platform {

struct ScriptedDrive {
    std::vector<uint8_t> bytes;
    DriveType type = DriveType::Fixed;
    bool blockDevice = false;

    // The file-system query: a name, or the error it fails with.
    std::string fileSystemName = "RAW";
    int fileSystemError = 0;
    int notReadyTimes = 0;  // fail with "not ready" this many times first

    std::optional<DiskFreeSpace> freeSpace;  // nullopt: the query fails
    int freeSpaceError = 0;

    int openError = 0;                    // the open fails with this error
    int readError = 0;                    // reads fail with this error
    int64_t readErrorFrom = 0;            // ... at byte offsets from this one on
    std::optional<uint64_t> shortReadAt;  // reads stop short at this byte offset
    // Reads that touch any of these fail with EIO, as a failing disk's bad sectors do.
    std::vector<ByteRun> badRuns;
    int failedReads = 0;            // reads that failed on them
    bool readsWholeChunks = false;  // as a container that expands chunks
};

class ScriptedPlatform : public Platform {
  public:
    ScriptedDrive& Drive(char letter);

    DriveType GetDriveType(char letter) override;
    std::optional<std::string> GetFileSystemName(char letter) override;
    std::optional<DiskFreeSpace> GetDiskFreeSpace(char letter) override;
    Handle OpenVolume(char letter) override;
    bool ReadAt(Handle handle, int64_t offset, std::span<uint8_t> out,
                std::size_t& bytesRead) override;
    bool CloseHandle(Handle handle) override;
    uint64_t VolumeLength(Handle handle) override;
    bool ReadsWholeChunks(Handle handle) override;
    void WillRead(Handle, int64_t offset, uint64_t length) override {
        announced.push_back({offset, length, readLog.size()});
    }
    bool IsBlockDevice(char letter) override;
    bool IsOnDriveDevice(char letter, const std::string&) override {
        return letter == driveUnderDestination;
    }
    bool IsAdministrator() override { return administrator; }
    void Sleep(unsigned milliseconds) override { sleptMilliseconds += milliseconds; }

    bool administrator = true;
    char driveUnderDestination = 0;  // the drive whose device recovered files land on
    unsigned sleptMilliseconds = 0;
    int fileSystemQueries = 0;
    int reads = 0;
    std::vector<std::pair<int64_t, std::size_t>> readLog;  // offset, length of each read
    struct Announcement {
        int64_t offset = 0;
        uint64_t length = 0;
        std::size_t readsBefore = 0;  // how many reads came before it
    };
    std::vector<Announcement> announced;  // what WillRead was told
    // Whether read `index` of readLog begins inside a range announced before it.
    bool AnnouncedBefore(std::size_t index) const;
    int openHandles() const { return static_cast<int>(open_.size()); }

  private:
    ScriptedDrive* Find(char letter);

    std::map<char, std::unique_ptr<ScriptedDrive>> drives_;
    std::map<Handle, char> open_;
    Handle nextHandle_ = 100;
};

}  // namespace relicta::platform
