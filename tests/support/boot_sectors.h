#pragma once
// Crafted boot sectors for the recogniser and volume-open tests.

#include <cstdint>
#include <vector>

namespace relicta::test {

struct FatLayout {
    uint16_t bytesPerSector = 512;
    uint8_t sectorsPerCluster = 4;
    uint16_t reservedSectors = 1;
    uint8_t fats = 2;
    uint16_t rootEntries = 512;
    uint32_t totalSectors = 65536;
    uint16_t sectorsPerFat = 64;  // 0 makes FAT32
    uint32_t largeSectorsPerFat = 0;
    uint8_t media = 0xF8;
    uint8_t jump = 0xEB;
    uint32_t rootDirFirstCluster = 2;
};

struct NtfsLayout {
    uint16_t bytesPerSector = 512;
    uint8_t sectorsPerCluster = 8;
    int64_t numberSectors = 65535;
    uint64_t mftStartLcn = 4;
    uint64_t mft2StartLcn = 4000;
    int8_t clustersPerFileRecord = -10;
    int8_t clustersPerIndexBuffer = 1;
    uint64_t serial = 0x1122334455667788ULL;
    uint8_t jump = 0xEB;
};

std::vector<uint8_t> FatBootSector(const FatLayout& layout);
std::vector<uint8_t> NtfsBootSector(const NtfsLayout& layout);

void PutLe(std::vector<uint8_t>& bytes, std::size_t offset, uint64_t value, int width);

}  // namespace relicta::test
