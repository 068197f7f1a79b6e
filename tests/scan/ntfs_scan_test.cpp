#include <gtest/gtest.h>

#include "ntfs/mft_layout.h"
#include "ntfs/ntfs_harness.h"
#include "scan/directory_path_cache.h"
#include "scan/found_files.h"
#include "scan/scan_driver.h"
#include "view/found_file_list.h"
#include "volume/filetime.h"

namespace relicta::scan {
namespace {

using test::NtfsImage;
using test::PutLe;
using test::RecordBuilder;

constexpr uint16_t kFree = 0, kInUse = 1, kFreeDir = 2, kDir = 3;

using test::Directory;
using test::Fn;
using test::Named;
using test::Si;

class NtfsScanTest : public test::NtfsHarness {
  protected:
    // `chunked`: as from a container that expands whole chunks.
    std::map<std::string, FoundFile> Scan(NtfsImage& image, bool chunked = false,
                                          std::vector<platform::ByteRun> badRuns = {}) {
        image.Rebuild();
        platform::ScriptedDrive& drive = AddDrive('C', image.bytes, 0, "NTFS");
        drive.readsWholeChunks = chunked;
        drive.badRuns = std::move(badRuns);
        ScanSettings settings;
        settings.scanDrive = "C:\\";
        CompileScanPattern(settings);
        view::MemoryFileList list;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        RunScan(settings, list);
        std::map<std::string, FoundFile> found;
        for (const FoundFile& f : foundFiles)
            found[f.name] = f;
        return found;
    }
};

TEST_F(NtfsScanTest, UnreadableSectorsLoseOnlyTheRecordsInThemAndAreReportedOnce) {
    NtfsImage image;
    for (uint32_t n = 40; n < 48; ++n) {
        const std::u16string name = u"f" + std::u16string(1, static_cast<char16_t>('0' + n - 40));
        image.SetRecord(n, Named(kFree, 5, name).Resident(ntfs::kData, {'x'}).Build());
    }
    image.Rebuild();
    const auto mft = image.bytes.begin() + static_cast<std::ptrdiff_t>(image.RecordOffset(0));
    std::copy(mft, mft + 4 * NtfsImage::kRecordBytes, image.bytes.begin() + 2 * 4096);
    const auto records = [&](uint32_t first, uint32_t count) {
        return platform::ByteRun{static_cast<int64_t>(image.RecordOffset(first)),
                                 uint64_t{count} * NtfsImage::kRecordBytes};
    };
    // Records 1-2 come from $MFTMirr; 42-43 are lost.
    const std::map<std::string, FoundFile> found =
        Scan(image, false, {records(1, 2), records(42, 2)});
    std::vector<std::string> names;
    for (const auto& [name, file] : found) {
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"f0", "f1", "f4", "f5", "f6", "f7"}));
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].caption, "Unreadable Sectors");
    EXPECT_NE(dialogs.shown[0].text.find("Lost with them: 2 MFT records."), std::string::npos)
        << dialogs.shown[0].text;
    EXPECT_EQ(PartialDrives(), 1);
}

TEST_F(NtfsScanTest, TheMftIsAnnouncedAheadOfTheRecordsTheScanReads) {
    NtfsImage image;
    for (uint32_t n = 40; n < 48; ++n) {
        const std::u16string name = u"f" + std::u16string(1, static_cast<char16_t>('0' + n - 40));
        image.SetRecord(n, Named(kFree, 5, name).Resident(ntfs::kData, {'x'}).Build());
    }
    EXPECT_EQ(Scan(image).size(), 8u);
    const auto from = static_cast<int64_t>(image.RecordOffset(16));
    const auto to = static_cast<int64_t>(image.RecordOffset(48));
    std::size_t reads = 0;
    for (std::size_t i = 0; i < os.readLog.size(); ++i) {
        if (os.readLog[i].first >= from && os.readLog[i].first < to) {
            ++reads;
            EXPECT_TRUE(os.AnnouncedBefore(i)) << os.readLog[i].first;
        }
    }
    EXPECT_GT(reads, 0u);
}

