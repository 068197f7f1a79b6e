// relicta over exFAT volumes written by exfat-fuse: what the scan lists and what recovery
// writes, against the manifest the story left, and against The Sleuth Kit's names.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "support/paths.h"
#include "volume/exfat_boot.h"

namespace relicta::test {
namespace {

namespace fs = std::filesystem;

struct Fixture {
    const char* label;
    const char* image;
};
const Fixture kFixtures[] = {
    {"exfat4k", "exfat4k.img"},
    {"exfat512", "exfat512.img"},
    // The FAT chains of deleted fragmented files left in place, in a partition typed 0x83.
    {"exfat-mbr", "exfatmbr.img"},
};

struct Row {
    std::string dir, name, size, modified, sha256, flags, condition;
};

std::map<std::string, Row> Manifest(const std::string& label) {
    std::map<std::string, Row> rows;
    for (const std::vector<std::string>& f : ManifestRows("tests/data/exfat-manifest.tsv", label)) {
        if (f.size() == 8) {
            rows[f[1] + f[2]] = {f[1], f[2], f[3], f[4].substr(0, 19), f[5], f[6], f[7]};
        }
    }
    return rows;
}

CommandResult Relicta(const std::string& args) {
    return RunCommand("TZ=UTC " + RelictaBinary() + " " + args);
}

class ExFatTest : public ::testing::Test {
  protected:
    void SetUp() override {
        to = fs::temp_directory_path() /
             ("relicta-exfat-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(to);
    }
    void TearDown() override { fs::remove_all(to); }
    fs::path to;
};

// Every deleted file of the story is listed once, under its folder, with its size, time and
// condition; nothing else is. A guessed layout is never rated better than Poor.
TEST_F(ExFatTest, ListsTheManifestsDeletedFiles) {
    for (const Fixture& f : kFixtures) {
        SCOPED_TRACE(f.label);
        std::map<std::string, Row> expected = Manifest(f.label);
        ASSERT_GT(expected.size(), 150u);
        const CommandResult r = Relicta("scan --format json " + FixturePath(f.image));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        for (const std::string& line : Lines(r.out)) {
            const std::string key = ManifestDir(JsonField(line, "dir")) + JsonField(line, "name");
            const auto row = expected.find(key);
            if (row == expected.end()) {
                ADD_FAILURE() << "listed but not deleted: " << line;
                continue;
            }
            EXPECT_EQ(JsonField(line, "size"), row->second.size) << key;
            EXPECT_EQ(JsonField(line, "modified"), row->second.modified) << key;
            EXPECT_EQ(JsonField(line, "condition"), row->second.condition) << key;
            if (JsonField(line, "layout") == "guessed") {
                EXPECT_EQ(JsonField(line, "condition"), "Poor") << key;
            }
            expected.erase(row);
        }
        for (const auto& [key, row] : expected) {
            ADD_FAILURE() << "not listed: " << key;
        }
    }
}

// Every file rated Good comes back byte for byte under its old path, with its time.
TEST_F(ExFatTest, GoodFilesComeBackExactly) {
    for (const Fixture& f : kFixtures) {
        SCOPED_TRACE(f.label);
        const fs::path dir = to / f.label;
        const CommandResult r = Relicta("recover --all --yes --keep-paths --to '" + dir.string() +
                                        "' " + FixturePath(f.image));
        EXPECT_EQ(r.status, 0) << r.err;
        std::map<std::string, std::string> sums;
        for (const std::string& line : Lines(RunCommand("cd '" + dir.string() +
                                                        "' && find . -type f -print0 | xargs -0r "
                                                        "sha256sum")
                                                 .out)) {
            sums[line.substr(68)] = line.substr(0, 64);  // "<sum>  ./a/b"
        }
        int good = 0;
        for (const auto& [key, row] : Manifest(f.label)) {
            if (row.condition != "Good") {
                continue;
            }
            ++good;
            EXPECT_EQ(sums[key.substr(1)], row.sha256) << key;
            struct stat st {};
            ASSERT_EQ(::stat((dir.string() + key).c_str(), &st), 0) << key;
            char text[32];
            std::tm utc{};
            gmtime_r(&st.st_mtime, &utc);
            std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
            EXPECT_EQ(text, row.modified) << key;
        }
        EXPECT_GT(good, 150);
    }
}

// Every deleted file fls lists under a folder is listed too, under the same path.
TEST_F(ExFatTest, AgreesWithFls) {
    if (!HaveTool("fls")) {
        GTEST_SKIP() << "The Sleuth Kit is not installed";
    }
    for (const Fixture& f : {kFixtures[0], kFixtures[1]}) {
        SCOPED_TRACE(f.label);
        std::set<std::string> ours;
        for (const std::string& line :
             Lines(Relicta("scan --format json " + FixturePath(f.image)).out)) {
            ours.insert(ManifestDir(JsonField(line, "dir")).substr(1) + JsonField(line, "name"));
        }
        int compared = 0;
        const std::regex entry(R"(^r/r \* \d+:\t(.+)$)");
        for (const std::string& line :
             Lines(RunCommand("fls -r -d -p " + FixturePath(f.image)).out)) {
            std::smatch m;
            if (std::regex_match(line, m, entry) && !m[1].str().starts_with("$OrphanFiles")) {
                EXPECT_TRUE(ours.count(m[1])) << m[1];
                ++compared;
            }
        }
        EXPECT_GT(compared, 10);
    }
}

TEST_F(ExFatTest, InfoGivesTheGeometry) {
    const CommandResult r = Relicta("info " + FixturePath("exfat512.img"));
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char* line : {"file system            exFAT", "bytes per cluster      512",
                             "total clusters         28672", "FAT at sector          2048",
                             "root cluster           21", "bitmap at cluster      2"}) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    }
    EXPECT_NE(r.out.find("clusters in use"), std::string::npos);
}

// One File entry set of an image, found by its name, to be changed in place.
struct EntrySet {
    std::vector<uint8_t>& bytes;
    std::size_t file;  // offset of its File entry
    std::size_t Stream() const { return file + 32; }
    void Put(std::size_t offset, uint64_t value, int width) {
        for (int i = 0; i < width; ++i) {
            bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
        }
    }
    uint64_t Get(std::size_t offset, int width) const {
        uint64_t v = 0;
        for (int i = 0; i < width; ++i) {
            v |= uint64_t{bytes[offset + i]} << (8 * i);
        }
        return v;
    }
    // The checksum a driver would have written, over the entries with their in-use bits.
    void Reseal() {
        const std::size_t count = bytes[file + 1];
        std::vector<uint8_t> set(
            bytes.begin() + static_cast<std::ptrdiff_t>(file),
            bytes.begin() + static_cast<std::ptrdiff_t>(file + 32 * (count + 1)));
        for (std::size_t e = 0; e <= count; ++e) {
            set[32 * e] |= 0x80;
        }
        Put(file + 2, volume::ExFatSetChecksum(set), 2);
    }
};

EntrySet Find(std::vector<uint8_t>& bytes, const std::u16string& name) {
    const std::string needle(reinterpret_cast<const char*>(name.data()), name.size() * 2);
    const std::size_t at =
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()).find(needle);
    EXPECT_NE(at, std::string::npos);
    return {bytes, at - 2 - 64};  // the name entry's characters follow its type and flags
}

