#include "platform/linux_platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/block_probe.h"
#include "platform/boot_sector_probe.h"
#include "platform/file_io.h"
#include "platform/last_error.h"
#include "platform/rescued_source.h"

namespace relicta::platform {
namespace {

// The mount point of a block device, empty when it is not mounted.
std::string MountPointOf(const std::string& device) {
    struct stat devStat {};
    if (::stat(device.c_str(), &devStat) != 0) {
        return {};
    }
    std::ifstream mounts("/proc/self/mounts");
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string source, target;
        fields >> source >> target;
        struct stat st {};
        if (::stat(source.c_str(), &st) == 0 && S_ISBLK(st.st_mode) &&
            st.st_rdev == devStat.st_rdev) {
            return target;
        }
    }
    return {};
}

// The device's node in sysfs ("/sys/devices/.../sda/sda1"), empty when it has none.
std::string SysfsNodeOf(dev_t device) {
    const std::string link =
        "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    char resolved[PATH_MAX];
    return ::realpath(link.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

// The device holding `path` or, while it does not exist yet, its nearest existing ancestor.
std::optional<dev_t> DeviceHolding(const std::string& path) {
    std::error_code error;
    std::filesystem::path at = std::filesystem::absolute(path.empty() ? "." : path, error);
    if (error) {
        return std::nullopt;
    }
    for (;;) {
        struct stat st {};
        if (::stat(at.c_str(), &st) == 0) {
            return st.st_dev;
        }
        const std::filesystem::path parent = at.parent_path();
        if (parent == at) {
            return std::nullopt;
        }
        at = parent;
    }
}

bool IsSameOrNested(const std::string& a, const std::string& b) {
    return a == b || a.starts_with(b + "/") || b.starts_with(a + "/");
}

// The drive's bytes as they lie: through the device opened for us, else by its path.
OpenedImage OpenDriveBytes(const DriveSource& source) {
    return source.device ? OpenRawDescriptor(source.device->get()) : OpenImage(source.path);
}

// The drive's source as the volume logic reads it: through its container and its map.
std::unique_ptr<ImageSource> OpenDriveImage(const DriveSource& source, NotRescuedReads reads) {
    OpenedImage opened = OpenDriveBytes(source);
    return WithRescueMap(std::move(opened.source), source.rescueMap, reads);
}

// libblkid's view of the volume: nullopt, errno set, when the probe could not run.
std::optional<ProbeResult> ProbeVolume(const DriveSource& source) {
    if (source.container.empty() && !source.rescueMap) {
        const int fd = source.device ? ::fcntl(source.device->get(), F_DUPFD_CLOEXEC, 0)
                                     : ::open(source.path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return std::nullopt;
        }
        std::optional<ProbeResult> probe = ProbeFileSystem(fd, source.offset, source.length);
        const int probeErrno = errno;
        ::close(fd);
        errno = probeErrno;
        return probe;
    }
    const std::unique_ptr<ImageSource> image = OpenDriveImage(source, NotRescuedReads::AsZeros);
    if (!image) {
        errno = EIO;
        return std::nullopt;
    }
    ProbeCopy copy(*image);
    copy.Copy(source.offset, ProbeCopy::kVolumeStartBytes);
    return ProbeFileSystem(copy.fd(), source.offset, source.length);
}

// The file system the volume's boot sector or one of its backups names, read so that a sector
// that cannot be read (or was not rescued) is never taken for one.
std::optional<std::string> NameFromBootSectors(const DriveSource& source) {
    const std::unique_ptr<ImageSource> image = OpenDriveImage(source, NotRescuedReads::Fail);
    if (!image) {
        return std::nullopt;
    }
    const VolumeReader read = [&](uint64_t offset, std::span<uint8_t> out) {
        if (offset > source.length || out.size() > source.length - offset) {
            return false;
        }
        std::size_t got = 0;
        return image->ReadAt(source.offset + offset, out, got) && got == out.size();
    };
    return FileSystemFromBootSectors(read, source.length);
}

}  // namespace

LinuxPlatform::~LinuxPlatform() = default;

DriveType LinuxPlatform::GetDriveType(char letter) {
    const DriveSource* source = drives_.Find(letter);
    if (source == nullptr) {
        return DriveType::NoRootDir;
    }
    if (source->cdrom) {
        return DriveType::CdRom;
    }
    return source->removable ? DriveType::Removable : DriveType::Fixed;
}

std::optional<std::string> LinuxPlatform::GetFileSystemName(char letter) {
    const DriveSource* source = drives_.Find(letter);
    if (source == nullptr) {
        SetLastError(ENOENT);
        return std::nullopt;
    }
    const std::optional<ProbeResult> probe = ProbeVolume(*source);
    const int probeErrno = errno;
    if (probe && probe->found) {
        return FileSystemNameOf(*probe);
    }
    // A source that cannot be opened at all is reported as it is; one libblkid could not read
    // or found nothing on may still hold a boot sector, or a backup of one, that reads.
    if (!probe && probeErrno != 0 && probeErrno != EIO) {
        SetLastError(probeErrno);
        return std::nullopt;
    }
    if (std::optional<std::string> name = NameFromBootSectors(*source)) {
        return name;
    }
    SetLastError(probe ? kErrorWrongDisk : EIO);
    return std::nullopt;
}

std::optional<DiskFreeSpace> LinuxPlatform::GetDiskFreeSpace(char letter) {
    const DriveSource* source = drives_.Find(letter);
    SetLastError(0);
    if (source == nullptr || !source->blockDevice || source->partition != 0) {
        return std::nullopt;
    }
    const std::string mountPoint = MountPointOf(source->path);
    struct statvfs vfs {};
    if (mountPoint.empty() || ::statvfs(mountPoint.c_str(), &vfs) != 0) {
        SetLastError(0);
        return std::nullopt;
    }
    DiskFreeSpace space;
    space.bytesPerSector = 512;
    space.sectorsPerCluster = static_cast<uint32_t>(vfs.f_frsize / space.bytesPerSector);
    space.freeClusters = static_cast<uint32_t>(std::min<uint64_t>(vfs.f_bavail, UINT32_MAX));
    space.totalClusters = static_cast<uint32_t>(std::min<uint64_t>(vfs.f_blocks, UINT32_MAX));
    return space;
}

Handle LinuxPlatform::OpenVolume(char letter) {
    const DriveSource* source = drives_.Find(letter);
    if (source == nullptr) {
        SetLastError(ENOENT);
        return kInvalidHandle;
    }
    OpenedImage opened = OpenDriveBytes(*source);
    if (!opened.source) {
        if (!source->container.empty() || GetLastError() == 0) {
            SetLastError(EIO);  // the container was readable when it was attached
        }
        return kInvalidHandle;
    }
    const Handle handle = nextHandle_++;
    open_[handle] = OpenSource{
        WithRescueMap(std::move(opened.source), source->rescueMap, NotRescuedReads::Fail),
        source->offset, source->length};
    return handle;
}

bool LinuxPlatform::ReadAt(Handle handle, int64_t offset, std::span<uint8_t> out,
                           std::size_t& bytesRead) {
    bytesRead = 0;
    auto it = open_.find(handle);
    if (it == open_.end()) {
        SetLastError(EBADF);
        return false;
    }
    if (offset < 0) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    const OpenSource& source = it->second;
    const uint64_t start = static_cast<uint64_t>(offset);
    if (start >= source.length) {
        return true;  // at or past the end: nothing to read
    }
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<uint64_t>(out.size(), source.length - start));
    // A source shorter than the volume claims gives fewer bytes.
    return source.image->ReadAt(source.offset + start, out.first(wanted), bytesRead);
}

bool LinuxPlatform::CloseHandle(Handle handle) {
    auto it = open_.find(handle);
    if (it == open_.end()) {
        SetLastError(EBADF);
        return false;
    }
    open_.erase(it);
    return true;
}

uint64_t LinuxPlatform::VolumeLength(Handle handle) {
    auto it = open_.find(handle);
    return it == open_.end() ? 0 : it->second.length;
}

bool LinuxPlatform::ReadsWholeChunks(Handle handle) {
    auto it = open_.find(handle);
    return it != open_.end() && it->second.image->ReadsWholeChunks();
}

bool LinuxPlatform::ReadsFromAnyThread(Handle handle) {
    auto it = open_.find(handle);
    return it != open_.end() && it->second.image->ReadsFromAnyThread();
}

void LinuxPlatform::WillRead(Handle handle, int64_t offset, uint64_t length) {
    auto it = open_.find(handle);
    if (it == open_.end() || offset < 0 || static_cast<uint64_t>(offset) >= it->second.length) {
        return;
    }
    const OpenSource& source = it->second;
    const uint64_t start = static_cast<uint64_t>(offset);
    source.image->WillRead(source.offset + start, std::min(length, source.length - start));
}

bool LinuxPlatform::IsBlockDevice(char letter) {
    const DriveSource* source = drives_.Find(letter);
    return source != nullptr && source->blockDevice;
}

bool LinuxPlatform::NeedsAdministrator(char letter) {
    const DriveSource* source = drives_.Find(letter);
    return source != nullptr && source->blockDevice && !source->device && !IsAdministrator();
}

bool LinuxPlatform::IsOnDriveDevice(char letter, const std::string& path) {
    const DriveSource* source = drives_.Find(letter);
    struct stat sourceStat {};
    if (source == nullptr || !source->blockDevice ||
        ::stat(source->path.c_str(), &sourceStat) != 0 || !S_ISBLK(sourceStat.st_mode)) {
        return false;
    }
    const std::optional<dev_t> destination = DeviceHolding(path);
    if (!destination) {
        return false;
    }
    if (*destination == sourceStat.st_rdev) {
        return true;
    }
    const std::string destinationNode = SysfsNodeOf(*destination);
    const std::string sourceNode = SysfsNodeOf(sourceStat.st_rdev);
    return !destinationNode.empty() && !sourceNode.empty() &&
           IsSameOrNested(destinationNode, sourceNode);
}

bool LinuxPlatform::IsAdministrator() {
    return ::geteuid() == 0;
}

void LinuxPlatform::Sleep(unsigned milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

namespace {
Platform* current = nullptr;
}

Platform& CurrentPlatform() {
    if (current == nullptr) {
        static LinuxPlatform linuxPlatform(Drives());
        return linuxPlatform;
    }
    return *current;
}

void SetCurrentPlatform(Platform* platform) {
    current = platform;
}

const char* DriveTypeName(DriveType type) {
    switch (type) {
        case DriveType::NoRootDir:
            return "no root";
        case DriveType::Removable:
            return "removable";
        case DriveType::Fixed:
            return "fixed";
        case DriveType::Remote:
            return "remote";
        case DriveType::CdRom:
            return "cd-rom";
        case DriveType::RamDisk:
            return "ram disk";
        case DriveType::Unknown:
            break;
    }
    return "unknown";
}

}  // namespace relicta::platform
