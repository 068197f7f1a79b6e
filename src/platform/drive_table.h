#pragma once
// The drive table: drive letters mapped to image files, partitions of images and block
// devices, standing in for the system's drive letters.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace relicta::platform {

class FileDescriptor;
class Platform;
class RescueMap;
struct Partition;

struct DriveSource {
    std::string path;
    uint64_t offset = 0;  // byte offset of the volume inside `path`
    uint64_t length = 0;  // bytes of the volume
    int partition = 0;    // partition number inside `path`, 0 for a whole file or device
    bool blockDevice = false;
    bool removable = false;
    bool cdrom = false;
    // The container the disk is read through ("E01, 3 segments", "split raw, 4 pieces");
    // empty for a raw file or device.
    std::string container;
    // GNU ddrescue's map of the image: what it did not rescue reads as unreadable.
    std::shared_ptr<const RescueMap> rescueMap;
    // A device this user may not open, opened read-only for us by a service that may (udisks2):
    // read through it, never again by its path.
    std::shared_ptr<const FileDescriptor> device;

    std::string Describe() const;
};

struct AttachResult {
    std::vector<char> letters;  // drives attached, in order
    std::string error;          // the reason nothing was attached, empty on success
    bool ok() const { return error.empty(); }
};

class DriveTable {
  public:
    static constexpr int kLetters = 26;

    // `spec` is "[L=]PATH". Without a letter the next free one from C is taken. A source
    // holding a partition table attaches each of its FAT/NTFS (or unrecognisable)
    // partitions to consecutive letters; one without (a bare volume, or a disk whose table is
    // gone) attaches whole, recognisable or not.
    // With `map`, the source is an image GNU ddrescue made, read as the map allows.
    AttachResult Attach(const std::string& spec, std::shared_ptr<const RescueMap> map = {});
    AttachResult Attach(const std::string& path, std::optional<char> letter,
                        std::shared_ptr<const RescueMap> map = {});

    // Attaches the block devices sysfs lists (disks and their partitions) from C on.
    void DiscoverBlockDevices(const std::string& sysfsRoot = "/sys/block",
                              const std::string& devRoot = "/dev");

    const DriveSource* Find(char letter) const;
    // Reads every drive on `path` through `device` from now on; false when none is on it.
    bool UseOpenedDevice(const std::string& path, std::shared_ptr<const FileDescriptor> device);
    std::vector<char> Letters() const;
    void Clear();

  private:
    std::optional<char> NextFreeLetter(char from) const;
    AttachResult AttachContainer(DriveSource whole, std::optional<char> letter);
    // The volumes of a disk readable through `fd`: one per candidate partition, or the whole.
    // `prepare` readies a partition for probing.
    AttachResult AttachVolumesOf(const DriveSource& whole, int fd,
                                 const std::function<void(const Partition&)>& prepare,
                                 std::optional<char> letter);
    AttachResult AttachSources(const std::vector<DriveSource>& sources, std::optional<char> letter);

    std::array<std::optional<DriveSource>, kLetters> drives_;
};

// The drive table the Linux platform serves.
DriveTable& Drives();

// Attaches every "[L=]PATH" of `specs`, each with the ddrescue map file of the same place in
// `mapfiles` unless that is "" or missing; without any, the block devices are discovered unless
// `explicitDrives`. The first failure's reason, or "" when all were attached.
std::string AttachVolumes(const std::vector<std::string>& specs, bool explicitDrives);
std::string AttachVolumes(const std::vector<std::string>& specs,
                          const std::vector<std::string>& mapfiles, bool explicitDrives);

// The drives one argument names: an attached drive's letter, or those of a path attached now.
// With a ddrescue map file, the argument is the path of the image it maps.
AttachResult ResolveDriveArgument(const std::string& argument, const std::string& mapfile = "");

// When this user may not read `path`: which source, and what reading it takes; else "".
std::string PermissionProblem(const std::string& path);

// What drive lists show for a drive where nothing recognisable was found (a disk whose
// partition table is gone, a volume whose boot sector is lost): only a deep scan reads it.
inline constexpr const char* kUnknownFileSystem = "unknown";

// The drive's file system as drive lists show it: the platform's name, kUnknownFileSystem
// when nothing recognisable is there, nullopt (the last error set) when it could not be asked.
std::optional<std::string> ListedFileSystemName(Platform& os, char letter);

// "C", "c", "C:" and "C:\" name drive C; anything else is not a drive.
std::optional<char> ParseDriveLetter(const std::string& text);

}  // namespace relicta::platform
