#include <gtest/gtest.h>

#include "app/recording_dialogs.h"
#include "volume/fat_entry.h"
#include "volume/vcb.h"

namespace relicta::volume {
namespace {

VCB VcbWith(uint8_t bits, uint32_t clusters = 1000) {
    VCB vcb;
    vcb.AllocationSupport.FatIndexBitSize = bits;
    vcb.AllocationSupport.NumberOfClusters = clusters;
    return vcb;
}

TEST(FatEntry, Fat12EntriesShareThreeBytes) {
    // Entries 2 and 3 live in bytes 3..5: 0x345 and 0x612.
    std::vector<uint8_t> fat = {0xF8, 0xFF, 0xFF, 0x45, 0x23, 0x61, 0xFF, 0x0F};
    const VCB vcb = VcbWith(12);
    EXPECT_EQ(FatEntry(vcb, 2, fat), 0x345u);
    EXPECT_EQ(FatEntry(vcb, 3, fat), 0x612u);
    EXPECT_EQ(FatEntry(vcb, 4, fat), 0xFFFu);
}

TEST(FatEntry, Fat16AndFat32Widths) {
    std::vector<uint8_t> fat(64, 0);
    fat[4] = 0x34;
    fat[5] = 0x12;
    EXPECT_EQ(FatEntry(VcbWith(16), 2, fat), 0x1234u);
    fat[8] = 0xFF;
    fat[9] = 0xFF;
    fat[10] = 0xFF;
    fat[11] = 0xFF;
    // The reserved top bits of a FAT32 entry are kept.
    EXPECT_EQ(FatEntry(VcbWith(32), 2, fat), 0xFFFFFFFFu);
}

TEST(FatEntry, NeverReadsPastTheBufferAndReportsOutOfRangeIndexes) {
    app::RecordingDialogs dialogs;
    app::ScopedDialogs installed(dialogs);
    std::vector<uint8_t> fat(10, 0);  // FAT16: entries 0..4
    const VCB vcb = VcbWith(16, 10);
    EXPECT_EQ(InterpretClusterType(vcb, FatEntry(vcb, 5, fat)), ClusterBad);
    EXPECT_TRUE(dialogs.shown.empty());

    EXPECT_EQ(FatEntry(vcb, 12, fat), 0xFFF7u);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_NE(
        dialogs.shown[0].text.find("(FatIndex) <= ((Vcb)->AllocationSupport.NumberOfClusters + 1)"),
        std::string::npos);
    FatEntry(vcb, 1, fat);
    ASSERT_EQ(dialogs.shown.size(), 2u);
    EXPECT_NE(dialogs.shown[1].text.find("(FatIndex) >= 2"), std::string::npos);

    std::vector<uint8_t> fat12(5, 0);  // entry 3 needs bytes 4 and 5
    EXPECT_EQ(FatEntry(VcbWith(12, 10), 3, fat12), 0xFF7u);
    EXPECT_EQ(FatEntry(VcbWith(32, 0xFFFFFFF), 0xFFFFFFF, fat), 0x0FFFFFF7u);
}

TEST(InterpretClusterType, ClassifiesEachWidth) {
    struct Case {
        uint8_t bits;
        uint32_t value;
        ClusterType type;
    };
    const Case cases[] = {
        {12, 0x000, ClusterAvailable},      {12, 0x002, ClusterNext},
        {12, 0xFEF, ClusterNext},           {12, 0xFF0, ClusterReserved},
        {12, 0xFF6, ClusterReserved},       {12, 0xFF7, ClusterBad},
        {12, 0xFF8, ClusterLast},           {12, 0xFFF, ClusterLast},
        {16, 0x0000, ClusterAvailable},     {16, 0xFFEF, ClusterNext},
        {16, 0xFFF0, ClusterReserved},      {16, 0xFFF7, ClusterBad},
        {16, 0xFFF8, ClusterLast},          {16, 0x0FF7, ClusterNext},
        {32, 0x00000000, ClusterAvailable}, {32, 0x10000000, ClusterAvailable},
        {32, 0x10000003, ClusterNext},      {32, 0x0FFFFFEF, ClusterNext},
        {32, 0x0FFFFFF0, ClusterReserved},  {32, 0x0FFFFFF7, ClusterBad},
        {32, 0xFFFFFFF7, ClusterBad},       {32, 0x0FFFFFF8, ClusterLast},
        {32, 0xFFFFFFFF, ClusterLast},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(InterpretClusterType(VcbWith(c.bits), c.value), c.type)
            << "FAT" << int{c.bits} << " value " << std::hex << c.value;
    }
}

}  // namespace
}  // namespace relicta::volume
