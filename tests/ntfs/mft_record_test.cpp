#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "ntfs/attribute.h"
#include "ntfs/bitmaps.h"
#include "ntfs/mft_layout.h"
#include "ntfs/mft_record.h"
#include "ntfs/ntfs_harness.h"
#include "support/boot_sectors.h"

namespace relicta::ntfs {
namespace {

using test::NtfsImage;
using test::RecordBuilder;

TEST(ApplyFixups, RestoresEverySectorsLastWord) {
    std::vector<uint8_t> record =
        RecordBuilder().Resident(kData, std::vector<uint8_t>(900, 0x5A)).Build();
    const std::vector<uint8_t> expected =
        RecordBuilder().Resident(kData, std::vector<uint8_t>(900, 0x5A)).BuildUnprotected();
    EXPECT_NE(record, expected);
    EXPECT_TRUE(ApplyFixups(record, record.size()));
    // The array itself keeps the saved words: compare everything else.
    for (std::size_t i : {510u, 511u, 1022u, 1023u}) {
        EXPECT_EQ(record[i], expected[i]) << i;
    }
    EXPECT_EQ(std::memcmp(record.data(), "FILE", 4), 0);
}

TEST(ApplyFixups, AWrongCheckWordMarksTheRecordBaad) {
    std::vector<uint8_t> record =
        RecordBuilder().Resident(kData, std::vector<uint8_t>(900, 0x5A)).Build();
    record[1022] ^= 0xFF;  // second sector's check word
    EXPECT_FALSE(ApplyFixups(record, record.size()));
    EXPECT_EQ(std::memcmp(record.data(), "BAAD", 4), 0);
    EXPECT_EQ(record[510], 0x5A);  // the first sector was restored before the failure
}

TEST(ApplyFixups, LeavesAloneWhatItCannotApply) {
    struct Case {
        const char* name;
        std::size_t size;
        uint16_t offset;
        uint16_t count;
    };
    const Case cases[] = {
        {"smaller than a sector", 511, 48, 2},
        {"offset 0", 1024, 0, 3},
        {"offset 1", 1024, 1, 3},
        {"array reaches the end", 1024, 1020, 3},
        {"count not size/512+1", 1024, 48, 2},
        {"count 1", 512, 48, 1},
        {"array far beyond the record", 1024, 0xFFF0, 3},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> record(c.size, 0x11);
        std::memcpy(record.data(), "FILE", 4);
        test::PutLe(record, 4, c.offset, 2);
        test::PutLe(record, 6, c.count, 2);
        const std::vector<uint8_t> before = record;
        EXPECT_TRUE(ApplyFixups(record, record.size())) << c.name;
        EXPECT_EQ(record, before) << c.name;
    }
}

class MftRecordTest : public test::NtfsHarness {};

TEST_F(MftRecordTest, RecordMessagesFollowTheUpdateSequenceRules) {
    struct Case {
        const char* name;
        std::function<std::vector<uint8_t>()> record;
        bool inUse;
        bool readable;
        std::string caption;  // empty: no message
    };
    const Case cases[] = {
        {"NTFS 3.1 array at 48", [] { return RecordBuilder().Build(); }, true, true, ""},
        {"NTFS 3.0 array at 42", [] { return RecordBuilder().UsaOffset(42).Build(); }, true, true,
         ""},
        {"odd offset falls back to 42",
         [] {
             auto r = RecordBuilder().UsaOffset(42).Build();
             test::PutLe(r, 4, 49, 2);
             return r;
         },
         true, true, "Unexpected fixup offset in MFT"},
        {"array count 0 means the expected count",
         [] {
             auto r = RecordBuilder().UsaOffset(42).Build();
             test::PutLe(r, 6, 0, 2);
             return r;
         },
         true, true, ""},
        {"array count wrong",
         [] {
             auto r = RecordBuilder().Build();
             test::PutLe(r, 6, 5, 2);
             return r;
         },
         true, false, "Unexpected fixup length in MFT"},
        {"bad check word, in use",
         [] {
             auto r = RecordBuilder().Build();
             r[510] ^= 1;
             return r;
         },
         true, false, "Tried to read an MFT record"},
        {"bad check word, free",
         [] {
             auto r = RecordBuilder().Build();
             r[510] ^= 1;
             return r;
         },
         false, false, ""},
        {"garbage, free", [] { return std::vector<uint8_t>(1024, 0x77); }, false, false, ""},
        {"garbage, in use", [] { return std::vector<uint8_t>(1024, 0x77); }, true, false,
         "Tried to read an MFT record"},
        {"first attribute beyond the record",
         [] {
             auto r = RecordBuilder().Build();
             test::PutLe(r, 20, 2000, 2);
             return r;
         },
         true, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        NtfsImage image;
        image.SetRecord(40, c.record());
        image.SetRecordInUse(40, c.inUse);
        image.Rebuild();
        const platform::Handle h = Open(image);
        ASSERT_TRUE(platform::IsOpenHandle(h));
        dialogs.shown.clear();
        const MftRecordPtr record = ReadMftRecord(h, 40, true);
        EXPECT_EQ(record != nullptr, c.readable);
        if (c.caption.empty()) {
            EXPECT_TRUE(dialogs.shown.empty())
                << (dialogs.shown.empty() ? "" : dialogs.shown[0].text);
        } else {
            ASSERT_EQ(dialogs.shown.size(), 1u);
            EXPECT_EQ(dialogs.shown[0].caption, c.caption);
        }
        CloseNtfsVolume(h);
    }
}

TEST_F(MftRecordTest, MessagesNameTheRecordAndWhatWasFound) {
    NtfsImage image;
    auto r = RecordBuilder().UsaOffset(42).Build();
    test::PutLe(r, 4, 49, 2);
    image.SetRecord(40, r);
    image.SetRecord(41, std::vector<uint8_t>(1024, 'Z'));
    image.SetRecordInUse(41, true);
    auto wrongLength = RecordBuilder().Build();
    test::PutLe(wrongLength, 6, 5, 2);
    image.SetRecord(42, wrongLength);
    image.Rebuild();
    const platform::Handle h = Open(image);
    dialogs.shown.clear();
    ReadMftRecord(h, 40, true);
    ReadMftRecord(h, 41, true);
    ReadMftRecord(h, 42, true);
    ASSERT_EQ(dialogs.shown.size(), 3u);
    EXPECT_EQ(
        dialogs.shown[0].text,
        "Read MFT: Fixup offset different from expected, mft num = 40 at LCN 14, fixup=49 len 3");
    EXPECT_EQ(dialogs.shown[1].text,
              "Read MFT: not an MFT, mft num = 41 at LCN 14, eyecatcher=ZZZZ");
    EXPECT_EQ(dialogs.shown[2].text,
              "Read MFT: Fixup length wrong, mft num = 42 at LCN 14, fixup=48 len 5");
}

TEST_F(MftRecordTest, CacheReturnsTheSameRecordUntilReleased) {
    NtfsImage image;
    for (uint32_t n = 100; n < 125; ++n) {
        image.SetRecord(n, RecordBuilder().Flags(n == 120 ? 3 : 1).Build());
    }
    const platform::Handle h = Open(image);
    MftRecordPtr first = ReadMftRecord(h, 110, true);
    ASSERT_TRUE(first);
    const int reads = os.reads;
    EXPECT_EQ(ReadMftRecord(h, 110, true), first);
    EXPECT_EQ(os.reads, reads);

    MftRecordPtr directory = ReadMftRecord(h, 120, true);
    ASSERT_TRUE(directory);
    for (uint32_t n = 100; n < 110; ++n) {  // ten newer file records push 110 out
        ASSERT_TRUE(ReadMftRecord(h, n, true));
    }
    const int before = os.reads;
    EXPECT_EQ(ReadMftRecord(h, 120, true), directory);  // directories have their own list
    EXPECT_EQ(os.reads, before);
    MftRecordPtr again = ReadMftRecord(h, 110, true);  // read afresh
    EXPECT_NE(again, first);
    EXPECT_EQ(again->bytes, first->bytes);

    MftRecordPtr released = ReadMftRecord(h, 111, true);
    ReleaseMftRecord(released);
    EXPECT_FALSE(released);
    EXPECT_TRUE(ReadMftRecord(h, 111, true));
}

TEST_F(MftRecordTest, ReleasedBuffersAreMarkedFreeAndReused) {
    NtfsImage image;
    for (uint32_t n = 100; n < 110; ++n)
        image.SetRecord(n, RecordBuilder().Build());
    const platform::Handle h = Open(image);
    std::vector<MftRecordPtr> records;
    for (uint32_t n = 100; n < 106; ++n)
        records.push_back(ReadMftRecord(h, n, true));
    std::vector<const uint8_t*> buffers;
    for (MftRecordPtr& r : records) {
        buffers.push_back(r->bytes.data());
        ReleaseMftRecord(r);
    }
    int parked = 0;
    for (const auto& slot : volume::Vcb->pLastUsedMftBuffer) {
        ASSERT_FALSE(slot.empty());
        EXPECT_EQ(std::memcmp(slot.data(), "FREE", 5), 0);
        ++parked;
    }
    EXPECT_EQ(parked, 4);
    const uint8_t* pooled = volume::Vcb->pLastUsedMftBuffer[0].data();
    MftRecordPtr reused = ReadMftRecord(h, 107, true);
    EXPECT_EQ(reused->bytes.data(), pooled);
}

TEST_F(MftRecordTest, ASecondOpenIsRefusedAndLeavesTheFirstAlone) {
    NtfsImage image;
    const platform::Handle h = Open(image);
    ASSERT_TRUE(platform::IsOpenHandle(h));
    dialogs.shown.clear();
    EXPECT_FALSE(OpenNtfsVolume('C').has_value());
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text,
              "Can't start a second operation while one is running: recursion error\nThis is "
              "probably a bug... Report it");
    EXPECT_EQ(dialogs.shown[0].caption, "Error");
    EXPECT_EQ(dialogs.shown[0].owner, app::MbOwner::MainWindow);
    EXPECT_EQ(volume::Vcb->hVolume, h);
    EXPECT_TRUE(ReadMftRecord(h, 5, true));
}

TEST_F(MftRecordTest, OpeningLoadsBitmapsAndTheVolumeRecord) {
    NtfsImage image;
    const platform::Handle h = Open(image);
    ASSERT_TRUE(platform::IsOpenHandle(h));
    EXPECT_TRUE(dialogs.shown.empty()) << dialogs.shown[0].text;
    EXPECT_EQ(mftsize, 128 * 1024);
    EXPECT_EQ(MftRecordCount(), 128);
    EXPECT_EQ(CountSetBits(mftbitmapptr, MftRecordCount()), 16);
    EXPECT_EQ(VolumeBitmapBits, 2047);  // the last sector holds the boot-sector copy
    EXPECT_EQ(VolumeBitmap.size(), 256u);
    EXPECT_EQ(CountSetBits(VolumeBitmap, VolumeBitmapBits), 64);
    EXPECT_EQ(VolumeLabel, "test");
    ASSERT_TRUE(rootDirectoryRecord);
    EXPECT_EQ(rootDirectoryRecord->number, 5u);
    EXPECT_TRUE(DefragInProgress);
    CloseNtfsVolume(h);
    EXPECT_FALSE(DefragInProgress);
    EXPECT_EQ(volume::Vcb, nullptr);
    EXPECT_EQ(os.openHandles(), 0);
    EXPECT_TRUE(VolumeBitmap.empty());
}

TEST_F(MftRecordTest, BadClusterFileNotices) {
    NtfsImage image;
    image.SetRecord(8,
                    RecordBuilder().Resident(kData, {1, 2}).Resident(kData, {}, u"$BAD").Build());
    Open(image);
    EXPECT_EQ(dialogs.Texts(),
              (std::vector<std::string>{"unnamed data attribute len > 0 in badclus",
                                        "named data attribute resident in badclus"}));
    EXPECT_EQ(dialogs.Captions(), (std::vector<std::string>{"Notice", "Notice"}));
}

TEST(VolumeBitmapBytes, WholeSixtyFourBitGroups) {
    EXPECT_EQ(VolumeBitmapBytesFor(1000000), 125000u);
    EXPECT_EQ(VolumeBitmapBytesFor(1000001), 125008u);
    EXPECT_EQ(VolumeBitmapBytesFor(0), 0u);
}

}  // namespace
}  // namespace relicta::ntfs
