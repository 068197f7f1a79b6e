#pragma once
// The platform over the drive table: image files, their partitions and block devices.

#include <map>
#include <memory>

#include "platform/drive_table.h"
#include "platform/image_source.h"
#include "platform/platform.h"

namespace relicta::platform {

class LinuxPlatform : public Platform {
  public:
    explicit LinuxPlatform(DriveTable& drives) : drives_(drives) {}
    ~LinuxPlatform() override;

    DriveType GetDriveType(char letter) override;
    std::optional<std::string> GetFileSystemName(char letter) override;
    std::optional<DiskFreeSpace> GetDiskFreeSpace(char letter) override;
    Handle OpenVolume(char letter) override;
    bool ReadAt(Handle handle, int64_t offset, std::span<uint8_t> out,
                std::size_t& bytesRead) override;
    bool CloseHandle(Handle handle) override;
    uint64_t VolumeLength(Handle handle) override;
    bool ReadsWholeChunks(Handle handle) override;
    bool ReadsFromAnyThread(Handle handle) override;
    void WillRead(Handle handle, int64_t offset, uint64_t length) override;
    bool IsBlockDevice(char letter) override;
    bool IsOnDriveDevice(char letter, const std::string& path) override;
    bool IsAdministrator() override;
    bool NeedsAdministrator(char letter) override;
    void Sleep(unsigned milliseconds) override;

  private:
    struct OpenSource {
        std::unique_ptr<ImageSource> image;
        uint64_t offset = 0;
        uint64_t length = 0;
    };

    DriveTable& drives_;
    std::map<Handle, OpenSource> open_;
    Handle nextHandle_ = 1;
};

}  // namespace relicta::platform