TEST_F(NtfsScanTest, NamesPathsAndConditions) {
    NtfsImage image;
    image.SetRecord(30, Directory(kDir, 5, u"docs").Build());
    image.SetRecordInUse(30, true);
    image.SetRecord(
        40,
        Named(kFree, 30, u"report.txt").Resident(ntfs::kData, {'h', 'e', 'l', 'l', 'o'}).Build());
    image.SetRecord(41, Named(kFree, 5, u"REPORT~1.TXT")
                            .Resident(ntfs::kFileName, Fn(5, u"long report name.txt"))
                            .Resident(ntfs::kData, {})
                            .Build());
    image.SetRecord(42, Named(kFree, 5, u"abc.txt")
                            .Resident(ntfs::kFileName, Fn(5, u"xyz.txt"))
                            .Resident(ntfs::kData, {})
                            .Build());
    image.SetRecord(43, Named(kFree, 5, u"free.bin")
                            .NonResident(ntfs::kData, {0x11, 0x04, 0x64}, 4 * 4096)
                            .Build());
    image.SetRecord(44, Named(kFree, 5, u"used.bin")
                            .NonResident(ntfs::kData, {0x11, 0x04, 0x0A}, 4 * 4096)
                            .Build());
    image.SetRecord(45, Named(kFree, 5, u"past.bin")
                            .NonResident(ntfs::kData, {0x21, 0x04, 0xFE, 0x07}, 4 * 4096)
                            .Build());
    image.SetRecord(46, Named(kFree, 5, u"pastthenused.bin")
                            .NonResident(ntfs::kData,
                                         {0x21, 0x04, 0xFE, 0x07, 0x21, 0x02, 0x0C, 0xF8}, 6 * 4096)
                            .Build());
    image.SetRecord(47, Named(kFree, 5, u"nodata.txt").Build());
    const auto found = Scan(image);
    struct Expected {
        const char* name;
        const char* dir;
        const char* condition;
        int64_t size;
    };
    const Expected expected[] = {
        {"report.txt", "C:\\docs\\", "Excellent", 5},
        {"long report name.txt", "C:\\", "Excellent", 0},
        {"abc.txt", "C:\\", "Excellent", 0},
        {"free.bin", "C:\\", "Good", 4 * 4096},
        {"used.bin", "C:\\", "Poor", 4 * 4096},
        {"past.bin", "C:\\", "Hopeless", 4 * 4096},
        {"pastthenused.bin", "C:\\", "Poor", 6 * 4096},
        {"nodata.txt", "C:\\", "Hopeless", 0},
    };
    EXPECT_EQ(found.size(), std::size(expected));
    for (const Expected& e : expected) {
        ASSERT_EQ(found.count(e.name), 1u) << e.name;
        const FoundFile& f = found.at(e.name);
        EXPECT_EQ(f.dir, e.dir) << e.name;
        EXPECT_EQ(f.condition, e.condition) << e.name;
        EXPECT_EQ(f.size, e.size) << e.name;
    }
    EXPECT_EQ(found.at("report.txt").mftOrCluster, 40u);
    EXPECT_EQ(found.at("report.txt").modifiedTime,
              volume::FileTimeFromCalendar({2021, 6, 7, 8, 9, 10}));
}