// Damage the story did not make: what the scan and recovery do with it.
TEST_F(ExFatTest, DoubtfulSetsAreListedButNotPromised) {
    std::ifstream in(FixturePath("exfat4k.img"), std::ios::binary);
    const std::vector<uint8_t> pristine((std::istreambuf_iterator<char>(in)), {});
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
        std::map<std::string, std::string> conditions;  // name -> condition
    };
    const Case cases[] = {
        {"two files claim one cluster",
         [](std::vector<uint8_t>& b) {
             EntrySet tiny = Find(b, u"tiny.txt");
             const EntrySet big = Find(b, u"big.bin");
             tiny.Put(tiny.Stream() + 0x14, big.Get(big.Stream() + 0x14, 4), 4);
             tiny.Reseal();
         },
         {{"tiny.txt", "Poor"}, {"big.bin", "Poor"}, {"empty.dat", "Good"}}},
        {"a set checksum that fails",
         [](std::vector<uint8_t>& b) {
             const EntrySet tiny = Find(b, u"tiny.txt");
             b[tiny.file + 8] ^= 1;  // its time
         },
         {{"tiny.txt", "Poor"}, {"big.bin", "Good"}}},
        {"a secondary count that disagrees",
         [](std::vector<uint8_t>& b) {
             EntrySet tiny = Find(b, u"tiny.txt");
             tiny.Put(tiny.file + 1, 7, 1);
         },
         {{"tiny.txt", "Poor"}}},
        {"a name with a character no name may hold",
         [](std::vector<uint8_t>& b) {
             EntrySet tiny = Find(b, u"tiny.txt");
             tiny.Put(tiny.file + 64 + 2, '/', 2);
             tiny.Reseal();
         },
         {{"tiny.txt", ""}, {"big.bin", "Good"}}},
    };
    const std::string image = (to / "damaged.img").string();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::create_directories(to);
        std::vector<uint8_t> bytes = pristine;
        c.damage(bytes);
        std::ofstream(image, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        const CommandResult r = Relicta("scan --format json " + image);
        EXPECT_EQ(r.status, 0) << r.err;
        std::map<std::string, std::string> listed;
        for (const std::string& line : Lines(r.out)) {
            if (JsonField(line, "dir") == "C:\\") {
                listed[JsonField(line, "name")] = JsonField(line, "condition");
            }
        }
        for (const auto& [name, condition] : c.conditions) {
            EXPECT_EQ(listed[name], condition) << name;
        }
    }
}

