// relicta scan over volumes made by real tools, against the manifest written when they were
// made and against The Sleuth Kit's listing of deleted files.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "support/paths.h"

namespace relicta::test {
namespace {

struct Listed {
    std::string name;
    std::string dir;
    int64_t size = 0;
    std::string modified;
    std::string condition;
    auto Key() const { return std::tie(dir, name, size, modified, condition); }
    bool operator<(const Listed& o) const { return Key() < o.Key(); }
    bool operator==(const Listed& o) const { return Key() == o.Key(); }
};

std::ostream& operator<<(std::ostream& out, const Listed& l) {
    return out << l.dir << " | " << l.name << " | " << l.size << " | " << l.modified << " | "
               << l.condition;
}

std::vector<Listed> Scan(const std::string& args, CommandResult* result = nullptr) {
    const CommandResult r = RunCommand("TZ=UTC " + RelictaBinary() + " scan --format json " + args);
    if (result != nullptr) {
        *result = r;
    }
    std::vector<Listed> listed;
    std::stringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        listed.push_back({JsonField(line, "name"), JsonField(line, "dir"),
                          std::stoll(JsonField(line, "size")), JsonField(line, "modified"),
                          JsonField(line, "condition")});
    }
    std::sort(listed.begin(), listed.end());
    return listed;
}

// The fixture volumes: manifest label, image, drive letter it gets.
struct Volume {
    const char* label;
    const char* image;
    char letter;
    uint64_t offsetSectors;
};
const Volume kVolumes[] = {
    {"fat12", "fat12.img", 'C', 0},      {"fat16", "fat16.img", 'C', 0},
    {"fat32", "fat32.img", 'C', 0},      {"ntfs512", "ntfs512.img", 'C', 0},
    {"ntfs4k", "ntfs4k.img", 'C', 0},    {"ntfs4ksec", "ntfs4ksec.img", 'C', 0},
    {"mbr-fat32", "mbr.img", 'C', 2048}, {"mbr-ntfs", "mbr.img", 'D', 2048 + 81920},
    {"gpt-fat16", "gpt.img", 'C', 2048}, {"gpt-ntfs", "gpt.img", 'D', 2048 + 32768},
    // A directory whose own name ntfs-3g moved into an extension record.
    {"ntfsbigdir", "ntfsbigdir.img", 'C', 0},
};

bool IsFat(const std::string& label) {
    return label.find("fat") != std::string::npos;
}

// A FAT name that needs no long name: deletion overwrites its first letter with '?'.
std::string DeletedFatName(const std::string& name) {
    static const std::regex shortName(R"([A-Z0-9_]{1,8}(\.[A-Z0-9_]{1,3})?)");
    return std::regex_match(name, shortName) ? "?" + name.substr(1) : name;
}

std::vector<Listed> Expected(const std::string& label, char letter) {
    std::vector<Listed> expected;
    std::ifstream manifest(SourcePath("tests/data/manifest.tsv"));
    std::string line;
    std::getline(manifest, line);
    while (std::getline(manifest, line)) {
        std::vector<std::string> f;
        std::stringstream in(line);
        for (std::string field; std::getline(in, field, '\t');)
            f.push_back(field);
        if (f.size() < 8 || f[0] != label)
            continue;
        const bool fat = IsFat(label);
        const bool inDeletedDir = f[6].find("in_deleted_dir") != std::string::npos;
        std::vector<std::string> parts;
        std::stringstream dirs(f[1]);
        for (std::string part; std::getline(dirs, part, '/');) {
            if (!part.empty())
                parts.push_back(fat && inDeletedDir ? DeletedFatName(part) : part);
        }
        std::string dir = std::string(1, letter) + ":\\";
        for (std::size_t i = 0; i < parts.size(); ++i) {
            dir += parts[i];
            if (!fat || i + 1 < parts.size())
                dir += "\\";  // FAT paths have no trailing backslash
        }
        Listed l;
        l.name = fat ? DeletedFatName(f[2]) : f[2];
        l.dir = dir;
        l.size = std::stoll(f[3]);
        l.modified = f[4].substr(0, 19);
        l.condition = f[7];
        expected.push_back(l);
    }
    std::sort(expected.begin(), expected.end());
    return expected;
}

TEST(ScanCommand, ListsExactlyTheManifestsDeletedFiles) {
    for (const Volume& v : kVolumes) {
        SCOPED_TRACE(v.label);
        CommandResult r;
        const std::vector<Listed> listed =
            Scan(std::string(1, v.letter) + " --volume " + FixturePath(v.image), &r);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.find("with no name found"), std::string::npos) << r.err;
        const std::vector<Listed> expected = Expected(v.label, v.letter);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(listed, expected);
    }
}

