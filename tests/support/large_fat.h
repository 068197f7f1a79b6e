#pragma once
// A large FAT32 volume for tests of long scans: made by mkfs.fat, then given directories
// full of deleted entries (a long scan without writing gigabytes).

#include <cstddef>
#include <string>

namespace relicta::test {

inline constexpr std::size_t kLargeFat32Directories = 32;
inline constexpr std::size_t kLargeFat32DeletedFiles = kLargeFat32Directories * (65536 - 2);

// False when mkfs.fat is missing or the image cannot be written.
bool MakeLargeFat32(const std::string& path);

}  // namespace relicta::test
