// The readers behind names beyond the peers, over crafted bytes: $I files of the Recycle Bin,
// and the test that takes a cluster for a deleted folder's next one.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "scan/fat_entries.h"
#include "scan/folder_continuation.h"
#include "scan/recycle_bin.h"

namespace relicta::scan {
namespace {

std::vector<uint8_t> InfoFile(uint64_t version, const std::u16string& path, uint32_t length = 0) {
    std::vector<uint8_t> data(24);
    data[0] = static_cast<uint8_t>(version);
    data[16] = 1;  // the deletion time
    if (version == 2) {
        const uint32_t chars = length != 0 ? length : static_cast<uint32_t>(path.size() + 1);
        for (int i = 0; i < 4; ++i) {
            data.push_back(static_cast<uint8_t>(chars >> (8 * i)));
        }
    }
    for (char16_t c : path) {
        data.push_back(static_cast<uint8_t>(c));
        data.push_back(static_cast<uint8_t>(c >> 8));
    }
    data.resize(version == 1 ? 24 + 520 : data.size() + 2);
    return data;
}

TEST(RecycleInfo, OnlyAFileThatChecksOutNamesAPath) {
    struct Case {
        const char* what;
        std::vector<uint8_t> data;
        const char* path;  // nullptr: refused
    };
    const std::vector<Case> cases = {
        {"version 1", InfoFile(1, u"C:\\Users\\bob\\a.jpg"), "C:\\Users\\bob\\a.jpg"},
        {"version 2", InfoFile(2, u"D:\\Отчёт.pdf"), "D:\\Отчёт.pdf"},
        {"length past the file", InfoFile(2, u"C:\\a.txt", 4000), nullptr},
        {"length short of the NUL", InfoFile(2, u"C:\\a.txt", 5), nullptr},
        {"version 3", InfoFile(3, u"C:\\a.txt"), nullptr},
        {"not a drive path", InfoFile(2, u"\\\\server\\a.txt"), nullptr},
        {"a folder's path with no name", InfoFile(2, u"C:\\a\\"), nullptr},
        {"cut short", std::vector<uint8_t>(20, 0), nullptr},
    };
    for (const Case& c : cases) {
        const std::optional<RecycleInfo> info = ParseRecycleInfo(c.data);
        EXPECT_EQ(info.has_value(), c.path != nullptr) << c.what;
        if (info && c.path) {
            EXPECT_EQ(info->originalPath, c.path) << c.what;
            EXPECT_EQ(info->deletedTime, 1u) << c.what;
        }
    }
    EXPECT_TRUE(RecycleBin::IsInfoFile("C:\\$Recycle.Bin\\S-1-5-21-1\\", "$IAB12CD.jpg"));
    EXPECT_TRUE(RecycleBin::IsInfoFile("C:\\$RECYCLE.BIN\\S-1-5-21-1", "?IAB12CD.JPG"));
    EXPECT_FALSE(RecycleBin::IsInfoFile("C:\\Users\\S-1-5-21-1", "$IAB12CD.jpg"));
    EXPECT_FALSE(RecycleBin::IsInfoFile("C:\\$Recycle.Bin\\S-1-5-21-1", "$RAB12CD.jpg"));
}

// A short entry "NAME    TXT" (deleted when `deleted`), with a long-name slot in front.
void PutEntry(std::vector<uint8_t>& cluster, std::size_t slot, const char* name11, bool deleted,
              uint32_t firstCluster, uint32_t size) {
    uint8_t* e = cluster.data() + slot * 32;
    std::memcpy(e, name11, 11);
    const uint8_t checksum = ShortNameChecksum({e, 32});
    uint8_t* lfn = e - 32;
    lfn[0] = deleted ? 0xE5 : 0x41;
    lfn[11] = 0x0F;
    lfn[13] = checksum;
    lfn[1] = 'n';
    if (deleted) {
        e[0] = 0xE5;
    }
    e[11] = 0x20;
    e[0x18] = 0x21;  // 1980-01-01
    e[0x1A] = static_cast<uint8_t>(firstCluster);
    e[0x1B] = static_cast<uint8_t>(firstCluster >> 8);
    std::memcpy(e + 0x1C, &size, 4);
}

TEST(DirectoryEntries, AClusterIsTakenOnlyWhenEverySlotReadsAsAnEntry) {
    const EntryLimits limits{true, 10000, 10000 * 512};
    const auto base = [] {
        std::vector<uint8_t> cluster(512);
        PutEntry(cluster, 1, "NAME    TXT", true, 300, 100);
        PutEntry(cluster, 3, "OTHER   TXT", false, 301, 100);
        return cluster;
    };
    struct Case {
        const char* what;
        std::size_t at;
        uint8_t value;
        bool taken;
    };
    const Case cases[] = {
        {"as written", 0, 0, true},
        {"a lower-case short name", 3 * 32 + 1, 'a', false},
        {"a long name of another entry", 2 * 32 + 13, 0x55, false},
        {"a dot entry", 3 * 32, '.', false},
        {"a volume label", 3 * 32 + 11, 0x08, false},
        {"a first cluster past the volume", 3 * 32 + 0x1B, 0xFF, false},
        {"a month 0", 3 * 32 + 0x18, 0x01, false},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> cluster = base();
        if (c.at != 0) {
            cluster[c.at] = c.value;
        }
        EXPECT_EQ(CheckDirectoryEntries(cluster, limits).readsAsEntries, c.taken) << c.what;
    }
    EXPECT_EQ(CheckDirectoryEntries(base(), limits).firstDataCluster, 300);
    EXPECT_FALSE(CheckDirectoryEntries(std::vector<uint8_t>(512), limits).readsAsEntries);
    // A deleted entry's lost first byte is the one its long name's checksum asks for.
    std::vector<uint8_t> entry(32, ' ');
    std::memcpy(entry.data(), "QWERTY  TXT", 11);
    const uint8_t checksum = ShortNameChecksum(entry);
    entry[0] = 0xE5;
    EXPECT_EQ(LostFirstByte(entry, checksum), 'Q');
}

TEST(KnownData, RangesMergeAndAreSkipped) {
    KnownData known;
    for (const auto& [start, end] : {std::pair{10, 20}, {30, 40}, {18, 25}, {25, 30}, {50, 51}}) {
        known.Add(start, end);
    }
    EXPECT_EQ(known.After(5), 5);
    EXPECT_EQ(known.After(12), 40);
    EXPECT_EQ(known.After(40), 40);
    EXPECT_EQ(known.After(50), 51);
}

}  // namespace
}  // namespace relicta::scan
