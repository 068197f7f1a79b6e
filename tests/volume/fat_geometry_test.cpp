#include <gtest/gtest.h>

#include "volume/fat_geometry.h"

namespace relicta::volume {
namespace {

Bpb Fat1216(uint32_t totalSectors, uint8_t sectorsPerCluster, uint16_t sectorsPerFat,
            uint16_t rootEntries = 512) {
    Bpb bpb;
    bpb.BytesPerSector = 512;
    bpb.SectorsPerCluster = sectorsPerCluster;
    bpb.ReservedSectors = 1;
    bpb.Fats = 2;
    bpb.RootEntries = rootEntries;
    bpb.Sectors = totalSectors < 0x10000 ? static_cast<uint16_t>(totalSectors) : 0;
    bpb.LargeSectors = totalSectors < 0x10000 ? 0 : totalSectors;
    bpb.SectorsPerFat = sectorsPerFat;
    return bpb;
}

// Sectors of a volume with `clusters` data clusters of one sector each.
uint32_t SectorsFor(uint32_t clusters, uint16_t sectorsPerFat) {
    return 1 + 2 * sectorsPerFat + 512 * 32 / 512 + clusters;
}

TEST(ComputeFatGeometry, Fat16Layout) {
    AllocationSupport g;
    ComputeFatGeometry(Fat1216(65536, 4, 64), g);
    EXPECT_EQ(g.FatIndexBitSize, 16);
    EXPECT_EQ(g.RootDirectoryLbo, (1u + 2 * 64) * 512);
    EXPECT_EQ(g.RootDirectorySize, 512u * 32);
    EXPECT_EQ(g.FileAreaLbo, (1u + 2 * 64) * 512 + 512 * 32);
    EXPECT_EQ(g.NumberOfClusters, (65536u - 32 - 128 - 1) / 4);
    EXPECT_EQ(g.LogOfBytesPerCluster, 11);
}

TEST(ComputeFatGeometry, TheFat12Fat16BoundaryLiesBetween4086And4087Clusters) {
    const std::pair<uint32_t, int> cases[] = {
        {4084, 12}, {4085, 12}, {4086, 12}, {4087, 16}, {4088, 16}};
    for (const auto& [clusters, bits] : cases) {
        AllocationSupport g;
        ComputeFatGeometry(Fat1216(SectorsFor(clusters, 16), 1, 16), g);
        EXPECT_EQ(g.NumberOfClusters, clusters);
        EXPECT_EQ(g.FatIndexBitSize, bits) << clusters << " clusters";
    }
}

TEST(ComputeFatGeometry, Fat32HasNoFixedRootAndNoCap) {
    Bpb bpb = Fat1216(0, 1, 0, 0);
    bpb.LargeSectors = 600000;
    bpb.LargeSectorsPerFat = 10;  // far too small for its clusters: not capped on FAT32
    bpb.ReservedSectors = 32;
    AllocationSupport g;
    ComputeFatGeometry(bpb, g);
    EXPECT_EQ(g.FatIndexBitSize, 32);
    EXPECT_EQ(g.RootDirectorySize, 0u);
    EXPECT_EQ(g.FileAreaLbo, g.RootDirectoryLbo);
    EXPECT_EQ(g.RootDirectoryLbo, (32u + 20) * 512);
    EXPECT_EQ(g.NumberOfClusters, 600000u - 32 - 20);
}

TEST(ComputeFatGeometry, Fat12ClustersAreCappedByWhatTheFatDescribes) {
    // One FAT sector holds 512 * 8 / 12 = 341 entries, so 339 clusters.
    AllocationSupport g;
    ComputeFatGeometry(Fat1216(2000, 1, 1, 16), g);
    EXPECT_EQ(g.FatIndexBitSize, 12);
    EXPECT_EQ(g.NumberOfClusters, 512u * 8 / 12 - 2);
}

TEST(ComputeFatGeometry, RootDirectoryIsNotRoundedToWholeSectors) {
    AllocationSupport g;
    ComputeFatGeometry(Fat1216(20000, 1, 64, 17), g);
    EXPECT_EQ(g.FileAreaLbo, (1u + 128) * 512 + 17 * 32);
}

TEST(ComputeFatGeometry, DamagedFieldsGiveNoClustersInsteadOfWrappingOrDividingByZero) {
    struct Case {
        const char* name;
        Bpb bpb;
    };
    Bpb noClusterSize = Fat1216(20000, 0, 16);
    Bpb noSectorSize = Fat1216(20000, 1, 16);
    noSectorSize.BytesPerSector = 0;
    Bpb metadataLargerThanVolume = Fat1216(200, 1, 300);
    const Case cases[] = {{"sectors per cluster 0", noClusterSize},
                          {"bytes per sector 0", noSectorSize},
                          {"FATs larger than the volume", metadataLargerThanVolume},
                          {"all zero", Bpb{}}};
    for (const Case& c : cases) {
        AllocationSupport g;
        ComputeFatGeometry(c.bpb, g);
        EXPECT_EQ(g.NumberOfClusters, 0u) << c.name;
        EXPECT_EQ(FatDataClusters(c.bpb), 0u) << c.name;
    }
}

TEST(LogOfBytesPerCluster, CountsHalvings) {
    const std::pair<uint32_t, int> cases[] = {{0, 0},     {1, 0},      {512, 9},
                                              {4096, 12}, {65536, 16}, {1536, 10}};
    for (const auto& [bytes, log] : cases) {
        EXPECT_EQ(LogOfBytesPerCluster(bytes), log) << bytes;
    }
}

}  // namespace
}  // namespace relicta::volume
