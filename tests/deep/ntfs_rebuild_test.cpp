// Old NTFS records found anywhere on a drive: which sectors are taken for records, how they
// are put back into their MFT with its volume's geometry, and quick-formatted volumes made by
// mkntfs whose old files come back under their paths, byte for byte.

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "deep/ntfs_rebuild.h"
#include "deep/ntfs_record_finder.h"
#include "ntfs/mft_layout.h"
#include "support/boot_sectors.h"
#include "support/ntfs_builder.h"
#include "support/paths.h"

namespace relicta::deep {
namespace {

namespace fs = std::filesystem;
using test::PutLe;
using test::RecordBuilder;

constexpr int64_t kCluster = 4096;
constexpr int64_t kRecord = 1024;
constexpr int64_t kMftLcn = 4;

// A record as an NTFS 3.1 volume stores it: its own number in the header, fixups applied.
std::vector<uint8_t> OnDisk(const RecordBuilder& builder, uint32_t number) {
    std::vector<uint8_t> r = builder.Build();
    PutLe(r, ntfs::record::RecordNumber, number, 4);
    return r;
}

RecordBuilder FileWithRuns(uint32_t parent, uint16_t parentSequence, const std::u16string& name,
                           std::vector<uint8_t> runs, int64_t size) {
    RecordBuilder r;
    r.Resident(ntfs::kStandardInformation, test::Si())
        .Resident(ntfs::kFileName, test::Fn(parent, name, parentSequence))
        .NonResident(ntfs::kData, std::move(runs), size);
    return r;
}

void Put(std::vector<uint8_t>& drive, int64_t at, const std::vector<uint8_t>& bytes) {
    std::copy(bytes.begin(), bytes.end(), drive.begin() + at);
}

std::vector<FoundNtfsRecord> Find(const std::vector<uint8_t>& drive, std::size_t starts) {
    NtfsRecordFinder finder;
    finder.Feed(Block{0, drive, starts});
    return finder.Found();
}

TEST(NtfsRecordFinderTest, TakesSoundRecordsOnly) {
    const RecordBuilder file = FileWithRuns(5, 5, u"a.txt", {0x21, 0x02, 0x00, 0x01}, 5000);
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> change;
        bool taken;
    };
    const Case cases[] = {
        {"a sound record", [](std::vector<uint8_t>&) {}, true},
        {"a sector's last word differs from the check word",
         [](std::vector<uint8_t>& r) { r[kRecord - 1] ^= 1; }, false},
        {"update sequence of the wrong length",
         [](std::vector<uint8_t>& r) { PutLe(r, ntfs::record::UpdateSequenceArraySize, 4, 2); },
         false},
        {"more bytes in use than allocated",
         [](std::vector<uint8_t>& r) { PutLe(r, ntfs::record::BytesInUse, kRecord + 8, 4); },
         false},
        {"first attribute past the bytes in use",
         [](std::vector<uint8_t>& r) { PutLe(r, ntfs::record::FirstAttributeOffset, 1016, 2); },
         false},
        {"an allocated size no record has",
         [](std::vector<uint8_t>& r) { PutLe(r, ntfs::record::BytesAllocated, 1536, 4); }, false},
        {"an extension record",
         [](std::vector<uint8_t>& r) { PutLe(r, ntfs::record::BaseRecord, 70, 6); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> record = OnDisk(file, 70);
        c.change(record);
        std::vector<uint8_t> drive(std::size_t{16} * 1024, 0);
        Put(drive, 4096, record);
        const std::vector<FoundNtfsRecord> found = Find(drive, drive.size());
        ASSERT_EQ(found.size(), c.taken ? 1u : 0u);
        if (c.taken) {
            EXPECT_EQ(found[0].offset, 4096);
            EXPECT_EQ(found[0].number, 70u);
            EXPECT_EQ(found[0].name, "a.txt");
            EXPECT_EQ(found[0].parent, 5 | uint64_t{5} << 48);
            EXPECT_EQ(found[0].dataSize, 5000);
        }
    }
}

TEST(NtfsRecordFinderTest, ARecordBeginsInOneBlockOnly) {
    std::vector<uint8_t> drive(8192, 0);
    Put(drive, 6656, OnDisk(FileWithRuns(5, 5, u"a.txt", {0x11, 0x01, 0x10}, 10), 70));
    EXPECT_EQ(Find(drive, 6656).size(), 0u);  // the next block begins with it
    EXPECT_EQ(Find(drive, 7168).size(), 1u);
    drive.resize(7168);  // cut off by the end of what could be read
    EXPECT_EQ(Find(drive, 7168).size(), 0u);
}

// A volume of 4096-byte clusters at `volumeStart` of a 2 MiB drive: its MFT at cluster 4, in
// one run or with records from `secondRunFrom` on elsewhere (record 0's second run maps 64 on
// to cluster 200); the root, files in it, a folder, a file in it and a deleted file whose
// folder was deleted too.
struct CraftedVolume {
    int64_t volumeStart = 0;
    bool bootSector = false;
    uint32_t secondRunFrom = 0;
    bool record0 = true;
};

std::vector<uint8_t> CraftDrive(const CraftedVolume& v) {
    std::vector<uint8_t> drive(2 << 20, 0);
    const int64_t mft = v.volumeStart + kMftLcn * kCluster;
    const int64_t second = v.volumeStart + 200 * kCluster - 64 * kRecord;
    const auto at = [&](uint32_t n) {
        return (v.secondRunFrom != 0 && n >= v.secondRunFrom ? second : mft) + n * kRecord;
    };
    const std::vector<uint8_t> mftRuns =
        v.secondRunFrom != 0 ? std::vector<uint8_t>{0x11, 0x10, 0x04, 0x21, 0x10, 0xC4, 0x00}
                             : std::vector<uint8_t>{0x11, 0x20, 0x04};
    if (v.record0) {
        Put(drive, at(0), OnDisk(FileWithRuns(5, 5, u"$MFT", mftRuns, 32 * kCluster), 0));
    }
    Put(drive, at(5), OnDisk(test::Directory(3, 5, u".", 5), 5));
    for (const uint32_t n : {40u, 41u, 42u}) {
        Put(drive, at(n), OnDisk(test::Named(1, 5, u"r" + std::u16string(1, u'0' + n - 40)), n));
    }
    Put(drive, at(64), OnDisk(test::Directory(3, 5, u"docs", 2), 64));
    Put(drive, at(65), OnDisk(FileWithRuns(64, 2, u"a.txt", {0x11, 0x02, 0x64}, 5000), 65));
    Put(drive, at(66), OnDisk(test::Directory(0, 64, u"old", 4), 66));  // deleted: sequence up
    Put(drive, at(67), OnDisk(FileWithRuns(66, 3, u"b.txt", {0x11, 0x01, 0x70}, 100).Flags(0), 67));
    if (v.bootSector) {
        test::NtfsLayout layout;
        layout.numberSectors = 1000;
        layout.mft2StartLcn = 100;
        Put(drive, v.volumeStart, test::NtfsBootSector(layout));
    }
    return drive;
}

TEST(NtfsRebuildTest, PutsRecordsBackIntoTheirVolume) {
    struct Case {
        const char* name;
        CraftedVolume volume;
        std::vector<ByteRange> used;  // by the current file system
        const char* note;             // what the notes say of the geometry, "" for nothing
        const char* condition;        // of a.txt
    };
    const Case cases[] = {
        {"MFT record 0 gives the start", {0, false, 0, true}, {}, "inferred from where", "Good"},
        {"a boot sector gives it", {1 << 20, true, 0, true}, {}, "", "Good"},
        {"two runs of the MFT", {65536, false, 64, true}, {}, "inferred from where", "Good"},
        {"two runs, record 0 gone: folders link them",
         {0, false, 65, false},
         {},
         "could not be inferred",
         "Good"},
        {"its clusters in use now",
         {0, false, 0, true},
         {{100 * kCluster, kCluster}},
         "inferred from where",
         "Poor"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> drive = CraftDrive(c.volume);
        NtfsRecordFinder finder;
        finder.Feed(Block{0, drive, drive.size()});
        CurrentVolume current;
        current.length = static_cast<int64_t>(drive.size());
        current.used = c.used;
        std::vector<FoundBootSector> boots;
        if (c.volume.bootSector) {
            boots.push_back(*ReadFoundBootSector(
                std::span(drive).subspan(c.volume.volumeStart, 512), c.volume.volumeStart));
        }
        std::vector<std::string> notes;
        const std::vector<OldVolume> volumes = RebuildNtfsVolumes(finder, boots, current, notes);
        ASSERT_EQ(volumes.size(), 1u);
        const OldVolume& v = volumes[0];
        EXPECT_EQ(v.start, c.volume.volumeStart);
        EXPECT_EQ(v.clusterBytes, kCluster);
        ASSERT_EQ(notes.size(), *c.note != 0 ? 1u : 0u);
        if (!notes.empty()) {
            EXPECT_NE(notes[0].find(c.note), std::string::npos) << notes[0];
        }
        std::map<std::string, const OldEntry*> byName;
        for (const OldEntry& e : v.entries) {
            byName[e.name] = &e;
        }
        ASSERT_EQ(byName.size(), 7u);  // no $MFT, no root
        const OldEntry& docs = *byName.at("docs");
        const OldEntry& a = *byName.at("a.txt");
        EXPECT_TRUE(docs.isFolder);
        EXPECT_EQ(docs.parentKey, v.rootKey);
        EXPECT_EQ(a.parentKey, docs.key);
        EXPECT_EQ(byName.at("b.txt")->parentKey, byName.at("old")->key);
        EXPECT_EQ(a.file.condition, c.condition);
        ASSERT_NE(a.file.Deep(), nullptr);
        ASSERT_EQ(a.file.Deep()->extents.size(), 1u);
        EXPECT_EQ(a.file.Deep()->extents[0].offset, c.volume.volumeStart + 100 * kCluster);
        EXPECT_EQ(a.file.Deep()->extents[0].length, 5000u);
    }
}

// Runs a shell command; its standard output.
std::string Output(const std::string& command) {
    return test::RunCommand(command).out;
}

std::string Quoted(const std::string& path) {
    return "'" + path + "'";
}

struct OriginalFile {
    std::string dir;  // "/a/b/"
    std::string name;
    std::string data;
};

// The files of the original image as The Sleuth Kit reads them: live and deleted, no system
// files, no named streams.
std::vector<OriginalFile> OriginalFiles(const std::string& image) {
    std::vector<OriginalFile> files;
    for (const std::string& line : test::Lines(Output("fls -r -p " + Quoted(image)))) {
        const std::vector<std::string> fields = test::Fields(line, '\t');
        const std::size_t inode = line.find("-128-");
        if (fields.size() != 2 || inode == std::string::npos || fields[1].starts_with("$") ||
            fields[1].find(':') != std::string::npos) {
            continue;
        }
        const std::size_t begin = line.find_last_of(" *", inode) + 1;
        const std::string path = "/" + fields[1];
        const std::size_t slash = path.rfind('/');
        files.push_back(
            {path.substr(0, slash + 1), path.substr(slash + 1),
             Output("icat " + Quoted(image) + " " + line.substr(begin, inode - begin))});
    }
    return files;
}

struct Listed {
    int64_t size = 0;
    std::string condition;
};

TEST(NtfsRebuildTest, QuickFormattedAndBootlessVolumesGiveTheirOldFilesBack) {
    if (!test::HaveTool("fls") || !test::HaveTool("icat") || !test::HaveTool("mkntfs")) {
        GTEST_SKIP() << "The Sleuth Kit or mkntfs is not installed";
    }
    struct Case {
        const char* name;
        const char* fixture;
        const char* change;  // a shell command over $IMG
        std::size_t minGood;
    };
    const Case cases[] = {
        {"quick format, same geometry", "ntfs512.img", "mkntfs -Q -F -q -c 512 \"$IMG\"", 13},
        {"quick format, larger clusters", "ntfs4k.img", "mkntfs -Q -F -q -c 8192 \"$IMG\"", 13},
        {"zeroed boot sector and backup", "ntfs4k.img",
         "dd if=/dev/zero of=\"$IMG\" bs=512 count=1 conv=notrunc status=none && "
         "dd if=/dev/zero of=\"$IMG\" bs=512 count=1 conv=notrunc status=none "
         "seek=$(($(stat -c %s \"$IMG\") / 512 - 1))",
         13},
    };
    const fs::path dir =
        fs::temp_directory_path() / ("relicta-ntfs-deep-" + std::to_string(::getpid()));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir);
        fs::create_directories(dir);
        const std::string original = test::FixturePath(c.fixture);
        const std::string image = (dir / "drive.img").string();
        fs::copy_file(original, image);
        ASSERT_EQ(test::RunCommand("IMG=" + Quoted(image) + "; " + c.change).status, 0);

        std::map<std::string, Listed> listed;  // by "/dir/name"
        const std::string scan = Output("TZ=UTC " + test::RelictaBinary() +
                                        " scan --deep --format json " + Quoted(image));
        for (const std::string& line : test::Lines(scan)) {
            listed[test::ManifestDir(test::JsonField(line, "dir")) +
                   test::JsonField(line, "name")] = {std::stoll(test::JsonField(line, "size")),
                                                     test::JsonField(line, "condition")};
        }
        const std::string out = (dir / "out").string();
        test::RunCommand(test::RelictaBinary() + " recover --deep --all --keep-paths --to " +
                         Quoted(out) + " " + Quoted(image));

        std::size_t good = 0;
        for (const OriginalFile& f : OriginalFiles(original)) {
            const auto it = listed.find(f.dir + f.name);
            ASSERT_NE(it, listed.end()) << f.dir + f.name;
            EXPECT_EQ(it->second.size, static_cast<int64_t>(f.data.size())) << f.dir + f.name;
            if (it->second.condition != "Good" && it->second.condition != "Excellent") {
                continue;
            }
            std::ifstream in(out + f.dir + f.name, std::ios::binary);
            std::stringstream recovered;
            recovered << in.rdbuf();
            EXPECT_TRUE(recovered.str() == f.data) << f.dir + f.name << " does not read as it was";
            ++good;
        }
        EXPECT_GE(good, c.minGood);
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace relicta::deep
