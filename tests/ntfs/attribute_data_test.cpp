#include <gtest/gtest.h>

#include <numeric>

#include "ntfs/attribute.h"
#include "ntfs/attribute_data.h"
#include "ntfs/mft_layout.h"
#include "ntfs/ntfs_harness.h"
#include "support/lznt1_encoder.h"

namespace relicta::ntfs {
namespace {

using test::NtfsImage;
using test::RecordBuilder;

constexpr int64_t kCluster = NtfsImage::kClusterBytes;

// A compressed chunk holding `bytes` of one value: a literal and one long back-reference
// per 4 KiB, as a compressor writes runs of zeros.
// A compression unit's worth of one byte value, as LZNT1.
std::vector<uint8_t> RepeatChunks(uint8_t value, std::size_t bytes) {
    return test::Lznt1Compress(std::vector<uint8_t>(bytes, value));
}

class AttributeDataTest : public test::NtfsHarness {
  protected:
    // Writes `bytes` at cluster `lcn` of the image.
    void Store(NtfsImage& image, int64_t lcn, const std::vector<uint8_t>& bytes) {
        std::copy(bytes.begin(), bytes.end(), image.bytes.begin() + lcn * kCluster);
    }

    // Read into storage that held other data, as a recovery's reused buffers do: what no
    // cluster fills must still read as zeros.
    std::vector<uint8_t> Read(platform::Handle h, int64_t offset, int64_t length, bool raw) {
        const MftRecordPtr record = ReadMftRecord(h, 50, true);
        EXPECT_TRUE(record);
        const std::optional<Attribute> data = FindAttribute(h, record, kData);
        EXPECT_TRUE(data);
        constexpr std::size_t kUsedBytes = std::size_t{1} << 18;
        std::optional<AttributeData> bytes = ReadAttributeData(
            h, *data, offset, length, raw, std::vector<uint8_t>(kUsedBytes, 0xAA));
        return bytes ? bytes->TakeBytes() : std::vector<uint8_t>{};
    }
};

TEST_F(AttributeDataTest, ReadsAnyRangeAcrossRuns) {
    NtfsImage image;
    std::vector<uint8_t> content(5 * kCluster);
    std::iota(content.begin(), content.end(), 0);
    for (uint8_t& b : content)
        b = static_cast<uint8_t>(b * 7 + 3);
    // Clusters 0-1 at LCN 100, 2-4 at LCN 90 (a run that goes backwards).
    Store(image, 100, {content.begin(), content.begin() + 2 * kCluster});
    Store(image, 90, {content.begin() + 2 * kCluster, content.end()});
    image.SetRecord(50,
                    RecordBuilder()
                        .NonResident(kData, {0x11, 0x02, 0x64, 0x11, 0x03, 0xF6}, content.size())
                        .Build());
    const platform::Handle h = Open(image);
    struct Case {
        int64_t offset;
        int64_t length;
    };
    for (const Case c :
         {Case{5000, 100}, Case{0, 20480}, Case{8190, 10}, Case{4096, 4096}, Case{20000, 480}}) {
        const std::vector<uint8_t> got = Read(h, c.offset, c.length, true);
        EXPECT_EQ(got, std::vector<uint8_t>(content.begin() + c.offset,
                                            content.begin() + c.offset + c.length))
            << c.offset << "+" << c.length;
    }
    // Past what the run list covers: zeros.
    const std::vector<uint8_t> beyond = Read(h, 20000, 1000, true);
    EXPECT_EQ(std::count(beyond.begin() + 480, beyond.end(), 0), 520);
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(AttributeDataTest, SparseRunsReadAsZeros) {
    NtfsImage image;
    Store(image, 100, std::vector<uint8_t>(kCluster, 'x'));
    Store(image, 90, std::vector<uint8_t>(kCluster, 'y'));
    // Cluster 0 at LCN 100, clusters 1-2 sparse, cluster 3 at LCN 90.
    image.SetRecord(
        50, RecordBuilder()
                .NonResident(kData, {0x11, 0x01, 0x64, 0x01, 0x02, 0x11, 0x01, 0xF6}, 4 * kCluster)
                .Build());
    const platform::Handle h = Open(image);
    std::vector<uint8_t> want(4 * kCluster, 0);
    std::fill(want.begin(), want.begin() + kCluster, 'x');
    std::fill(want.end() - kCluster, want.end(), 'y');
    // Whole, and from inside the sparse stretch: the run after it is still read.
    for (const auto& [offset, length] : {std::pair{0, 4 * kCluster},
                                         {kCluster + 10, 2 * kCluster},
                                         {2 * kCluster, 2 * kCluster}}) {
        EXPECT_EQ(Read(h, offset, length, false),
                  std::vector<uint8_t>(want.begin() + offset, want.begin() + offset + length))
            << offset;
    }
}

TEST_F(AttributeDataTest, CompressionUnitsExpandAndRawRunsReadThemStored) {
    NtfsImage image;
    // Unit 1: 16 clusters of 'a' stored in 1 cluster + 15 filler. Unit 2: 16 clusters stored
    // as is (did not compress). Unit 3: 'c' in 1 cluster + 15 filler.
    const std::vector<uint8_t> unit1 = RepeatChunks('a', 16 * kCluster);
    std::vector<uint8_t> unit2(16 * kCluster);
    for (std::size_t i = 0; i < unit2.size(); ++i) {
        unit2[i] = static_cast<uint8_t>('A' + i / kCluster);  // each cluster its own letter
    }
    const std::vector<uint8_t> unit3 = RepeatChunks('c', 16 * kCluster);
    Store(image, 200, unit1);
    Store(image, 201, unit2);
    Store(image, 217, unit3);
    image.SetRecord(50, RecordBuilder()
                            .NonResident(kData,
                                         {0x21, 0x01, 200, 0x00, 0x01, 0x0F, 0x11, 0x10, 0x01, 0x11,
                                          0x01, 0x10, 0x01, 0x0F},
                                         48 * kCluster, u"", 0, 1)
                            .Build());
    const platform::Handle h = Open(image);
    const std::vector<uint8_t> expanded = Read(h, 0, 48 * kCluster, false);
    ASSERT_EQ(expanded.size(), 48u * kCluster);
    EXPECT_EQ(std::count(expanded.begin(), expanded.begin() + 16 * kCluster, 'a'), 16 * kCluster);
    EXPECT_TRUE(std::equal(unit2.begin(), unit2.end(), expanded.begin() + 16 * kCluster));
    EXPECT_EQ(std::count(expanded.begin() + 32 * kCluster, expanded.end(), 'c'), 16 * kCluster);
    // A part of the data reads as that part of the whole: units entered and left midway.
    for (const auto& [first, clusters] : {std::pair{3, 20}, {18, 3}, {20, 14}, {31, 1}, {0, 1}}) {
        const std::vector<uint8_t> part = Read(h, first * kCluster, clusters * kCluster, false);
        ASSERT_EQ(part.size(), std::size_t(clusters) * kCluster) << first;
        EXPECT_TRUE(std::equal(part.begin(), part.end(), expanded.begin() + first * kCluster))
            << "from cluster " << first;
    }

    const std::vector<uint8_t> raw = Read(h, 0, 18 * kCluster, true);
    EXPECT_TRUE(std::equal(unit1.begin(), unit1.end(), raw.begin()));  // stored, back to back
    EXPECT_TRUE(std::equal(unit2.begin(), unit2.end(), raw.begin() + kCluster));
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(AttributeDataTest, ACorruptUnitIsReportedAndTheOthersStillExpand) {
    NtfsImage image;
    std::vector<uint8_t> bad = {0x05, 0xB0, 0x02, 'x', 0x00, 0x70, 0, 0};  // reference before start
    Store(image, 200, bad);
    Store(image, 201, RepeatChunks('z', 16 * kCluster));
    image.SetRecord(
        50,
        RecordBuilder()
            .NonResident(kData, {0x21, 0x01, 200, 0x00, 0x01, 0x0F, 0x11, 0x01, 0x01, 0x01, 0x0F},
                         32 * kCluster, u"", 0, 1)
            .Build());
    const platform::Handle h = Open(image);
    const std::vector<uint8_t> expanded = Read(h, 0, 32 * kCluster, false);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "Decompress of file didn't work.  File probably damaged");
    EXPECT_EQ(dialogs.shown[0].caption, "Problem: Bad compression buffer");
    EXPECT_EQ(std::count(expanded.begin() + 16 * kCluster, expanded.end(), 'z'), 16 * kCluster);
}

TEST_F(AttributeDataTest, AnAttributeSplitOverRecordsIsReadWhole) {
    NtfsImage image;
    std::vector<uint8_t> content(5 * kCluster);
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<uint8_t>(i / 1000);
    Store(image, 100, {content.begin(), content.begin() + 2 * kCluster});
    Store(image, 300, {content.begin() + 2 * kCluster, content.end()});
    // Record 50's list: $DATA from VCN 0 in record 51, from VCN 2 in record 52.
    std::vector<uint8_t> list;
    for (const auto& [record, vcn] : std::vector<std::pair<uint32_t, int64_t>>{{51, 0}, {52, 2}}) {
        std::vector<uint8_t> entry(32, 0);
        test::PutLe(entry, 0, kData, 4);
        test::PutLe(entry, 4, 32, 2);
        entry[7] = 26;
        test::PutLe(entry, 8, static_cast<uint64_t>(vcn), 8);
        test::PutLe(entry, 16, record, 8);
        list.insert(list.end(), entry.begin(), entry.end());
    }
    image.SetRecord(50, RecordBuilder().Resident(kAttributeList, list).Build());
    image.SetRecord(
        51, RecordBuilder().NonResident(kData, {0x21, 0x02, 0x64, 0x00}, content.size()).Build());
    image.SetRecord(52, RecordBuilder()
                            .NonResident(kData, {0x21, 0x03, 0x2C, 0x01}, content.size(), u"", 2)
                            .Build());
    const platform::Handle h = Open(image);
    EXPECT_EQ(Read(h, 0, content.size(), false), content);
    EXPECT_EQ(Read(h, 9000, 3000, true),
              std::vector<uint8_t>(content.begin() + 9000, content.begin() + 12000));
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(AttributeDataTest, RangesLargerThanTheVolumeAreRefused) {
    NtfsImage image;
    image.SetRecord(
        50, RecordBuilder().NonResident(kData, {0x11, 0x01, 0x64}, int64_t{1} << 62).Build());
    const platform::Handle h = Open(image);
    const MftRecordPtr record = ReadMftRecord(h, 50, true);
    const std::optional<Attribute> data = FindAttribute(h, record, kData);
    EXPECT_FALSE(ReadAttributeData(h, *data, 0, Get_Attr_Datasize(data), false));
    EXPECT_EQ(dialogs.shown.size(), 1u);
    EXPECT_FALSE(ReadAttributeData(h, *data, INT64_MAX - 10, 100, false));
}

TEST_F(AttributeDataTest, AttributeListsLeadToTheRecordHoldingTheAttribute) {
    NtfsImage image;
    // Record 50 lists its $DATA as living in record 51.
    std::vector<uint8_t> entry(32, 0);
    test::PutLe(entry, 0, kData, 4);
    test::PutLe(entry, 4, 32, 2);
    entry[7] = 26;
    test::PutLe(entry, 16, 51, 8);
    image.SetRecord(50, RecordBuilder()
                            .Resident(kStandardInformation, std::vector<uint8_t>(48, 0))
                            .Resident(kAttributeList, entry)
                            .Build());
    image.SetRecord(51, RecordBuilder().Resident(kData, {'h', 'i'}).Build());
    // Record 52's list names itself; record 53's names record 0 (ignored).
    test::PutLe(entry, 16, 52, 8);
    image.SetRecord(52, RecordBuilder().Resident(kAttributeList, entry).Build());
    test::PutLe(entry, 16, 0, 8);
    image.SetRecord(53, RecordBuilder().Resident(kAttributeList, entry).Build());
    const platform::Handle h = Open(image);
    const std::optional<Attribute> data = FindAttribute(h, ReadMftRecord(h, 50, true), kData);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->record->number, 51u);
    EXPECT_EQ(ResidentValue(*data)[0], 'h');
    EXPECT_FALSE(FindAttribute(h, ReadMftRecord(h, 52, true), kData));
    EXPECT_FALSE(FindAttribute(h, ReadMftRecord(h, 53, true), kData));
    EXPECT_TRUE(FindAttribute(h, ReadMftRecord(h, 50, true), kFileName) == std::nullopt);
}

}  // namespace
}  // namespace relicta::ntfs
