// Old volumes' files listed under their paths: folders up to the root, made-up names where
// a folder's own entry is gone or no folder is known, loops cut, files listed once.

#include <gtest/gtest.h>

#include "deep/old_volume.h"
#include "view/found_file_list.h"

namespace relicta::deep {
namespace {

OldEntry Folder(const std::string& name, uint64_t key, uint64_t parent) {
    OldEntry e;
    e.name = name;
    e.key = key;
    e.parentKey = parent;
    e.isFolder = true;
    return e;
}

OldEntry File(const std::string& name, uint64_t parent, uint32_t number = 100) {
    OldEntry e;
    e.name = name;
    e.parentKey = parent;
    e.file.size = 10;
    e.file.mftOrCluster = number;
    return e;
}

std::vector<std::string> Listed() {
    std::vector<std::string> paths;
    for (const scan::FoundFile& f : scan::foundFiles) {
        paths.push_back(f.dir + (f.dir.ends_with('\\') ? "" : "\\") + f.name);
    }
    return paths;
}

class OldVolumeTest : public ::testing::Test {
  protected:
    void SetUp() override { scan::ClearFoundFiles(); }
    void TearDown() override { scan::ClearFoundFiles(); }
    std::size_t Add(std::vector<OldVolume>& volumes, const std::string& pattern = "*") {
        pattern_.Compile(pattern);
        scan::ScanContext context{list_, scan::ScanFilters{pattern, &pattern_, false}};
        return AddOldVolumeFiles(context, volumes, 'D', 0);
    }
    view::MemoryFileList list_;
    scan::CompiledPattern pattern_;
};

TEST_F(OldVolumeTest, PathsUpToTheRootOrAMadeUpFolder) {
    constexpr uint64_t kRoot = 5;
    const uint64_t kGone = 77 | (uint64_t{3} << 48);  // a sequence number above the number
    std::vector<OldVolume> volumes(1);
    volumes[0].kind = "NTFS";
    volumes[0].rootKey = kRoot;
    volumes[0].entries = {
        Folder("Photos", 10, kRoot), Folder("2024", 11, 10),         File("a.jpg", 11, 1),
        File("top.txt", kRoot, 2),   Folder("Orphan", 12, kGone),    File("b.doc", 12, 3),
        File("c.bin", kGone, 4),     File("lost.txt", kNoParent, 5), Folder("Loop1", 20, 21),
        Folder("Loop2", 21, 20),     File("d.txt", 21, 6),
    };
    EXPECT_EQ(Add(volumes), 6u);
    EXPECT_EQ(Listed(), (std::vector<std::string>{
                            "D:\\Photos\\2024\\a.jpg",
                            "D:\\top.txt",
                            "D:\\$Folder77\\Orphan\\b.doc",
                            "D:\\$Folder77\\c.bin",
                            "D:\\$LostFiles\\lost.txt",
                            "D:\\$Folder21\\d.txt",
                        }));
}

TEST_F(OldVolumeTest, SeveralVolumesEachBelowItsStartAndNoFileTwice) {
    std::vector<OldVolume> volumes(3);
    volumes[0].start = 1024 * 512;
    volumes[0].rootKey = 5;
    volumes[0].entries = {File("one.txt", 5, 1), File("one.txt", 5, 1), File("three.txt", 5, 7)};
    volumes[1].start = 4096 * 512;
    volumes[1].rootKey = 0;
    volumes[1].entries = {File("two.txt", 0, 2), File("skip.tmp", 0, 3)};
    volumes[2].entries = {Folder("empty", 9, kNoParent)};  // no files: no prefix of its own
    // The normal scan found one of them already.
    scan::AddFoundFile(list_, "one.txt", "D:\\", 10, 0, 0, scan::kGood, 1);
    EXPECT_EQ(Add(volumes, "*.txt"), 2u);
    EXPECT_EQ(Listed(), (std::vector<std::string>{"D:\\one.txt", "D:\\$Volume1024\\three.txt",
                                                  "D:\\$Volume4096\\two.txt"}));
    EXPECT_EQ(scan::foundFiles[2].dir, "D:\\$Volume4096");  // a FAT folder, as its scan writes it
}

}  // namespace
}  // namespace relicta::deep