TEST_F(NtfsScanTest, DirectoryPathsWhenParentsAreGoneReusedOrLoop) {
    NtfsImage image;
    image.SetRecord(50, Directory(kFreeDir, 5, u"olddir").Build());
    image.SetRecord(51, Named(kFree, 50, u"in old dir.txt").Resident(ntfs::kData, {}).Build());
    image.SetRecord(53, Named(kInUse, 5, u"now a file").Resident(ntfs::kData, {}).Build());
    image.SetRecordInUse(53, true);
    image.SetRecord(52, Named(kFree, 53, u"parent reused.txt").Resident(ntfs::kData, {}).Build());
    image.SetRecord(54, Directory(kFreeDir, 55, u"sub").Build());
    image.SetRecord(55, std::vector<uint8_t>(1024, 0x66));
    image.SetRecord(56,
                    Named(kFree, 54, u"lost grandparent.txt").Resident(ntfs::kData, {}).Build());
    image.SetRecord(57, Directory(kFreeDir, 57, u"self").Build());
    image.SetRecord(58, Named(kFree, 57, u"under self.txt").Resident(ntfs::kData, {}).Build());
    image.SetRecord(59, Directory(kFreeDir, 60, u"a").Build());
    image.SetRecord(60, Directory(kFreeDir, 59, u"b").Build());
    image.SetRecord(61, Named(kFree, 59, u"in a loop.txt").Resident(ntfs::kData, {}).Build());
    // Parent references carry the parent's sequence number.
    image.SetRecord(62, Directory(kDir, 5, u"new dir", 7).Build());
    image.SetRecordInUse(62, true);
    image.SetRecord(63, RecordBuilder()
                            .Flags(kFree)
                            .Resident(ntfs::kStandardInformation, Si())
                            .Resident(ntfs::kFileName, Fn(62, u"old seq.txt", 3))
                            .Resident(ntfs::kData, {})
                            .Build());
    image.SetRecord(64, Directory(kFreeDir, 5, u"freed dir", 4).Build());
    image.SetRecord(65, RecordBuilder()
                            .Flags(kFree)
                            .Resident(ntfs::kStandardInformation, Si())
                            .Resident(ntfs::kFileName, Fn(64, u"freed parent.txt", 3))
                            .Resident(ntfs::kData, {})
                            .Build());
    image.SetRecord(66, Directory(kDir, 62, u"live dir", 9).Build());
    image.SetRecordInUse(66, true);
    image.SetRecord(67, RecordBuilder()
                            .Flags(kFree)
                            .Resident(ntfs::kStandardInformation, Si())
                            .Resident(ntfs::kFileName, Fn(66, u"in live dir.txt", 9))
                            .Resident(ntfs::kData, {})
                            .Build());
    const std::map<std::string, std::string> expected = {
        {"in old dir.txt", "C:\\olddir\\"}, {"in live dir.txt", "C:\\new dir\\live dir\\"},
        {"parent reused.txt", "C:\\?\\"},   {"lost grandparent.txt", "C:\\?\\sub\\"},
        {"under self.txt", "self\\"},       {"in a loop.txt", "b\\a\\"},
        {"old seq.txt", "C:\\?\\"},         {"freed parent.txt", "C:\\freed dir\\"},
    };
    // The same paths when the folders in use are noted as the records stream past.
    for (const bool chunked : {false, true}) {
        const auto found = Scan(image, chunked);
        EXPECT_EQ(found.size(), expected.size());
        for (const auto& [name, dir] : expected) {
            ASSERT_EQ(found.count(name), 1u) << name;
            EXPECT_EQ(found.at(name).dir, dir) << name << (chunked ? ", chunked" : "");
        }
    }
}

TEST_F(NtfsScanTest, RecordsStillMarkedInUseReparsePointsAndNamelessRecords) {
    NtfsImage image;
    image.SetRecord(66, Named(kInUse, 5, u"half deleted.txt").Resident(ntfs::kData, {}).Build());
    image.SetRecord(67, Named(kFree, 5, u"link", 1, 0x400).Resident(ntfs::kData, {}).Build());
    image.SetRecord(
        68, RecordBuilder().Flags(kFree).Resident(ntfs::kStandardInformation, Si()).Build());
    const auto found = Scan(image);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found.begin()->first, "half deleted.txt (MFT not marked unused) ");
    EXPECT_EQ(dialogs.Texts(), (std::vector<std::string>{
                                   "MFT bitmap says deleted, but MFT record not yet marked unused",
                                   "File with no name found.  This seems odd."}));
    EXPECT_EQ(dialogs.Captions(), (std::vector<std::string>{"help", "found"}));
}

