#include <gtest/gtest.h>

#include <map>

#include "scan/found_files.h"
#include "scan/scan_driver.h"
#include "support/boot_sectors.h"
#include "support/fat_builder.h"
#include "view/found_file_list.h"
#include "volume/volume_harness.h"

namespace relicta::scan {
namespace {

using test::DirEntry;
using test::FatImage;
using test::File;

DirEntry Directory(const char* name83, uint32_t cluster, bool deleted = false) {
    DirEntry e = File(name83, cluster, 0, deleted);
    e.attributes = 0x10;
    return e;
}

class FatScanTest : public test::VolumeHarness {
  protected:
    // Scans `image` as drive C; the entries found, by name.
    std::map<std::string, FoundFile> Scan(const FatImage& image, const std::string& pattern = "*") {
        AddDrive('C', image.bytes, 0, "FAT");
        ScanSettings settings;
        settings.scanDrive = "C:\\";
        settings.filePattern = pattern;
        CompileScanPattern(settings);
        view::MemoryFileList list;
        RunScan(settings, list);
        std::map<std::string, FoundFile> found;
        for (const FoundFile& f : foundFiles) {
            found[f.name] = f;
        }
        EXPECT_EQ(list.rows.size(), foundFiles.size());
        return found;
    }
};

TEST_F(FatScanTest, NamesOfDeletedEntries) {
    FatImage image;
    image.RootEntry(0, File("REPORT  TXT", 0, 0));
    image.LongName(0, 3, u"Quarterly report.docx", true);
    image.RootEntry(3, File("QUARTE~1DOC", 0, 0));
    DirEntry lower = File("README  TXT", 0, 0);
    lower.caseFlags = 0x18;
    image.RootEntry(4, lower);
    image.RootEntry(5, File("LIVE    TXT", 0, 0, false));
    image.LongName(0, 8, u"日本語のファイル.txt", true);
    image.RootEntry(8, File("_______ TXT", 0, 0));
    const auto found = Scan(image);
    std::vector<std::string> names;
    for (const auto& [name, f] : found)
        names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"?EPORT.TXT", "?eadme.txt", "Quarterly report.docx",
                                               "日本語のファイル.txt"}));
}

TEST_F(FatScanTest, ConditionsFromTheFatAndTheSize) {
    FatImage image;
    image.RootEntry(0, File("EMPTY   DAT", 50, 0));
    image.RootEntry(1, File("NOCLUST DAT", 0, 100));
    image.RootEntry(2, File("FREE    DAT", 100, 3 * 2048));
    image.RootEntry(3, File("TAKEN   DAT", 200, 3 * 2048));
    image.SetFat(201, 0xFFFF);  // the second cluster belongs to a live file now
    image.RootEntry(4, File("PASTEND DAT", 9960, 3 * 2048));
    const auto found = Scan(image);
    const std::map<std::string, std::string> expected = {{"?MPTY.DAT", "Poor"},
                                                         {"?OCLUST.DAT", "Hopeless"},
                                                         {"?REE.DAT", "Good"},
                                                         {"?AKEN.DAT", "Poor"},
                                                         {"?ASTEND.DAT", "Hopeless"}};
    ASSERT_EQ(found.size(), expected.size());
    for (const auto& [name, condition] : expected) {
        EXPECT_EQ(found.at(name).condition, condition) << name;
    }
    EXPECT_EQ(found.at("?REE.DAT").mftOrCluster, 100u);
    EXPECT_EQ(found.at("?REE.DAT").dir, "C:\\");
    EXPECT_EQ(found.at("?REE.DAT").attributes, 0x20u);
}

