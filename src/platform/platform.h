#pragma once
// The platform services the volume logic calls, behind one interface so that the logic
// runs over images, block devices and the scripted test double alike.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace relicta::platform {

enum class DriveType {
    Unknown = 0,
    NoRootDir = 1,
    Removable = 2,
    Fixed = 3,
    Remote = 4,
    CdRom = 5,
    RamDisk = 6
};

const char* DriveTypeName(DriveType type);

struct DiskFreeSpace {
    uint32_t sectorsPerCluster = 0;
    uint32_t bytesPerSector = 0;
    uint32_t freeClusters = 0;
    uint32_t totalClusters = 0;
};

// An open volume. 0 means none; -1 is the invalid handle of a failed open.
using Handle = std::intptr_t;
inline constexpr Handle kNoHandle = 0;
inline constexpr Handle kInvalidHandle = -1;

inline bool IsOpenHandle(Handle h) {
    return h != kNoHandle && h != kInvalidHandle;
}

class Platform {
  public:
    virtual ~Platform() = default;

    virtual DriveType GetDriveType(char letter) = 0;
    // The file-system name ("NTFS", "FAT32", "FAT", ...); nullopt with the last error set.
    virtual std::optional<std::string> GetFileSystemName(char letter) = 0;
    // nullopt when the volume is not mounted (the last error is then 0: nothing to report).
    virtual std::optional<DiskFreeSpace> GetDiskFreeSpace(char letter) = 0;
    // Opens the volume read-only; kInvalidHandle with the last error set on failure.
    virtual Handle OpenVolume(char letter) = 0;
    // Reads at a byte offset from the start of the volume. Returns false with the last error
    // set on a read error; a short count means the end of the volume.
    virtual bool ReadAt(Handle handle, int64_t offset, std::span<uint8_t> out,
                        std::size_t& bytesRead) = 0;
    virtual bool CloseHandle(Handle handle) = 0;
    // Bytes the open volume spans on its source (what can be read at all).
    virtual uint64_t VolumeLength(Handle handle) = 0;
    // Tells the source that [offset, offset + length) of the open volume is read soon, in
    // order, so that it may start fetching it meanwhile. Only a hint: reads return the same.
    virtual void WillRead(Handle /*handle*/, int64_t /*offset*/, uint64_t /*length*/) {}
    // Whether the open volume's source expands a whole chunk for a read of a few bytes.
    virtual bool ReadsWholeChunks(Handle /*handle*/) { return false; }
    // Whether ReadAt may be called for the open volume from another thread while this one
    // reads it too (it opens and closes nothing meanwhile).
    virtual bool ReadsFromAnyThread(Handle /*handle*/) { return false; }
    virtual bool IsBlockDevice(char letter) = 0;
    // Whether writing under `path` (a directory, which need not exist yet) writes to the
    // device drive `letter` is read from: its file system lies on that device, on one of
    // its partitions, or on the disk that holds it. Never for an image file.
    virtual bool IsOnDriveDevice(char letter, const std::string& path) = 0;
    virtual bool IsAdministrator() = 0;
    // Whether reading drive `letter` takes rights this process lacks: a device, unless a
    // service that may read it has opened it for us.
    virtual bool NeedsAdministrator(char letter) {
        return IsBlockDevice(letter) && !IsAdministrator();
    }
    virtual void Sleep(unsigned milliseconds) = 0;
};

// The platform the core uses; the Linux one unless a test installs another.
Platform& CurrentPlatform();
void SetCurrentPlatform(Platform* platform);  // nullptr restores the Linux platform

// Installs a platform for the life of a scope.
class ScopedPlatform {
  public:
    explicit ScopedPlatform(Platform& platform) { SetCurrentPlatform(&platform); }
    ~ScopedPlatform() { SetCurrentPlatform(nullptr); }
    ScopedPlatform(const ScopedPlatform&) = delete;
    ScopedPlatform& operator=(const ScopedPlatform&) = delete;
};

}  // namespace relicta::platform
