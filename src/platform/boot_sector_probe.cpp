#include "platform/boot_sector_probe.h"

#include <array>
#include <cstring>

#include "bytes/le_bytes.h"

namespace relicta::platform {
namespace {

// Only what tells the file systems apart; the volume logic validates the rest when it opens.
constexpr std::size_t kSectorBytes = 512;
constexpr std::size_t kOemName = 0x03;
constexpr std::size_t kBytesPerSector = 0x0B;
constexpr std::size_t kSectorsPerCluster = 0x0D;
constexpr std::size_t kReservedSectors = 0x0E;
constexpr std::size_t kFats = 0x10;
constexpr std::size_t kSectorsPerFat16 = 0x16;
constexpr std::size_t kFat32TypeName = 0x52;
constexpr std::size_t kSignature = 0x1FE;
constexpr uint16_t kSignatureValue = 0xAA55;
constexpr uint64_t kFat32BackupSector = 6;
constexpr uint64_t kExFatBackupSector = 12;
constexpr std::array<uint64_t, 2> kSectorSizes = {512, 4096};

using Sector = std::array<uint8_t, kSectorBytes>;

bool Named(const Sector& s, std::size_t at, const char* name) {
    return std::memcmp(&s[at], name, std::strlen(name)) == 0;
}

bool IsPowerOfTwo(uint32_t v) {
    return v != 0 && (v & (v - 1)) == 0;
}

std::optional<std::string> Recognise(const Sector& s) {
    const bytes::Bytes b(s);
    if (bytes::U16(b, kSignature) != kSignatureValue) {
        return std::nullopt;
    }
    if (Named(s, kOemName, "NTFS    ")) {
        return "NTFS";
    }
    if (Named(s, kOemName, "EXFAT   ")) {
        return "exFAT";
    }
    const uint16_t bytesPerSector = bytes::U16(b, kBytesPerSector);
    const bool fatBpb =
        bytesPerSector >= 512 && bytesPerSector <= 4096 && IsPowerOfTwo(bytesPerSector) &&
        IsPowerOfTwo(bytes::U8(b, kSectorsPerCluster)) && bytes::U16(b, kReservedSectors) != 0 &&
        bytes::U8(b, kFats) != 0 && bytes::U8(b, kFats) <= 2;
    if (!fatBpb) {
        return std::nullopt;
    }
    if (bytes::U16(b, kSectorsPerFat16) == 0) {
        return Named(s, kFat32TypeName, "FAT32   ") ? std::optional<std::string>("FAT32")
                                                    : std::nullopt;
    }
    return "FAT";
}

}  // namespace

std::optional<std::string> FileSystemFromBootSectors(const VolumeReader& read, uint64_t length) {
    const auto at = [&](uint64_t offset) -> std::optional<std::string> {
        Sector s{};
        if (offset > length || length - offset < kSectorBytes || !read(offset, s)) {
            return std::nullopt;
        }
        return Recognise(s);
    };
    if (std::optional<std::string> name = at(0)) {
        return name;
    }
    for (const uint64_t sectorBytes : kSectorSizes) {
        if (std::optional<std::string> name = at(kFat32BackupSector * sectorBytes);
            name == "FAT32") {
            return name;
        }
        if (std::optional<std::string> name = at(kExFatBackupSector * sectorBytes);
            name == "exFAT") {
            return name;
        }
        if (length >= 2 * sectorBytes) {
            if (std::optional<std::string> name = at((length / sectorBytes - 1) * sectorBytes);
                name == "NTFS") {
                return name;
            }
        }
    }
    return std::nullopt;
}

}  // namespace relicta::platform