// Every deleted regular file TSK lists under a real directory is listed with the same
// path, name and size. By design TSK also lists orphan files (not here: their location is
// unknown) and shows a lost first letter as "_" where the listing shows "?".
TEST(ScanCommand, AgreesWithFls) {
    if (!HaveTool("fls")) {
        GTEST_SKIP() << "The Sleuth Kit is not installed";
    }
    for (const Volume& v : kVolumes) {
        SCOPED_TRACE(v.label);
        const std::vector<Listed> listed =
            Scan(std::string(1, v.letter) + " --volume " + FixturePath(v.image));
        std::set<std::tuple<std::string, int64_t>> ours;
        for (const Listed& l : listed) {
            std::string path = l.dir.substr(3);
            if (!path.empty() && path.back() != '\\')
                path += "\\";
            ours.insert({std::regex_replace(path + l.name, std::regex("\\?"), "_"), l.size});
        }
        const CommandResult fls = RunCommand(
            "fls -r -d -p -l -o " + std::to_string(v.offsetSectors) + " " + FixturePath(v.image));
        ASSERT_EQ(fls.status, 0);
        std::stringstream lines(fls.out);
        int compared = 0;
        const std::regex entry(
            R"(^[-r]/r \* \d+(?:-\d+-\d+)?:\t([^\t]+)\t(?:[^\t]*\t){4}(\d+)\t.*$)");
        for (std::string line; std::getline(lines, line);) {
            std::smatch m;
            if (!std::regex_match(line, m, entry) || m[1].str().starts_with("$OrphanFiles"))
                continue;
            const std::string path = std::regex_replace(m[1].str(), std::regex("/"), "\\");
            EXPECT_TRUE(ours.count({path, std::stoll(m[2])})) << path << " " << m[2];
            ++compared;
        }
        EXPECT_GT(compared, 10);
    }
}

TEST(ScanCommand, PatternsAndTemporaryFiles) {
    const std::string image = " --volume " + FixturePath("ntfs4k.img");
    struct Case {
        std::string options;
        std::size_t count;
    };
    const Case cases[] = {
        {"--pattern '*'", 12},    {"--pattern '*.*'", 12},  {"--pattern '*.TXT'", 8},
        {"--pattern 'tiny'", 0},  {"--pattern 'tiny*'", 2}, {"--pattern 'dee?p.txt'", 1},
        {"--pattern '*.bin'", 3},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Scan("C " + c.options + image).size(), c.count) << c.options;
    }
    CommandResult r;
    Scan("C --pattern '(' " + image, &r);
    EXPECT_NE(r.err.find("Fatal error: Regcomp failed"), std::string::npos);
}

TEST(ScanCommand, SavedListFormatAndOutputFile) {
    char path[] = "/tmp/relicta-list-XXXXXX";
    ::close(::mkstemp(path));
    const CommandResult r =
        RunCommand("TZ=UTC " + RelictaBinary() + " scan C --pattern tiny.txt --output " + path +
                   " --volume " + FixturePath("ntfs4k.img"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "tiny.txt\tC:\\\t1KB\t2022/1/2 3:04\tExcellent\t67\r\n");
    std::remove(path);
}

TEST(ScanCommand, AllDrivesInOneList) {
    const std::vector<Listed> listed =
        Scan("--volume " + FixturePath("fat12.img") + " --volume " + FixturePath("gpt.img"));
    std::set<char> drives;
    for (const Listed& l : listed)
        drives.insert(l.dir[0]);
    EXPECT_EQ(drives, (std::set<char>{'C', 'D', 'E'}));
    EXPECT_EQ(listed.size(), Expected("fat12", 'C').size() + Expected("gpt-fat16", 'D').size() +
                                 Expected("gpt-ntfs", 'E').size());
}

TEST(ScanCommand, APartitionedImageIsScannedWhole) {
    const std::vector<Listed> listed = Scan(FixturePath("mbr.img"));
    std::set<char> drives;
    for (const Listed& l : listed)
        drives.insert(l.dir[0]);
    EXPECT_EQ(drives, (std::set<char>{'C', 'D'}));
    EXPECT_EQ(listed.size(), Expected("mbr-fat32", 'C').size() + Expected("mbr-ntfs", 'D').size());
}

TEST(ScanCommand, BadDrivesAndPaths) {
    struct Case {
        std::string args;
        int status;
    };
    const Case cases[] = {
        {"Q", 2},  // no such drive
        {"/no/such.img", 2},
        {"--format xml " + FixturePath("fat12.img"), 2},
        {"C D", 2},
    };
    for (const Case& c : cases) {
        CommandResult r;
        Scan(c.args, &r);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_NE(r.err.find("relicta: "), std::string::npos) << c.args;
    }
}

}  // namespace
}  // namespace relicta::test
