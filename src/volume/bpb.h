#pragma once
// The unpacked BIOS parameter block.

#include <cstdint>

#include "bytes/le_bytes.h"

namespace relicta::volume {

using bytes::Bytes;

struct Bpb {
    uint16_t BytesPerSector = 0;
    uint8_t SectorsPerCluster = 0;
    uint16_t ReservedSectors = 0;
    uint8_t Fats = 0;
    uint16_t RootEntries = 0;
    uint16_t Sectors = 0;
    uint8_t Media = 0;
    uint16_t SectorsPerFat = 0;
    uint16_t SectorsPerTrack = 0;
    uint16_t Heads = 0;
    uint32_t HiddenSectors = 0;
    uint32_t LargeSectors = 0;
    uint32_t LargeSectorsPerFat = 0;
    uint16_t ExtendedFlags = 0;
    uint16_t FsVersion = 0;
    uint32_t RootDirFirstCluster = 0;
    uint16_t FsInfoSector = 0;
    uint16_t BackupBootSector = 0;

    bool IsFat32() const { return SectorsPerFat == 0; }
    uint32_t FatSize() const { return SectorsPerFat != 0 ? SectorsPerFat : LargeSectorsPerFat; }
    uint32_t TotalSectors() const { return Sectors != 0 ? Sectors : LargeSectors; }
};

void UnpackBpb(Bytes bootSector, Bpb& bpb);

}  // namespace relicta::volume
