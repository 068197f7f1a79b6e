// Real volumes written by Windows and others, when ../shared/corpus is present.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

#include "e2e/drives_output.h"
#include "support/corpus.h"
#include "support/paths.h"

namespace relicta::test {
namespace {

namespace fs = std::filesystem;

TEST(Corpus, EveryVolumeIsFoundWithTheGeometryFsstatReports) {
    const std::string corpus = CorpusDir();
    if (corpus.empty()) {
        GTEST_SKIP() << "no corpus beside the checkout";
    }
    const bool haveFsstat = HaveTool("fsstat");
    for (const CorpusVolume& v : ReadCorpusManifest()) {
        SCOPED_TRACE(v.name);
        const std::string image = UnpackedCorpusImage(v);
        ASSERT_FALSE(image.empty());
        const CommandResult r =
            RunCommand(RelictaBinary() + " drives --on-check=ignore --volume '" + image + "'");
        EXPECT_EQ(r.status, 0) << r.err;
        const std::vector<DriveLine> drives = ParseDrives(r.out);
        ASSERT_EQ(drives.size(), v.offsets.size()) << r.out << r.err;
        for (std::size_t i = 0; i < drives.size(); ++i) {
            EXPECT_EQ(drives[i].offset, v.offsets[i] * 512);
            ASSERT_TRUE(drives[i].geometry) << r.out << r.err;
            EXPECT_EQ(drives[i].geometry->type.substr(0, 3), v.fs.substr(0, 3));
            if (haveFsstat) {
                const std::optional<Geometry> tsk = FsstatGeometry(image, drives[i].offset);
                ASSERT_TRUE(tsk);
                EXPECT_EQ(*drives[i].geometry, *tsk);
            }
        }
    }
}

// Every deleted regular file TSK lists under a real directory is listed with the same path
// and size. By design: TSK also lists orphans and deleted directories (the scan does not),
// TSK cuts names at 247 characters, TSK may reach one file through two directories when a
// deleted directory's cluster was reused, and TSK drops FAT entries it judges invalid
// (the scan lists every deleted slot, so it may list more); TSK lists NTFS alternate data
// streams as "file:stream" entries of their own.
TEST(Corpus, ScanAgreesWithFls) {
    const std::string corpus = CorpusDir();
    if (corpus.empty() || !HaveTool("fls")) {
        GTEST_SKIP() << "no corpus or no Sleuth Kit";
    }
    constexpr std::size_t kTskNameLimit = 247;
    const std::regex entry(
        R"(^[-r]/r \* (\d+)(?:-\d+-\d+)?:\t([^\t]+)\t(?:[^\t]*\t){4}(\d+)\t.*$)");
    for (const CorpusVolume& v : ReadCorpusManifest()) {
        SCOPED_TRACE(v.name);
        const std::string image = UnpackedCorpusImage(v);
        for (std::size_t i = 0; i < v.offsets.size(); ++i) {
            const char letter = static_cast<char>('C' + i);
            const CommandResult r = RunCommand(
                "TZ=UTC timeout 60 " + RelictaBinary() + " scan --format json --on-check=ignore " +
                std::string(1, letter) + " --volume '" + image + "'");
            EXPECT_EQ(r.status, 0) << r.err;
            std::multiset<std::pair<std::string, int64_t>> ours;
            std::stringstream lines(r.out);
            for (std::string line; std::getline(lines, line);) {
                std::smatch m;
                ASSERT_TRUE(std::regex_search(
                    line, m, std::regex(R"re("name":"(.*)","dir":"(.*)","size":(\d+),)re")));
                std::string path =
                    std::regex_replace(m[2].str(), std::regex(R"(\\\\)"), "/").substr(3);
                if (!path.empty() && path.back() != '/')
                    path += "/";
                path += m[1].str();
                std::string cut;
                std::stringstream parts(path);
                for (std::string part; std::getline(parts, part, '/');) {
                    cut += (cut.empty() ? "" : "/") + part.substr(0, kTskNameLimit);
                }
                ours.insert({std::regex_replace(cut, std::regex("[?]"), "_"), std::stoll(m[3])});
            }
            const CommandResult fls = RunCommand("fls -r -d -p -l -o " +
                                                 std::to_string(v.offsets[i]) + " '" + image + "'");
            std::map<std::string, std::vector<std::pair<std::string, int64_t>>> byInode;
            std::stringstream tsk(fls.out);
            for (std::string line; std::getline(tsk, line);) {
                std::smatch m;
                if (!std::regex_match(line, m, entry) || m[2].str().starts_with("$OrphanFiles") ||
                    m[2].str().find(':') != std::string::npos) {
                    continue;
                }
                byInode[m[1]].push_back({m[2].str(), std::stoll(m[3])});
            }
            for (const auto& [inode, paths] : byInode) {
                const bool found = std::any_of(paths.begin(), paths.end(),
                                               [&](const auto& p) { return ours.count(p) > 0; });
                EXPECT_TRUE(found) << paths.front().first << " " << paths.front().second;
            }
            EXPECT_GE(ours.size(), byInode.size());
        }
    }
}

// Every deleted file whose clusters are all free comes back with the bytes `icat -r` gives
// for its MFT record or directory entry (FAT: found by its path in `fls`).
TEST(Corpus, RecoveredFilesMatchIcat) {
    const std::string corpus = CorpusDir();
    if (corpus.empty() || !HaveTool("icat")) {
        GTEST_SKIP() << "no corpus or no Sleuth Kit";
    }
    const fs::path to =
        fs::temp_directory_path() / ("relicta-corpus-" + std::to_string(::getpid()));
    const std::regex field(
        R"re("name":"(.*)","dir":"(.*)","size":(\d+),.*"condition":"(\w+)","mft_or_cluster":(\d+))re");
    const std::regex flsEntry(R"(^[-r]/r \* (\d+)(?:-\d+-\d+)?:\t(.+)$)");
    int compared = 0;
    for (const CorpusVolume& v : ReadCorpusManifest()) {
        const std::string image = UnpackedCorpusImage(v);
        for (std::size_t i = 0; i < v.offsets.size(); ++i) {
            SCOPED_TRACE(v.name + " " + std::to_string(i));
            const std::string args = std::string(1, static_cast<char>('C' + i)) +
                                     " --on-check=ignore --volume '" + image + "'";
            fs::remove_all(to);
            RunCommand("TZ=UTC timeout 120 " + RelictaBinary() +
                       " recover --all --yes --keep-paths --to '" + to.string() + "' " + args);
            const std::string offset = " -o " + std::to_string(v.offsets[i]) + " '" + image + "' ";
            std::map<std::string, std::string> inodeOfPath;
            std::stringstream tsk(RunCommand("fls -r -d -p" + offset).out);
            for (std::string line; std::getline(tsk, line);) {
                std::smatch m;
                if (std::regex_match(line, m, flsEntry)) {
                    const auto [at, fresh] = inodeOfPath.emplace(m[2], m[1]);
                    if (!fresh) {
                        at->second.clear();  // two files of one path: not comparable
                    }
                }
            }
            std::stringstream lines(
                RunCommand("TZ=UTC " + RelictaBinary() + " scan --format json " + args).out);
            for (std::string line; std::getline(lines, line);) {
                std::smatch m;
                if (!std::regex_search(line, m, field) || std::stoll(m[3]) == 0 ||
                    (m[4] != "Good" && m[4] != "Excellent")) {
                    continue;
                }
                std::string dir =
                    std::regex_replace(m[2].str(), std::regex(R"(\\\\)"), "/").substr(3);
                if (!dir.empty() && dir.back() != '/') {
                    dir += '/';
                }
                const std::string listed = dir + m[1].str();
                const std::string inode =
                    v.fs == "NTFS" ? m[5].str()
                    : inodeOfPath.count(std::regex_replace(listed, std::regex("[?]"), "_"))
                        ? inodeOfPath[std::regex_replace(listed, std::regex("[?]"), "_")]
                        : "";
                if (inode.empty() || listed.find(':') != std::string::npos) {
                    continue;
                }
                const fs::path ours =
                    to / std::regex_replace(listed, std::regex("(^|/)[?]"), "$1~");
                const CommandResult same =
                    RunCommand("icat -r" + offset + inode + " | cmp -s - '" + ours.string() + "'");
                EXPECT_EQ(same.status, 0) << listed << " (inode " << inode << ")";
                ++compared;
            }
        }
    }
    fs::remove_all(to);
    EXPECT_GT(compared, 20);
}

}  // namespace
}  // namespace relicta::test