// An attribute list of entries (type, record), every attribute instance 0.
std::vector<uint8_t> AttributeList(const std::vector<std::pair<uint32_t, uint32_t>>& entries) {
    std::vector<uint8_t> list;
    for (const auto& [type, record] : entries) {
        std::vector<uint8_t> e(32, 0);
        PutLe(e, 0, type, 4);
        PutLe(e, 4, 32, 2);
        e[7] = 26;
        PutLe(e, 16, record, 6);
        list.insert(list.end(), e.begin(), e.end());
    }
    return list;
}

// Names kept in extension records: a big directory's (ntfs-3g) and a deleted file's own.
TEST_F(NtfsScanTest, NamesInExtensionRecords) {
    NtfsImage image;
    RecordBuilder bigDir;
    bigDir.Flags(kDir)
        .Resident(ntfs::kStandardInformation, Si(0x10))
        .Resident(ntfs::kAttributeList, AttributeList({{0x10, 30}, {0x30, 31}, {0x90, 31}}));
    image.SetRecord(30, bigDir.Build());
    RecordBuilder bigDirName;
    bigDirName.Flags(kInUse)
        .Base(30)
        .Resident(ntfs::kFileName, Fn(5, u"big dir", 0, 0x10))
        .Resident(ntfs::kIndexRoot, std::vector<uint8_t>(32, 0), u"$I30");
    image.SetRecord(31, bigDirName.Build());
    // A directory whose extension record was taken by another file since.
    RecordBuilder stolen;
    stolen.Flags(kDir)
        .Resident(ntfs::kStandardInformation, Si(0x10))
        .Resident(ntfs::kAttributeList, AttributeList({{0x30, 33}}));
    image.SetRecord(32, stolen.Build());
    image.SetRecord(
        33, RecordBuilder().Flags(kInUse).Base(99).Resident(ntfs::kFileName, Fn(5, u"x")).Build());
    for (uint32_t n : {30, 31, 32, 33}) {
        image.SetRecordInUse(n, true);
    }
    image.SetRecord(40, Named(kFree, 30, u"inside.txt").Resident(ntfs::kData, {'a'}).Build());
    image.SetRecord(41, Named(kFree, 32, u"lost.txt").Resident(ntfs::kData, {'b'}).Build());
    RecordBuilder freedBase;
    freedBase.Flags(kFree)
        .Resident(ntfs::kStandardInformation, Si())
        .Resident(ntfs::kAttributeList, AttributeList({{0x30, 43}, {0x80, 42}}))
        .Resident(ntfs::kData, {'c'});
    image.SetRecord(42, freedBase.Build());
    image.SetRecord(43, RecordBuilder()
                            .Flags(kFree)
                            .Base(42)
                            .Resident(ntfs::kFileName, Fn(30, u"linked.txt"))
                            .Build());
    const std::map<std::string, FoundFile> found = Scan(image);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found.at("inside.txt").dir, "C:\\big dir\\");
    EXPECT_EQ(found.at("lost.txt").dir, "C:\\?\\");
    EXPECT_EQ(found.at("linked.txt").dir, "C:\\big dir\\");
    EXPECT_TRUE(dialogs.shown.empty()) << dialogs.Texts().front();
}

TEST(DirectoryPathCacheTest, KeepsTheFirstPathOfEveryKeyThroughGrowth) {
    DirectoryPathCache cache;
    // Keys as a scan makes them (sequence << 32 | record), many sharing their low bits.
    const auto key = [](uint64_t i) { return (i % 7) << 32 | (i * 1024); };
    constexpr uint64_t kKeys = 5000;
    for (uint64_t i = 0; i < kKeys; ++i) {
        cache.Add(key(i), "C:\\" + std::to_string(i) + "\\");
        cache.Add(key(i), "a later walk");
    }
    EXPECT_EQ(cache.Size(), kKeys);
    for (uint64_t i = 0; i < kKeys; ++i) {
        const SharedText* path = cache.Find(key(i));
        ASSERT_NE(path, nullptr) << i;
        EXPECT_EQ(*path, "C:\\" + std::to_string(i) + "\\");
    }
    EXPECT_EQ(cache.Find(key(kKeys)), nullptr);
    EXPECT_EQ(DirectoryPathCache().Find(0), nullptr);
}

}  // namespace
}  // namespace relicta::scan
