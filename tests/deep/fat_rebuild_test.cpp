// Old FAT and exFAT directories found in raw sectors, their clusters linked into folders by
// allocation order, and old volumes rebuilt from images that the real tools formatted again.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "deep/exfat_entry_set_finder.h"
#include "deep/fat_directory_finder.h"
#include "deep/folder_linking.h"
#include "scan/fat_entries.h"
#include "support/exfat_builder.h"
#include "support/fat_builder.h"
#include "support/paths.h"

namespace relicta::test {
namespace {

namespace fs = std::filesystem;
using deep::Block;

constexpr std::size_t kSector = 512;
constexpr std::size_t kSlot = 32;

std::vector<uint8_t> Sector(const std::vector<std::vector<uint8_t>>& slots) {
    std::vector<uint8_t> sector(kSector, 0);
    for (std::size_t i = 0; i < slots.size() && i < kSector / kSlot; ++i) {
        std::copy(slots[i].begin(), slots[i].end(), sector.begin() + static_cast<long>(i * kSlot));
    }
    return sector;
}

std::vector<uint8_t> Entry(const char* name83, uint8_t attributes, uint32_t cluster,
                           uint32_t size = 0, bool deleted = false) {
    DirEntry e;
    e.name83 = name83;
    e.attributes = attributes;
    e.cluster = cluster;
    e.size = size;
    e.deleted = deleted;
    return EntryBytes(e);
}

// Long-name slot `ordinal` (1 nearest the short entry) of `name`, with `entry`'s checksum.
std::vector<uint8_t> NameSlot(const std::u16string& name, int ordinal, bool last,
                              const std::vector<uint8_t>& entry) {
    constexpr std::size_t kChars[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    std::vector<uint8_t> slot(kSlot, 0);
    slot[0] = static_cast<uint8_t>(ordinal | (last ? 0x40 : 0));
    slot[11] = 0x0F;
    slot[13] = scan::ShortNameChecksum(entry);
    for (std::size_t c = 0; c < 13; ++c) {
        const std::size_t at = static_cast<std::size_t>(ordinal - 1) * 13 + c;
        const char16_t unit = at < name.size() ? name[at] : (at == name.size() ? 0 : 0xFFFF);
        slot[kChars[c]] = static_cast<uint8_t>(unit);
        slot[kChars[c] + 1] = static_cast<uint8_t>(unit >> 8);
    }
    return slot;
}

std::vector<uint8_t> Noise(unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(kSector);
    for (uint8_t& b : bytes) {
        b = static_cast<uint8_t>(random());
    }
    return bytes;
}

std::vector<uint8_t> Text() {
    const std::string line = "Deleted files are found again by what their folders kept. ";
    std::vector<uint8_t> bytes;
    while (bytes.size() < kSector) {
        bytes.insert(bytes.end(), line.begin(), line.end());
    }
    bytes.resize(kSector);
    return bytes;
}

std::vector<uint8_t> BadDate() {
    std::vector<uint8_t> e = Entry("BAD     TXT", 0x20, 9, 10);
    e[0x18] = 0xA1;  // 1980-13-01
    e[0x19] = 0x01;
    return e;
}

template <typename Finder>
void FeedAt(Finder& finder, const std::vector<uint8_t>& bytes, int64_t offset) {
    finder.Feed(Block{offset, bytes, bytes.size()});
}

TEST(FatDirectoryFinderTest, TellsDirectorySectorsFromOtherData) {
    const auto dot = Entry(".          ", 0x10, 7);
    const auto file = Entry("KEEP    TXT", 0x20, 8, 100);
    struct Case {
        const char* what;
        std::vector<uint8_t> sector;
        std::size_t folders;
        std::size_t entries;
    };
    const Case cases[] = {
        {"a folder's first sector", Sector({dot, Entry("..         ", 0x10, 3), file}), 1, 1},
        {"an empty top folder", Sector({dot, Entry("..         ", 0x10, 0)}), 1, 0},
        {"'..' naming cluster 1", Sector({dot, Entry("..         ", 0x10, 1), file}), 0, 0},
        {"entries, one deleted", Sector({file, Entry("GONE    TXT", 0x20, 9, 5000, true)}), 0, 2},
        {"a month 13", Sector({file, BadDate()}), 0, 0},
        {"zeros", std::vector<uint8_t>(kSector, 0), 0, 0},
        {"text", Text(), 0, 0},
        {"noise", Noise(1), 0, 0},
        {"more noise", Noise(2), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        deep::FatDirectoryFinder finder;
        FeedAt(finder, c.sector, 0x40000);
        ASSERT_EQ(finder.Folders().size(), c.folders);
        EXPECT_EQ(finder.Entries().size(), c.entries);
        if (c.folders == 1) {
            EXPECT_EQ(finder.Folders()[0].offset, 0x40000);
            EXPECT_EQ(finder.Folders()[0].cluster, 7u);
        }
    }
}

// A long name whose slots a cluster's end split: each sector keeps its piece, and the two
// read on as one name once the rebuild knows which cluster came next.
TEST(FatDirectoryFinderTest, KeepsTheTwoPiecesOfASplitName) {
    const std::u16string name = u"A rather long file name.txt";
    const auto entry = Entry("ARATHE~1TXT", 0x20, 40, 3000);
    std::vector<std::vector<uint8_t>> first(14, Entry("OTHER   TXT", 0x20, 30, 10));
    first.push_back(NameSlot(name, 3, true, entry));
    first.push_back(NameSlot(name, 2, false, entry));
    deep::FatDirectoryFinder finder;
    FeedAt(finder, Sector(first), 0x10000);
    FeedAt(finder, Sector({NameSlot(name, 1, false, entry), entry}), 0x80000);

    const deep::RawPiece* tailPiece = finder.Tails().At(0x10000);
    const deep::RawPiece* headPiece = finder.Heads().At(0x80000);
    ASSERT_TRUE(tailPiece != nullptr && headPiece != nullptr);
    EXPECT_EQ(finder.Entries().back().name, "ARATHE~1.TXT");
    const auto tail = finder.Tails().BytesOf(*tailPiece);
    const auto head = finder.Heads().BytesOf(*headPiece);
    EXPECT_FALSE(deep::WholeLongName(head, 1));  // the name's end is in the other piece
    std::vector<uint8_t> joined(tail.begin(), tail.end());
    joined.insert(joined.end(), head.begin(), head.end());
    EXPECT_EQ(deep::WholeLongName(joined, 3), "A rather long file name.txt");
}

TEST(ExFatEntrySetFinderTest, KeepsWholeSetsWhoseChecksumMatches) {
    ExFatEntrySet file;
    file.name = u"holiday photo.jpg";
    file.firstCluster = 321;
    file.dataLength = 70000;
    const std::vector<uint8_t> set = ExFatSetBytes(file);
    const auto placed = [&](auto change) {
        std::vector<uint8_t> sector(kSector, 0);
        std::copy(set.begin(), set.end(), sector.begin() + 2 * kSlot);
        change(sector);
        return sector;
    };
    struct Case {
        const char* what;
        std::vector<uint8_t> sector;
        std::size_t sets;
    };
    const Case cases[] = {
        {"a deleted set", placed([](auto&) {}), 1},
        {"its checksum broken", placed([](auto& s) { s[2 * kSlot + 2] ^= 0x01; }), 0},
        {"a name character changed", placed([](auto& s) { s[4 * kSlot + 4] ^= 0x01; }), 0},
        {"no stream after the file entry", placed([](auto& s) { s[3 * kSlot] = 0xC1; }), 0},
        {"zeros", std::vector<uint8_t>(kSector, 0), 0},
        {"noise", Noise(3), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        deep::ExFatEntrySetFinder finder;
        FeedAt(finder, c.sector, 0x200000);
        ASSERT_EQ(finder.Sets().size(), c.sets);
        if (c.sets == 1) {
            const deep::FoundExFatSet& s = finder.Sets()[0];
            EXPECT_EQ(s.name, "holiday photo.jpg");
            EXPECT_EQ(s.offset, 0x200000 + 2 * static_cast<int64_t>(kSlot));
            EXPECT_EQ(s.firstCluster, 321u);
            EXPECT_EQ(s.dataLength, 70000u);
            EXPECT_TRUE(s.deleted);
        }
    }
}

// Directory clusters of a folder a writer grew one cluster at a time, each holding four
// one-cluster files written after it: cluster 10 is the folder's first.
struct Layout {
    int64_t cluster;
    bool ends;
};

deep::DirectoryLinks Links(const std::vector<Layout>& layout, int64_t otherFile = 0) {
    deep::DirectoryLinks links;
    links.defaultMaxClusters = 64;
    for (const Layout& l : layout) {
        deep::DirectoryCluster c;
        c.cluster = l.cluster;
        c.endsDirectory = l.ends;
        c.owner = l.cluster == 10 ? 10 : deep::kNoParent;
        for (int64_t f = l.cluster + 1; f <= l.cluster + 4; ++f) {
            c.firstData = c.firstData == 0 ? f : c.firstData;
            c.trail.Note(f, 1);
            links.dataStarts.push_back({f, l.cluster, 1});
            links.namedClusters.push_back(f);
        }
        links.clusters.push_back(c);
    }
    if (otherFile != 0) {
        links.dataStarts.push_back({otherFile, 500, 1});  // held by a folder elsewhere
        links.namedClusters.push_back(otherFile);
    }
    std::sort(links.dataStarts.begin(), links.dataStarts.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::sort(links.namedClusters.begin(), links.namedClusters.end());
    return links;
}

TEST(FolderLinkingTest, FollowsAllocationOrderAndBridgesOnlyAClearGap) {
    struct Case {
        const char* what;
        std::vector<Layout> layout;
        int64_t otherFile;
        std::map<int64_t, uint64_t> owners;
    };
    const Case cases[] = {
        {"each next cluster right after the data",
         {{10, false}, {15, false}, {20, true}},
         0,
         {{15, 10}, {20, 10}}},
        {"two clusters a later file took",
         {{10, false}, {15, false}, {30, false}, {35, true}},
         0,
         {{30, 10}, {35, 10}}},
        {"another folder's file between",
         {{10, false}, {15, false}, {30, true}},
         27,
         {{15, 10}, {30, 30}}},
        {"the folder ended before the gap",
         {{10, false}, {15, true}, {30, true}},
         0,
         {{15, 10}, {30, 30}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        deep::DirectoryLinks links = Links(c.layout, c.otherFile);
        const deep::FolderChain chain{10, 10, 64};
        deep::LinkDirectoryClusters(links, std::span(&chain, 1));
        for (const deep::DirectoryCluster& cluster : links.clusters) {
            if (const auto expected = c.owners.find(cluster.cluster); expected != c.owners.end()) {
                EXPECT_EQ(cluster.owner, expected->second) << "cluster " << cluster.cluster;
            }
        }
    }
}

// ---- old volumes from images formatted again by the tools that made them

// A file the old volume held in a folder below its root, and how it may come back.
struct Expected {
    std::string dir;  // "A/B"
    std::string name;
    std::string size;
    std::string sha256;
};

std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    for (const std::string& p : Fields(path, '/')) {
        if (!p.empty()) {
            parts.push_back(p);
        }
    }
    return parts;
}

// The original's live files in folders, as The Sleuth Kit copies them out to `scratch`.
std::vector<Expected> LiveFilesInFolders(const std::string& image, const fs::path& scratch) {
    fs::remove_all(scratch);
    RunCommand("tsk_recover -a '" + image + "' '" + scratch.string() + "'");
    const std::string list = "cd '" + scratch.string() + "' && find . -mindepth 2 -type f ";
    std::map<std::string, std::string> sizes;
    for (const std::string& line : Lines(RunCommand(list + "-printf '%s %P\\n'").out)) {
        const std::size_t space = line.find(' ');
        sizes[line.substr(space + 1)] = line.substr(0, space);
    }
    std::vector<Expected> files;
    for (const std::string& line : Lines(RunCommand(list + "-print0 | xargs -0r sha256sum").out)) {
        const std::string path = line.substr(68);  // "<sum>  ./a/b"
        const std::size_t slash = path.rfind('/');
        files.push_back(
            {path.substr(0, slash), path.substr(slash + 1), sizes[path], line.substr(0, 64)});
    }
    fs::remove_all(scratch);
    return files;
}

// A FAT name that needs no long name: deletion overwrites its first letter with '?'.
std::string DeletedFatName(const std::string& name) {
    static const std::regex shortName(R"([A-Z0-9_]{1,8}(\.[A-Z0-9_]{1,3})?)");
    return std::regex_match(name, shortName) ? "?" + name.substr(1) : name;
}

// The story's deleted files in folders, from a committed manifest, named as a FAT deletion
// leaves them (the folders too, where they were deleted with them).
std::vector<Expected> DeletedFilesInFolders(const std::string& manifest, const std::string& label,
                                            bool fat) {
    const bool names = manifest.starts_with("names-");
    std::vector<Expected> files;
    for (const std::vector<std::string>& f : ManifestRows("tests/data/" + manifest, label)) {
        if (f.size() < 6 || f[1] == "/") {
            continue;
        }
        const bool inDeletedDir = !names && f[6].find("in_deleted_dir") != std::string::npos;
        std::string dir;
        for (const std::string& part : Components(f[1])) {
            dir += "/" + (fat && inDeletedDir ? DeletedFatName(part) : part);
        }
        files.push_back({dir, fat ? DeletedFatName(f[2]) : f[2], f[3], names ? f[4] : f[5]});
    }
    return files;
}

struct Listed {
    std::vector<std::string> dir;
    std::string size;
    std::string condition;
    std::string sha256;
};

// Whether a file listed in `listed` is `e` under its folders: the same names, but where the
// old root is gone a made-up "$Folder<n>" stands for the top folder, or above it.
bool SameFolders(const std::vector<std::string>& listed, const std::vector<std::string>& old) {
    std::size_t madeUp = 0;
    while (madeUp < listed.size() && listed[madeUp].starts_with("$Folder")) {
        ++madeUp;
    }
    const std::vector<std::string> rest(listed.begin() + static_cast<long>(madeUp), listed.end());
    return listed == old ||
           (madeUp > 0 && !old.empty() &&
            (rest == old || std::equal(rest.begin(), rest.end(), old.begin() + 1, old.end())));
}

struct FormatCase {
    const char* what;
    const char* image;
    const char* manifest;  // the deleted files of its story
    const char* label;
    std::string change;  // run on the copy: {} stands for its path
    double minListed;    // of the files whose metadata survived
};

class DeepFormatTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("relicta-deepfat-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // What `relicta recover --deep` wrote of `image`: its manifest's lines by name.
    std::multimap<std::string, Listed> RecoverDeep(const std::string& image) {
        const std::string manifest = (dir_ / "manifest.json").string();
        fs::remove_all(dir_ / "out");
        const CommandResult r =
            RunCommand("TZ=UTC " + RelictaBinary() + " recover --deep --all --yes --keep-paths" +
                       " --manifest '" + manifest + "' --to '" + (dir_ / "out").string() + "' '" +
                       image + "'");
        EXPECT_EQ(r.status, 0) << r.err;
        std::multimap<std::string, Listed> listed;
        for (const std::string& line : Lines(RunCommand("cat '" + manifest + "'").out)) {
            listed.emplace(
                JsonField(line, "name"),
                Listed{Components(ManifestDir(JsonField(line, "dir"))), JsonField(line, "size"),
                       JsonField(line, "condition"), JsonField(line, "sha256")});
        }
        return listed;
    }

    fs::path dir_;
};

std::string Replace(std::string text, const std::string& path) {
    for (std::size_t at; (at = text.find("{}")) != std::string::npos;) {
        text.replace(at, 2, "'" + path + "'");
    }
    return text;
}

// Every file of the old volume whose entry survived comes back under its folders with its
// size, and every one rated Good byte for byte.
TEST_F(DeepFormatTest, FormattedVolumesGiveBackTheirFoldersFiles) {
    for (const char* tool : {"mkfs.fat", "mkfs.exfat", "tsk_recover", "mcopy"}) {
        if (!HaveTool(tool)) {
            GTEST_SKIP() << tool << " is missing";
        }
    }
    const std::string newFile = (dir_ / "new.bin").string();
    RunCommand("head -c 300000 /dev/urandom > '" + newFile + "'");
    const FormatCase cases[] = {
        {"FAT16, same geometry", "fat16.img", "manifest.tsv", "fat16", "mkfs.fat -F 16 -s 4 {}",
         1.0},
        {"FAT32, same geometry", "fat32.img", "manifest.tsv", "fat32", "mkfs.fat -F 32 -s 1 {}",
         1.0},
        {"FAT32, folders of many files", "fatfolders.img", "names-manifest.tsv", "fatfolders",
         "mkfs.fat -F 32 -s 1 {}", 0.9},
        {"FAT16, larger clusters", "fat16.img", "manifest.tsv", "fat16", "mkfs.fat -F 16 -s 8 {}",
         1.0},
        {"FAT32, new files after the format", "fat32.img", "manifest.tsv", "fat32",
         "mkfs.fat -F 32 -s 1 {} && mmd -i {} ::/NEW && mcopy -i {} '" + newFile + "' ::/NEW/",
         0.5},
        {"FAT32, boot sector zeroed, backup kept", "fat32.img", "manifest.tsv", "fat32",
         "dd if=/dev/zero of={} bs=512 count=1 conv=notrunc status=none", 1.0},
        {"exFAT, 4 KiB clusters", "exfat4k.img", "exfat-manifest.tsv", "exfat4k",
         "mkfs.exfat -c 4096 {}", 0.98},
        {"exFAT, 512-byte clusters", "exfat512.img", "exfat-manifest.tsv", "exfat512",
         "mkfs.exfat -c 512 {}", 0.98},
    };
    for (const FormatCase& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string original = FixturePath(c.image);
        const std::string copy = (dir_ / c.image).string();
        fs::copy_file(original, copy, fs::copy_options::overwrite_existing);
        ASSERT_EQ(RunCommand(Replace(c.change, copy) + " >/dev/null").status, 0);
        std::vector<Expected> expected = LiveFilesInFolders(original, dir_ / "tsk");
        const std::vector<Expected> deleted =
            DeletedFilesInFolders(c.manifest, c.label, std::string(c.image).starts_with("fat"));
        expected.insert(expected.end(), deleted.begin(), deleted.end());
        const std::multimap<std::string, Listed> listed = RecoverDeep(copy);

        std::size_t found = 0, exact = 0, good = 0;
        for (const Expected& e : expected) {
            const auto [from, to] = listed.equal_range(e.name);
            const auto it = std::find_if(from, to, [&](const auto& l) {
                return l.second.size == e.size && SameFolders(l.second.dir, Components(e.dir));
            });
            if (it == to) {
                continue;
            }
            ++found;
            exact += it->second.sha256 == e.sha256 ? 1 : 0;
            if (it->second.condition == "Good") {
                ++good;
                EXPECT_EQ(it->second.sha256, e.sha256) << e.dir << "/" << e.name;
            }
        }
        std::printf("[ deep ] %s: %zu files in folders, %zu listed, %zu exact, %zu rated Good\n",
                    c.what, expected.size(), found, exact, good);
        EXPECT_GE(static_cast<double>(found), c.minListed * static_cast<double>(expected.size()));
    }
}

// A deleted folder of the volume the drive holds now, whose middle directory clusters a file
// written later took: the normal scan stops there, the deep scan's files after the gap come
// back under the same folder.
TEST_F(DeepFormatTest, FilesPastAReusedClusterComeBackUnderTheirFolder) {
    const CommandResult r =
        RunCommand("TZ=UTC " + RelictaBinary() + " scan --deep --format json '" +
                   FixturePath("fatfolders.img") + "'");
    ASSERT_EQ(r.status, 0) << r.err;
    std::size_t normal = 0, deep = 0;
    for (const std::string& line : Lines(r.out)) {
        if (ManifestDir(JsonField(line, "dir")) == "/Reused 300/") {
            (JsonField(line, "found_by") == "directory" ? deep : normal) += 1;
        }
    }
    EXPECT_GT(normal, 0u);
    // A third of the folder's 300 entries were written over.
    EXPECT_GE(normal + deep, 195u);
}

}  // namespace
}  // namespace relicta::test
