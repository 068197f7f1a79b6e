#pragma once
// libblkid probes: the file system of a source and the partitions of a disk or disk image.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace relicta::platform {

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

}  // namespace relicta::platform
