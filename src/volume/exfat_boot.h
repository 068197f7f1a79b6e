#pragma once
// The exFAT boot region: recognising it, its checksum, and the geometry it gives.

#include <cstdint>
#include <optional>

#include "bytes/le_bytes.h"

namespace relicta::volume {

using bytes::Bytes;

struct ExFatGeometry {
    uint64_t VolumeLength = 0;       // sectors
    uint32_t FatOffset = 0;          // sectors, of the first FAT
    uint32_t FatLength = 0;          // sectors, of each FAT
    uint32_t ClusterHeapOffset = 0;  // sectors, of cluster 2
    uint32_t ClusterCount = 0;
    uint32_t RootCluster = 0;
    uint32_t SerialNumber = 0;
    uint16_t VolumeFlags = 0;
    uint8_t BytesPerSectorShift = 0;
    uint8_t SectorsPerClusterShift = 0;
    uint8_t NumberOfFats = 0;

    uint32_t BytesPerSector() const { return uint32_t{1} << BytesPerSectorShift; }
    uint32_t BytesPerCluster() const {
        return uint32_t{1} << (BytesPerSectorShift + SectorsPerClusterShift);
    }
    // TexFAT keeps two FATs and two bitmaps; the volume flags say which one is current.
    bool SecondFatActive() const;
    uint64_t ActiveFatOffset() const;  // sectors
};

// The boot sector names the file system "EXFAT   " and keeps FAT's BPB area zero.
bool IsExFatBootSector(Bytes bootSector);

// The geometry of an exFAT boot sector; nullopt when its fields cannot describe a volume
// (sector or cluster size out of range, no clusters, the root outside them).
std::optional<ExFatGeometry> ReadExFatGeometry(Bytes bootSector);

// The checksum over the first 11 sectors of a boot region (the volume flags and the
// percentage in use excepted, which change without the checksum being rewritten).
uint32_t ExFatBootChecksum(Bytes region, uint32_t bytesPerSector);

// Whether the 12th sector of `region` repeats the checksum of the 11 before it.
bool ExFatBootRegionChecksumHolds(Bytes region, uint32_t bytesPerSector);

// exFAT's 16-bit rotate-and-add sum, over the entry set with its first entry's checksum
// field left out.
uint16_t ExFatSetChecksum(Bytes entries);

}  // namespace relicta::volume
