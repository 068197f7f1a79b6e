#include "volume/fat_geometry.h"

namespace relicta::volume {

uint8_t LogOfBytesPerCluster(uint32_t bytesPerCluster) {
    uint8_t log = 0;
    while (bytesPerCluster > 1) {
        bytesPerCluster >>= 1;
        ++log;
    }
    return log;
}

uint32_t FatDataClusters(const Bpb& bpb) {
    if (bpb.SectorsPerCluster == 0 || bpb.BytesPerSector == 0) {
        return 0;
    }
    const int64_t rootSectors =
        bpb.IsFat32() ? 0 : int64_t{bpb.RootEntries} * kDirEntrySize / bpb.BytesPerSector;
    const int64_t dataSectors = int64_t{bpb.TotalSectors()} - rootSectors -
                                int64_t{bpb.Fats} * bpb.FatSize() - bpb.ReservedSectors;
    // A damaged BPB can claim more metadata than the volume holds.
    return dataSectors > 0 ? static_cast<uint32_t>(dataSectors / bpb.SectorsPerCluster) : 0;
}

void ComputeFatGeometry(const Bpb& bpb, AllocationSupport& g) {
    g = AllocationSupport{};
    g.RootDirectoryLbo =
        (uint64_t{bpb.ReservedSectors} + uint64_t{bpb.Fats} * bpb.FatSize()) * bpb.BytesPerSector;
    g.RootDirectorySize = uint32_t{bpb.RootEntries} * kDirEntrySize;
    g.FileAreaLbo = g.RootDirectoryLbo + g.RootDirectorySize;
    g.NumberOfClusters = FatDataClusters(bpb);
    if (bpb.IsFat32()) {
        g.FatIndexBitSize = 32;
    } else {
        g.FatIndexBitSize = g.NumberOfClusters <= kFat12MaxClusters ? 12 : 16;
    }
    g.LogOfBytesPerCluster =
        LogOfBytesPerCluster(uint32_t{bpb.BytesPerSector} * bpb.SectorsPerCluster);
    if (!bpb.IsFat32()) {
        // The FAT cannot describe more clusters than its entries.
        const uint64_t entries =
            uint64_t{bpb.SectorsPerFat} * bpb.BytesPerSector * 8 / g.FatIndexBitSize;
        const uint64_t describable = entries >= 2 ? entries - 2 : 0;
        if (g.NumberOfClusters > describable) {
            g.NumberOfClusters = static_cast<uint32_t>(describable);
        }
    }
}

}  // namespace relicta::volume
