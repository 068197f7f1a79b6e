// The content check over volumes written by mtools and ntfs-3g holding genuine files: intact,
// written over by another type, cut by a live file, zero-filled, or named falsely (the
// manifest says what each file's bytes really are); the recovery manifest; the bodyfile.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "support/paths.h"

namespace relicta::test {
namespace {

namespace fs = std::filesystem;

const char* const kImages[] = {"contentfat", "contentntfs"};

// Name -> the truth, for one volume; a FAT name that lost its first letter matches on the rest.
std::map<std::string, std::string> Truth(const std::string& label) {
    std::map<std::string, std::string> truth;
    for (const std::vector<std::string>& f :
         ManifestRows("tests/data/content-manifest.tsv", label)) {
        if (f.size() == 5) {
            truth[f[2].substr(1)] = f[3];
        }
    }
    return truth;
}

TEST(ContentCheckE2e, VerdictsOverVolumes) {
    for (const char* label : kImages) {
        SCOPED_TRACE(label);
        const std::map<std::string, std::string> truth = Truth(label);
        ASSERT_FALSE(truth.empty());
        const CommandResult r =
            RunCommand(RelictaBinary() + " scan --check-content --format json " +
                       FixturePath(std::string(label) + ".img"));
        ASSERT_EQ(r.status, 0) << r.err;
        std::map<std::string, int> right;
        std::map<std::string, int> total;
        for (const std::string& line : Lines(r.out)) {
            const auto it = truth.find(JsonField(line, "name").substr(1));
            if (it == truth.end()) {
                continue;  // the files that wrote over the others
            }
            const std::string verdict = JsonField(line, "content");
            ++total[it->second];
            // What matters of a broken file is that it is not called ok.
            right[it->second] += it->second == "ok" || it->second == "zeroed"
                                     ? verdict == it->second
                                     : verdict != "ok";
        }
        int listed = 0;
        for (const auto& [kind, n] : total) {
            listed += n;
        }
        EXPECT_EQ(listed, static_cast<int>(truth.size()));
        EXPECT_GE(right["ok"] * 100, total["ok"] * 98) << right["ok"] << " of " << total["ok"];
        EXPECT_EQ(right["zeroed"], total["zeroed"]);
        const int broken = total["mismatch"] + total["damaged"];
        EXPECT_GE((right["mismatch"] + right["damaged"]) * 100, broken * 90);
    }
}

TEST(ContentCheckE2e, ManifestHashesTheBytesWritten) {
    const fs::path to =
        fs::temp_directory_path() / ("relicta-manifest-" + std::to_string(::getpid()));
    const fs::path manifest = to.string() + ".json";
    const CommandResult r =
        RunCommand(RelictaBinary() + " recover --all --yes --to '" + to.string() +
                   "' --manifest '" + manifest.string() + "' " + FixturePath("contentntfs.img"));
    EXPECT_EQ(r.status, 0) << r.err;
    std::ifstream in(manifest);
    int lines = 0;
    for (std::string line; std::getline(in, line); ++lines) {
        const std::string path = (to / JsonField(line, "path")).string();
        EXPECT_EQ(JsonField(line, "result"), "recovered") << line;
        const std::string sum = RunCommand("sha256sum '" + path + "'").out.substr(0, 64);
        EXPECT_EQ(JsonField(line, "sha256"), sum) << path;
        EXPECT_FALSE(JsonField(line, "content").empty()) << line;
    }
    EXPECT_EQ(lines, static_cast<int>(Truth("contentntfs").size()));
    fs::remove_all(to);
    fs::remove(manifest);
}

TEST(ContentCheckE2e, MactimeReadsTheBodyfile) {
    if (!HaveTool("mactime")) {
        GTEST_SKIP() << "The Sleuth Kit is not installed";
    }
    for (const char* label : kImages) {
        SCOPED_TRACE(label);
        const std::string body = "/tmp/relicta-body-" + std::to_string(::getpid());
        const CommandResult r =
            RunCommand(RelictaBinary() + " scan --check-content --format bodyfile --output " +
                       body + " " + FixturePath(std::string(label) + ".img"));
        ASSERT_EQ(r.status, 0) << r.err;
        std::ifstream in(body);
        std::vector<std::pair<std::string, std::string>> items;  // path, size
        for (std::string line; std::getline(in, line);) {
            const std::vector<std::string> f = Fields(line, '|');
            ASSERT_EQ(f.size(), 11u) << line;
            EXPECT_EQ(f[0].size(), 32u) << line;  // the MD5 of the data the check read
            EXPECT_TRUE(f[1].ends_with(" (deleted)")) << line;
            items.emplace_back(f[1], f[6]);
        }
        const CommandResult timeline = RunCommand("TZ=UTC mactime -b " + body + " -d");
        EXPECT_EQ(timeline.status, 0) << timeline.err;
        // Every item is in the timeline with its size.
        const std::vector<std::string> rows = Lines(timeline.out);
        for (const auto& [path, size] : items) {
            EXPECT_TRUE(std::any_of(rows.begin(), rows.end(), [&](const std::string& row) {
                return row.find("," + size + ",") != std::string::npos &&
                       row.find(path) != std::string::npos;
            })) << path;
        }
        std::remove(body.c_str());
    }
}

}  // namespace
}  // namespace relicta::test
