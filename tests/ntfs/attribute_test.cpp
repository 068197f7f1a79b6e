#include <gtest/gtest.h>

#include "ntfs/attribute.h"
#include "ntfs/attribute_data.h"
#include "ntfs/lznt1.h"
#include "ntfs/mft_layout.h"
#include "ntfs/ntfs_harness.h"
#include "ntfs/runs.h"

namespace relicta::ntfs {
namespace {

using test::NtfsImage;
using test::RecordBuilder;

MftRecordPtr Record(const std::vector<uint8_t>& bytes, uint32_t number = 200) {
    auto r = std::make_shared<MftRecord>();
    r->number = number;
    r->bytes = bytes;
    return r;
}

class RunsTest : public test::NtfsHarness {
  protected:
    // Decodes a run list of a non-resident $DATA on an open crafted volume.
    std::vector<ntfs::Run> Decode(const std::vector<uint8_t>& runs, uint16_t flags = 0) {
        const MftRecordPtr r = Record(
            RecordBuilder().NonResident(kData, runs, 1 << 20, u"", 0, flags).BuildUnprotected());
        const std::optional<Attribute> a = FindAttribute(platform::kNoHandle, r, kData);
        EXPECT_TRUE(a);
        std::vector<ntfs::Run> out;
        std::size_t cursor = RunListStart(*a);
        ntfs::Run run;
        while (out.size() < 50 && DecodeNextRun(*a, cursor, run)) {
            out.push_back(run);
            run.vcn += run.RUNlength + run.SPARSElength;
        }
        return out;
    }