// Past its valid data length a file reads as zeros, whatever its clusters hold.
TEST_F(ExFatTest, ValidDataLengthIsHonoured) {
    std::ifstream in(FixturePath("exfat4k.img"), std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    EntrySet big = Find(bytes, u"big.bin");
    big.Put(big.Stream() + 0x08, 1000, 8);
    big.Reseal();
    fs::create_directories(to);
    const std::string image = (to / "vdl.img").string();
    std::ofstream(image, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    std::string item;
    for (const std::string& line : Lines(Relicta("scan --format json " + image).out)) {
        item = JsonField(line, "name") == "big.bin" ? JsonField(line, "item") : item;
    }
    const CommandResult r =
        Relicta("recover --yes --item " + item + " --to '" + (to / "out").string() + "' " + image);
    EXPECT_EQ(r.status, 0) << r.err;
    std::ifstream got(to / "out" / "big.bin", std::ios::binary);
    const std::vector<uint8_t> data((std::istreambuf_iterator<char>(got)), {});
    ASSERT_EQ(data.size(), 65537u);
    EXPECT_TRUE(std::all_of(data.begin() + 1000, data.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_FALSE(std::all_of(data.begin(), data.begin() + 1000, [](uint8_t b) { return b == 0; }));
}

// A lost or damaged main boot region: the backup 12 sectors in still opens the volume.
TEST_F(ExFatTest, TheBackupBootRegionServes) {
    std::ifstream in(FixturePath("exfat4k.img"), std::ios::binary);
    const std::vector<uint8_t> pristine((std::istreambuf_iterator<char>(in)), {});
    const std::pair<const char*, std::size_t> damage[] = {
        {"boot sector zeroed", 0}, {"an extended boot sector changed", 512 + 100}};
    fs::create_directories(to);
    const std::string image = (to / "boot.img").string();
    for (const auto& [what, at] : damage) {
        SCOPED_TRACE(what);
        std::vector<uint8_t> bytes = pristine;
        if (at == 0) {
            std::fill(bytes.begin(), bytes.begin() + 512, 0);
        } else {
            bytes[at] ^= 0xFF;
        }
        std::ofstream(image, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        const CommandResult r = Relicta("scan " + image);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(
            r.err.find("Notice: The exFAT boot region is damaged; its backup is used instead"),
            std::string::npos)
            << r.err;
        EXPECT_EQ(Lines(r.out).size(), Manifest("exfat4k").size());
    }
}

}  // namespace
}  // namespace relicta::test
