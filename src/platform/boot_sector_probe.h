#pragma once
// Names a volume's file system from its boot sector or the backups FAT32, exFAT and NTFS keep,
// for when libblkid finds nothing or cannot read: a failing disk's sector 0 may be unreadable.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace relicta::platform {

// Reads `out.size()` bytes at a byte offset of the volume; false when they cannot be read.
using VolumeReader = std::function<bool(uint64_t offset, std::span<uint8_t> out)>;

// "NTFS", "FAT32", "FAT" or "exFAT" (the names GetFileSystemName gives) when sector 0 of a
// volume of `length` bytes, or else one of its backups, is such a boot sector; else nullopt.
std::optional<std::string> FileSystemFromBootSectors(const VolumeReader& read, uint64_t length);

}  // namespace relicta::platform
