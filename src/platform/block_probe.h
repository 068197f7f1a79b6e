#pragma once
// libblkid probes: the file system of a source and the partitions of a disk or disk image.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace relicta::platform {

class ImageSource;

struct ProbeResult {
    bool found = false;   // a file system was recognised
    std::string type;     // libblkid's TYPE, e.g. "vfat", "ntfs", "ext4"
    std::string version;  // libblkid's VERSION, e.g. "FAT32"
};

// Probes the byte range [offset, offset + length) of an open descriptor.
// nullopt with errno set when the probe itself could not run.
std::optional<ProbeResult> ProbeFileSystem(int fd, uint64_t offset, uint64_t length);

struct Partition {
    int number = 0;
    uint64_t offset = 0;     // bytes
    uint64_t length = 0;     // bytes
    bool container = false;  // an extended partition that only holds others
};

// The partitions of the partition table at the start of `fd` (MBR with extended
// partitions, or GPT); empty when there is none, e.g. when the source is a bare volume.
std::vector<Partition> ListPartitions(int fd, uint64_t length);

// The name the file-system query reports for a probe: "NTFS", "FAT32", "FAT" or the
// type in capitals.
std::string FileSystemNameOf(const ProbeResult& probe);

// libblkid reads through a descriptor: a container's disk is given to it as a sparse copy in
// memory of the parts it looks at (the partition tables at both ends, each volume's start).
class ProbeCopy {
  public:
    static constexpr uint64_t kTableBytes = uint64_t{1} << 20;
    static constexpr uint64_t kVolumeStartBytes = uint64_t{256} << 10;

    explicit ProbeCopy(ImageSource& source);
    ~ProbeCopy();
    ProbeCopy(const ProbeCopy&) = delete;
    ProbeCopy& operator=(const ProbeCopy&) = delete;

    // The copy's descriptor; -1 when memory for it could not be had.
    int fd() const { return fd_; }
    // Copies `bytes` from `offset` of the source (a volume's start before it is probed).
    void Copy(uint64_t offset, uint64_t bytes);

  private:
    ImageSource& source_;
    int fd_;
};

}  // namespace relicta::platform
