#include "support/boot_sectors.h"

#include <cstring>

namespace relicta::test {

void PutLe(std::vector<uint8_t>& bytes, std::size_t offset, uint64_t value, int width) {
    if (bytes.size() < offset + width) {
        bytes.resize(offset + width);
    }
    for (int i = 0; i < width; ++i) {
        bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

std::vector<uint8_t> FatBootSector(const FatLayout& l) {
    std::vector<uint8_t> s(512, 0);
    s[0] = l.jump;
    s[1] = 0x3C;
    s[2] = 0x90;
    std::memcpy(&s[3], "MSWIN4.1", 8);
    PutLe(s, 0x0B, l.bytesPerSector, 2);
    s[0x0D] = l.sectorsPerCluster;
    PutLe(s, 0x0E, l.reservedSectors, 2);
    s[0x10] = l.fats;
    PutLe(s, 0x11, l.rootEntries, 2);
    if (l.totalSectors < 0x10000) {
        PutLe(s, 0x13, l.totalSectors, 2);
    } else {
        PutLe(s, 0x20, l.totalSectors, 4);
    }
    s[0x15] = l.media;
    PutLe(s, 0x16, l.sectorsPerFat, 2);
    PutLe(s, 0x24, l.largeSectorsPerFat, 4);
    PutLe(s, 0x2C, l.rootDirFirstCluster, 4);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

std::vector<uint8_t> NtfsBootSector(const NtfsLayout& l) {
    std::vector<uint8_t> s(512, 0);
    s[0] = l.jump;
    s[1] = 0x52;
    s[2] = 0x90;
    std::memcpy(&s[3], "NTFS    ", 8);
    PutLe(s, 0x0B, l.bytesPerSector, 2);
    s[0x0D] = l.sectorsPerCluster;
    s[0x15] = 0xF8;
    PutLe(s, 0x28, static_cast<uint64_t>(l.numberSectors), 8);
    PutLe(s, 0x30, l.mftStartLcn, 8);
    PutLe(s, 0x38, l.mft2StartLcn, 8);
    s[0x40] = static_cast<uint8_t>(l.clustersPerFileRecord);
    s[0x44] = static_cast<uint8_t>(l.clustersPerIndexBuffer);
    PutLe(s, 0x48, l.serial, 8);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

}  // namespace relicta::test