    void SetUp() override {
        test::NtfsHarness::SetUp();
        ASSERT_TRUE(platform::IsOpenHandle(Open(NtfsImage())));
        dialogs.shown.clear();
    }
};

TEST_F(RunsTest, DecodesTheByteSequences) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::vector<ntfs::Run> runs;
    };
    const Case cases[] = {
        {"one run", {0x21, 0x18, 0x34, 0x56}, {{0, 0x5634, 0x18, 0}}},
        {"negative delta moves back",
         {0x11, 0x10, 0x40, 0x11, 0x08, 0xF0},
         {{0, 0x40, 0x10, 0}, {0x10, 0x30, 8, 0}}},
        {"compression unit", {0x11, 0x05, 0x20, 0x01, 0x0B}, {{0, 0x20, 5, 11}}},
        {"starts without clusters",
         {0x01, 0x10, 0x11, 0x04, 0x30},
         {{0, 0, 0, 16}, {16, 0x30, 4, 0}}},
        {"three-byte unsigned length", {0x13, 0x00, 0x00, 0x80, 0x10}, {{0, 0x10, 0x800000, 0}}},
        {"two-byte length 128", {0x12, 0x80, 0x00, 0x10}, {{0, 0x10, 128, 0}}},
        {"three-byte negative delta",
         {0x11, 0x01, 0x10, 0x31, 0x01, 0xFF, 0xFF, 0xFF},
         {{0, 0x10, 1, 0}, {1, 0x0F, 1, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Decode(c.bytes), c.runs);
        EXPECT_TRUE(dialogs.shown.empty());
    }
}

TEST_F(RunsTest, MalformedListsAreReportedOrEndQuietlyInRawMode) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::size_t runs;
        const char* check;
    };
    const Case cases[] = {
        {"LCN field of five bytes",
         {0x51, 0x01, 1, 2, 3, 4, 5},
         0,
         "Length of Logical cluster in Run wrong"},
        {"length field of zero bytes", {0x10, 0x05}, 0, "Length of Length in Run wrong"},
        {"length field of five bytes",
         {0x15, 1, 0, 0, 0, 0, 0x10},
         0,
         "Length of Length in Run wrong"},
        {"negative length", {0x11, 0xF0, 0x10}, 1, "Run length less than zero!"},
        {"zero delta after the first run",
         {0x11, 0x01, 0x10, 0x11, 0x01, 0x00},
         2,
         "deltaLCN!=0 || Run.lcn == 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dialogs.shown.clear();
        volume::Vcb->IsRawFileSystem = false;
        EXPECT_EQ(Decode(c.bytes).size(), c.runs);
        ASSERT_FALSE(dialogs.shown.empty());
        EXPECT_NE(dialogs.shown[0].text.find(std::string(": ") + c.check + "\n"), std::string::npos)
            << dialogs.shown[0].text;
        EXPECT_EQ(dialogs.shown[0].text.find("In ntfs at "),
                  std::string("Internal Program consistency check failed.\n").size());
    }
    volume::Vcb->IsRawFileSystem = true;
    dialogs.shown.clear();
    EXPECT_TRUE(Decode({0x51, 0x01, 1, 2, 3, 4, 5}).empty());
    EXPECT_TRUE(Decode({0x11, 0xF0, 0x10}).empty());
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(RunsTest, VolumesBeyondTwoBillionClustersTakeWiderLcnFields) {
    volume::Vcb->TotalClusters = int64_t{1} << 33;
    EXPECT_EQ(Decode({0x51, 0x10, 0x00, 0x00, 0x00, 0x00, 0x01}),
              (std::vector<ntfs::Run>{{0, int64_t{1} << 32, 0x10, 0}}));
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(RunsTest, AListRunningPastItsAttributeEnds) {
    // The attribute ends right after a header byte that promises 8 more bytes.
    std::vector<uint8_t> a(72, 0);
    test::PutLe(a, 0, kData, 4);
    test::PutLe(a, 4, 72, 4);
    a[8] = 1;
    test::PutLe(a, 32, 70, 2);
    a[70] = 0x44;
    a[71] = 0x01;
    const MftRecordPtr r = Record(RecordBuilder().RawAttribute(a).BuildUnprotected());
    const std::optional<Attribute> attribute = FindAttribute(platform::kNoHandle, r, kData);
    ASSERT_TRUE(attribute);
    std::size_t cursor = RunListStart(*attribute);
    ntfs::Run run;
    EXPECT_FALSE(DecodeNextRun(*attribute, cursor, run));
    EXPECT_EQ(dialogs.shown.size(), 1u);
}

TEST_F(RunsTest, CountRunsCountsAttemptsAndMergesContiguousCompressedRuns) {
    auto count = [](const std::vector<uint8_t>& runs, uint16_t flags, bool merge) {
        const MftRecordPtr r = Record(
            RecordBuilder().NonResident(kData, runs, 1 << 20, u"", 0, flags).BuildUnprotected());
        const std::optional<Attribute> a = FindAttribute(platform::kNoHandle, r, kData);
        return CountRuns(&*a, merge);
    };
    const std::vector<uint8_t> contiguous = {0x11, 0x04, 0x10, 0x11, 0x04, 0x04};
    EXPECT_EQ(count(contiguous, 0, false), 2);
    EXPECT_EQ(count(contiguous, 0, true), 2);  // only compressed attributes merge
    EXPECT_EQ(count(contiguous, 1, true), 1);
    volume::Vcb->IsRawFileSystem = true;
    EXPECT_EQ(count({0x11, 0x04, 0x10, 0x51, 0x01}, 0, false), 2);  // the failed attempt counts
    EXPECT_EQ(CountRuns(nullptr, false), 0);
}

TEST_F(RunsTest, FindAttributeByTypeNameAndInstance) {
    const MftRecordPtr r = Record(RecordBuilder()
                                      .Resident(kStandardInformation, std::vector<uint8_t>(48, 0))
                                      .Resident(kData, {1})
                                      .Resident(kData, {2}, u"$Bad")
                                      .Resident(kData, {3}, u"Stream")
                                      .Resident(kBitmap, {4})
                                      .BuildUnprotected());
    struct Case {
        uint32_t type;
        AttributeName name;
        int instance;
        int value;  // first value byte, 0 for none
    };
    const Case cases[] = {
        {kData, std::nullopt, 0, 1},      {kData, u"", 0, 1},
        {kData, u"$bad", 1, 2},           {kData, u"$BAD", 0, 0},
        {kData, u"$Bad", 2, 0},           {kData, u"stream", 2, 3},
        {kData, std::nullopt, 2, 3},      {kData, std::nullopt, 3, 0},
        {kBitmap, std::nullopt, 0, 4},    {kFileName, std::nullopt, 0, 0},
        {kIndexRoot, std::nullopt, 0, 0},
    };
    const AttributeWalk walk(platform::kNoHandle, r);
    for (const Case& c : cases) {
        const std::optional<Attribute> a =
            FindAttribute(platform::kNoHandle, r, c.type, c.name, c.instance);
        const std::optional<Attribute> walked = walk.Find(c.type, c.name, c.instance);
        EXPECT_EQ(a ? ResidentValue(*a)[0] : 0, c.value) << std::hex << c.type << " " << c.instance;
        EXPECT_EQ(walked ? ResidentValue(*walked)[0] : 0, c.value) << "walked once";
    }
    // Out of order: a greater type ends the search, as it ends FindAttribute's walk.
    const MftRecordPtr unsorted =
        Record(RecordBuilder().Resident(kData, {1}).Resident(kFileName, {2}).BuildUnprotected());
    EXPECT_FALSE(AttributeWalk(platform::kNoHandle, unsorted).Find(kFileName));
    EXPECT_FALSE(FindAttribute(platform::kNoHandle, unsorted, kFileName));
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(RunsTest, ResidentValuesUseTheHeadersValueOffset) {
    // A name of odd length: the value starts at the 8-byte boundary the header gives.
    const MftRecordPtr r = Record(
        RecordBuilder().Resident(kData, {9, 8, 7, 6, 5, 4, 3, 2, 1}, u"odd").BuildUnprotected());
    const std::optional<Attribute> a = FindAttribute(platform::kNoHandle, r, kData);
    ASSERT_TRUE(a);
    EXPECT_EQ(*Find_Attr_DataArea(*a), 32u);
    const std::optional<AttributeData> data =
        ReadAttributeData(platform::kNoHandle, *a, 0, 9, true);
    ASSERT_TRUE(data);
    EXPECT_EQ(std::vector<uint8_t>(data->Data().begin(), data->Data().end()),
              (std::vector<uint8_t>{9, 8, 7, 6, 5, 4, 3, 2, 1}));
    const std::optional<AttributeData> tail =
        ReadAttributeData(platform::kNoHandle, *a, 8, 100, true);
    EXPECT_EQ(tail->Data().data(), r->bytes.data() + a->offset + 32 + 8);  // points into the record
    EXPECT_EQ(tail->Data().size(), 1u);
}

TEST_F(RunsTest, MalformedAttributesEndTheWalk) {
    struct Case {
        const char* name;
        uint32_t length;
    };
    for (const Case c :
         {Case{"length 0", 0}, Case{"length past the record", 5000}, Case{"length 8", 8}}) {
        SCOPED_TRACE(c.name);
        dialogs.shown.clear();
        std::vector<uint8_t> bytes =
            RecordBuilder()
                .Resident(kStandardInformation, std::vector<uint8_t>(48, 0))
                .Resident(kData, {1})
                .BuildUnprotected();
        test::PutLe(bytes, 56 + 4, c.length, 4);
        EXPECT_FALSE(FindAttribute(platform::kNoHandle, Record(bytes), kData));
        EXPECT_EQ(dialogs.shown.size(), 1u);
        EXPECT_FALSE(AttributeWalk(platform::kNoHandle, Record(bytes)).Find(kData));
        EXPECT_EQ(dialogs.shown.size(), 2u) << "a walk once over the record says the same";
    }
}

}  // namespace
}  // namespace relicta::ntfs
