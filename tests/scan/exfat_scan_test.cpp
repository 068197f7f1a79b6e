#include <gtest/gtest.h>

#include <map>

#include "scan/exfat_entries.h"
#include "scan/found_files.h"
#include "scan/scan_driver.h"
#include "support/exfat_builder.h"
#include "view/found_file_list.h"
#include "volume/volume_harness.h"

namespace relicta::scan {
namespace {

using test::ExFatEntrySet;
using test::ExFatImage;

class ExFatScanTest : public test::VolumeHarness {
  protected:
    std::map<std::string, FoundFile> Scan(const ExFatImage& image) {
        AddDrive('C', image.bytes, 0, "exFAT");
        ScanSettings settings;
        settings.scanDrive = "C:\\";
        settings.filePattern = "*";
        CompileScanPattern(settings);
        view::MemoryFileList list;
        RunScan(settings, list);
        std::map<std::string, FoundFile> found;
        for (const FoundFile& f : foundFiles) {
            found[f.dir + "|" + f.name] = f;
        }
        return found;
    }
};

ExFatEntrySet Deleted(const char16_t* name, uint32_t first, uint64_t length, bool noFatChain) {
    ExFatEntrySet set;
    set.name = name;
    set.firstCluster = first;
    set.dataLength = length;
    set.noFatChain = noFatChain;
    return set;
}

// How each layout is rated: Good only where every cluster is known and free.
TEST_F(ExFatScanTest, LayoutsAndConditions) {
    ExFatImage image;
    std::size_t at = 1;
    const auto put = [&](const ExFatEntrySet& set) { at = image.PutSet(4, at, set); };
    put(Deleted(u"run.bin", 100, 1500, true));
    put(Deleted(u"run-reused.bin", 110, 1500, true));
    image.SetInUse(111, true);
    put(Deleted(u"chain.bin", 120, 1500, false));
    image.SetFat(120, 130);
    image.SetFat(130, 140);
    image.SetFat(140, 0xFFFFFFFF);
    put(Deleted(u"chain-gone.bin", 150, 1500, false));
    put(Deleted(u"chain-looped.bin", 160, 1500, false));
    image.SetFat(160, 160);
    put(Deleted(u"one-cluster.bin", 170, 300, false));
    put(Deleted(u"no-cluster.bin", 0, 300, true));
    put(Deleted(u"past-the-end.bin", ExFatImage::kClusterCount, 5000, true));
    put(Deleted(u"empty.bin", 0, 0, true));
    ExFatEntrySet live = Deleted(u"live.bin", 180, 10, true);
    live.deleted = false;
    put(live);
    struct Expected {
        const char* name;
        const char* condition;
        DataLayout layout;
    };
    const Expected expected[] = {
        {"run.bin", kGood, DataLayout::Contiguous},
        {"run-reused.bin", kPoor, DataLayout::Contiguous},
        {"chain.bin", kGood, DataLayout::Chain},
        {"chain-gone.bin", kPoor, DataLayout::Guessed},
        {"chain-looped.bin", kPoor, DataLayout::Guessed},
        {"one-cluster.bin", kGood, DataLayout::Contiguous},
        {"no-cluster.bin", kHopeless, DataLayout::Contiguous},
        {"past-the-end.bin", kHopeless, DataLayout::Contiguous},
        {"empty.bin", kGood, DataLayout::Contiguous},
    };
    const auto found = Scan(image);
    EXPECT_EQ(found.size(), std::size(expected));
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.name);
        const auto f = found.find(std::string("C:\\|") + e.name);
        ASSERT_NE(f, found.end());
        EXPECT_EQ(f->second.condition, e.condition);
        EXPECT_EQ(f->second.layout, e.layout);
    }
}

// A deleted folder shrunk to one cluster is read on into the cluster after its files'
// data; a cluster that is not entries, or whose sets fail their checksums, ends it.
TEST_F(ExFatScanTest, DeletedFolderReadPastItsRecordedLength) {
    const auto folder = [](uint32_t first) {
        ExFatEntrySet set = Deleted(u"Photos", first, 512, true);
        set.attributes = 0x10;
        return set;
    };
    struct Case {
        const char* what;
        bool breakSecondCluster;
        std::size_t listed;
    };
    const auto name = [](char16_t group, uint32_t i) {
        return u"photograph " + std::u16string(1, group) + std::u16string(1, u'0' + i) + u".jpg";
    };
    for (const Case& c : {Case{"continued", false, 8}, Case{"checksum broken", true, 4}}) {
        SCOPED_TRACE(c.what);
        ExFatImage image;
        image.PutSet(4, 1, folder(100));
        // Four one-cluster files fill cluster 100 (16 entries, sets of 4); their data takes
        // 101-104; the folder's next cluster is 105, the next files' data 106 on.
        for (uint32_t i = 0; i < 4; ++i) {
            image.PutSet(100, 4 * i, Deleted(name(u'a', i).c_str(), 101 + i, 200, true));
            image.PutSet(105, 4 * i, Deleted(name(u'b', i).c_str(), 106 + i, 200, true));
        }
        if (c.breakSecondCluster) {
            image.bytes[image.ClusterOffset(105) + 9] ^= 0xFF;
        }
        const auto found = Scan(image);
        EXPECT_EQ(found.size(), c.listed);
        for (const auto& [key, f] : found) {
            EXPECT_EQ(f.dir, "C:\\Photos") << key;
        }
    }
}

TEST(ExFatEntries, TimesAndOffsets) {
    ExFatEntrySet set = Deleted(u"t.txt", 0, 0, true);
    set.utcOffset = 0x80 | 0x7C;  // valid, -4 x 15 minutes
    std::vector<uint8_t> bytes = test::ExFatSetBytes(set);
    bytes[0x15] = 150;  // 1.5 s past the even second
    const std::optional<ExFatFileSet> parsed = ParseExFatFileSet(bytes, 0);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(parsed->deleted);
    EXPECT_EQ(parsed->UtcOffsetMinutes(), std::optional<int16_t>(-60));
    EXPECT_EQ(parsed->ModifiedFileTime() % 100000000, 75000000u);  // 6 s + 1.5 s past 03:04:00
    set.utcOffset = 0x04;  // an offset without its valid bit
    EXPECT_FALSE(ParseExFatFileSet(test::ExFatSetBytes(set), 0)->UtcOffsetMinutes());
}

}  // namespace
}  // namespace relicta::scan
