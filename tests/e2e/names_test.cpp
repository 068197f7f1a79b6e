// Names beyond the peers, over volumes written by mtools and ntfs-3g: files of deleted FAT
// folders listed under their folder however many clusters it took, and Recycle Bin files
// under the path they had before they were recycled.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "support/paths.h"

namespace relicta::test {
namespace {

namespace fs = std::filesystem;

struct Fixture {
    const char* label;
    const char* image;
    int unpairedInfoFiles;  // $I files that do not check out, listed on their own
};
const Fixture kFixtures[] = {
    {"fatfolders", "fatfolders.img", 0},
    {"recyclentfs", "recyclentfs.img", 1},
    {"recyclefat", "recyclefat.img", 1},
};

struct Row {
    std::string size, sha256, recycledAs;
};

// Rows by path ("/dir/name"); "reused" in the last column marks files of a folder whose later
// clusters were written over, any of which may be lost.
std::map<std::string, Row> Manifest(const std::string& label) {
    std::map<std::string, Row> rows;
    for (const std::vector<std::string>& f : ManifestRows("tests/data/names-manifest.tsv", label)) {
        if (f.size() == 6) {
            rows[f[1] + f[2]] = {f[3], f[4], f[5]};
        }
    }
    return rows;
}

std::map<std::string, Row> Listed(const std::string& image) {
    const CommandResult r =
        RunCommand("TZ=UTC " + RelictaBinary() + " scan --format json " + FixturePath(image));
    EXPECT_EQ(r.status, 0) << r.err;
    std::map<std::string, Row> listed;
    std::stringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const std::string recycledAs = JsonField(line, "recycled_as");
        const std::string path = ManifestDir(JsonField(line, "dir")) + JsonField(line, "name");
        EXPECT_EQ(listed.count(path), 0u) << path;
        listed[path] = {
            JsonField(line, "size"), "",
            recycledAs.empty()
                ? "-"
                : ManifestDir(recycledAs).substr(0, ManifestDir(recycledAs).size() - 1)};
    }
    return listed;
}

TEST(NamesTest, EveryFileIsListedUnderItsOriginalPath) {
    for (const Fixture& f : kFixtures) {
        SCOPED_TRACE(f.label);
        const std::map<std::string, Row> manifest = Manifest(f.label);
        ASSERT_FALSE(manifest.empty());
        std::map<std::string, Row> listed = Listed(f.image);
        int reused = 0;
        for (const auto& [path, row] : manifest) {
            const auto it = listed.find(path);
            if (row.recycledAs == "reused") {
                reused += it != listed.end() ? 1 : 0;
            } else {
                ASSERT_NE(it, listed.end()) << path;
                EXPECT_EQ(it->second.size, row.size) << path;
                EXPECT_EQ(it->second.recycledAs, row.recycledAs) << path;
            }
            if (it != listed.end()) {
                listed.erase(it);
            }
        }
        // Of the folder written over in part: the files before the damage, nothing after it.
        EXPECT_EQ(reused, std::string(f.label) == "fatfolders" ? 99 : 0);
        // Nothing else but the $I files that do not check out: no garbage, no paired $I.
        EXPECT_EQ(listed.size(), static_cast<std::size_t>(f.unpairedInfoFiles));
        for (const auto& [path, row] : listed) {
            EXPECT_NE(path.find("IBROKEN"), std::string::npos) << path;
        }
    }
}

TEST(NamesTest, FilesComeBackUnderTheirOriginalPaths) {
    const fs::path to = fs::temp_directory_path() / ("relicta-names-" + std::to_string(::getpid()));
    for (const Fixture& f : kFixtures) {
        SCOPED_TRACE(f.label);
        const fs::path dir = to / f.label;
        const CommandResult r =
            RunCommand(RelictaBinary() + " recover --all --yes --keep-paths --to '" + dir.string() +
                       "' " + FixturePath(f.image));
        EXPECT_EQ(r.status, 0) << r.err;
        std::map<std::string, std::string> sums;
        std::stringstream lines(
            RunCommand("cd '" + dir.string() + "' && find . -type f -print0 | xargs -0r sha256sum")
                .out);
        for (std::string line; std::getline(lines, line);) {
            sums["/" + line.substr(68)] = line.substr(0, 64);  // "<sum>  ./a/b"
        }
        for (const auto& [path, row] : Manifest(f.label)) {
            if (row.recycledAs == "reused") {
                continue;
            }
            std::string written = path;
            const std::size_t slash = written.rfind('/');
            if (written[slash + 1] == '?') {
                written[slash + 1] = '~';  // a FAT name that lost its first letter
            }
            EXPECT_EQ(sums[written], row.sha256) << path;
        }
    }
    fs::remove_all(to);
}

}  // namespace
}  // namespace relicta::test