TEST_F(FatScanTest, LiveDirectoriesAreWalkedWholeDeletedOnesFromTheirFirstCluster) {
    FatImage image;
    image.RootEntry(0, Directory("PHOTOS     ", 10));
    image.DirectoryHeader(10, 0);
    image.SetFat(10, 11);  // a directory of two clusters
    image.SetFat(11, 0xFFFF);
    image.ClusterEntry(11, 5, File("LATE    JPG", 300, 10));  // in the second cluster
    image.ClusterEntry(10, 2, File("LIVE    JPG", 301, 10, false));
    image.RawSlot(10, 3, std::vector<uint8_t>(32, 0));  // an unused slot does not end the walk
    image.ClusterEntry(10, 4, File("EARLY   JPG", 302, 10));
    image.RootEntry(1, Directory("OLD        ", 20, true));
    image.DirectoryHeader(20, 0);
    image.ClusterEntry(
        20, 2, File("INSIDE  TXT", 303, 10, false));  // live-looking, but its directory is gone
    image.ClusterEntry(20, 3, Directory("SUB        ", 21));
    image.DirectoryHeader(21, 20);
    image.ClusterEntry(21, 2, File("DEEP    TXT", 304, 10, false));
    DirEntry e5 = File(
        "\x05"
        "BC     TXT",
        305, 10, false);
    image.ClusterEntry(21, 3, e5);
    image.RootEntry(2, File("AFTER   TXT", 306, 10, false));  // a later live file of the root
    const auto found = Scan(image);
    EXPECT_EQ(found.at("?ATE.JPG").dir, "C:\\PHOTOS");
    EXPECT_EQ(found.at("?ARLY.JPG").dir, "C:\\PHOTOS");
    EXPECT_EQ(found.at("INSIDE.TXT").dir, "C:\\?LD");
    EXPECT_EQ(found.at("DEEP.TXT").dir, "C:\\?LD\\SUB");
    EXPECT_EQ(found.count("σBC.TXT"), 1u);  // 0x05 stands for 0xE5, which is σ in code page 437
    EXPECT_EQ(found.size(), 5u);
}

TEST_F(FatScanTest, DirectoriesThatLoopOrAreNotDirectoriesEndQuietly) {
    FatImage image;
    image.RootEntry(0, Directory("LOOP       ", 10));
    image.DirectoryHeader(10, 0);
    image.ClusterEntry(10, 2, Directory("BACK       ", 10));  // leads back to itself
    image.ClusterEntry(10, 3, Directory("UP         ", 11));
    image.DirectoryHeader(11, 10);
    image.ClusterEntry(11, 2, Directory("AGAIN      ", 10));  // and to its parent
    image.ClusterEntry(11, 3, File("FOUND   TXT", 50, 10));
    image.RootEntry(1, Directory("NOTDIR     ", 12, true));  // its cluster holds file data now
    image.RawSlot(12, 0, std::vector<uint8_t>(32, 'x'));
    image.RootEntry(2, Directory("ENDMARK    ", 13));
    image.RawSlot(13, 0, {0xFF, 0xFF});
    image.RootEntry(3, Directory("FARAWAY    ", 60000));  // beyond the volume
    const auto found = Scan(image);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found.at("?OUND.TXT").dir, "C:\\LOOP\\UP");
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(FatScanTest, RealVolumesQuirksAndDamagedNames) {
    FatImage image;
    // macOS writes "." entries with the archive bit beside the directory bit.
    image.RootEntry(0, Directory("TRASHES    ", 10));
    image.DirectoryHeader(10, 0);
    image.RawSlot(10, 0, {'.', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', 0x30});
    image.ClusterEntry(10, 2, File("MAC     DAT", 40, 10));
    // Stale slots of another long name stand in front of this one's: not part of it.
    image.LongName(0, 5, u"stale neighbour name", true);  // slots 3 and 4
    image.LongName(0, 6, u"own name.txt", true);          // slot 5
    image.RootEntry(6, File("OWNNAM~1TXT", 0, 0));
    for (std::size_t slot = 3; slot < 5; ++slot) {  // give the stale slots another checksum
        image.bytes[image.SlotOffset(0, slot) + 0x0D] = 0x11;
    }
    image.RootEntry(7, File("A\x01"
                            "B     TXT",
                            0, 0));  // a control character in a damaged name
    const auto found = Scan(image);
    EXPECT_EQ(found.count("?AC.DAT"), 1u);
    EXPECT_EQ(found.count("own name.txt"), 1u);
    EXPECT_EQ(found.count("?_B.TXT"), 1u);
    EXPECT_EQ(found.size(), 3u);
}

TEST_F(FatScanTest, PatternAndItemNumbersStartAgainWithEachScan) {
    FatImage image;
    image.RootEntry(0, File("A       TXT", 0, 0));
    image.RootEntry(1, File("B       DOC", 0, 0));
    EXPECT_EQ(Scan(image, "*.doc").size(), 1u);
    EXPECT_EQ(Scan(image).size(), 2u);
    EXPECT_EQ(foundFiles.size(), 2u);
}

}  // namespace
}  // namespace relicta::scan
