// relicta recover over the fixtures, against the manifest written when they were made.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "support/paths.h"

namespace relicta::test {
namespace {

namespace fs = std::filesystem;

class RecoverCommandTest : public ::testing::Test {
  protected:
    void SetUp() override {
        to = fs::temp_directory_path() /
             ("relicta-e2e-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(to);
    }
    void TearDown() override { fs::remove_all(to); }

    CommandResult Relicta(const std::string& args, const std::string& prefix = "TZ=UTC ") {
        return RunCommand(prefix + RelictaBinary() + " " + args);
    }

    fs::path to;
};

// Where --keep-paths puts a listed file.
fs::path KeptPath(const fs::path& to, const std::string& dir, std::string name) {
    fs::path path = to;
    std::stringstream parts(dir.substr(3));
    for (std::string part; std::getline(parts, part, '\\');) {
        if (!part.empty()) {
            path /= part[0] == '?' ? "~" + part.substr(1) : part;
        }
    }
    if (name[0] == '?') {
        name[0] = '~';
    }
    return path / name;
}

std::string LocalIsoTime(const struct stat& st) {
    std::tm local{};
    localtime_r(&st.st_mtime, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
}

std::set<std::string> Sha256Sums(const fs::path& dir) {
    const CommandResult r =
        RunCommand("find '" + dir.string() + "' -type f -print0 | xargs -0r sha256sum");
    std::set<std::string> sums;
    std::stringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        sums.insert(line.substr(0, 64));
    }
    return sums;
}

// Every deleted file whose clusters were not reused comes back byte for byte, with its
// listed time (the scan's local time, in a zone with summer time) and its read-only bit.
TEST_F(RecoverCommandTest, FixturesComeBackAsTheyWere) {
    const std::string zone = "TZ=America/New_York ";
    ::setenv("TZ", "America/New_York", 1);
    ::tzset();
    const std::pair<const char*, const char*> volumes[] = {
        {"fat12", "fat12.img"},     {"fat16", "fat16.img"},   {"fat32", "fat32.img"},
        {"ntfs512", "ntfs512.img"}, {"ntfs4k", "ntfs4k.img"}, {"ntfs4ksec", "ntfs4ksec.img"},
        {"ntfsbigdir", "ntfsbigdir.img"}};
    std::ifstream manifest(SourcePath("tests/data/manifest.tsv"));
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(manifest, line);) {
        std::vector<std::string> f;
        std::stringstream in(line);
        for (std::string field; std::getline(in, field, '\t');) {
            f.push_back(field);
        }
        rows.push_back(f);
    }
    for (const auto& [label, image] : volumes) {
        SCOPED_TRACE(label);
        const fs::path dir = to / label;
        const std::string source = "C --volume " + FixturePath(image);
        const CommandResult r =
            Relicta("recover --all --yes --keep-paths --to '" + dir.string() + "' " + source, zone);
        EXPECT_EQ(r.status, 0) << r.err;
        const CommandResult listed = Relicta("scan --format json " + source, zone);
        std::stringstream lines(listed.out);
        int checked = 0;
        for (std::string line; std::getline(lines, line);) {
            const fs::path path = KeptPath(dir, JsonField(line, "dir"), JsonField(line, "name"));
            struct stat st {};
            if (JsonField(line, "condition") == "Hopeless") {
                EXPECT_NE(::stat(path.c_str(), &st), 0) << path;
                continue;
            }
            ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
            EXPECT_EQ(std::to_string(st.st_size), JsonField(line, "size")) << path;
            EXPECT_EQ(LocalIsoTime(st), JsonField(line, "modified")) << path;
            const bool readOnly = (std::stoul(JsonField(line, "attributes")) & 1) != 0;
            EXPECT_EQ((st.st_mode & 0222) == 0, readOnly) << path;
            ++checked;
        }
        EXPECT_GT(checked, 10);
        const std::set<std::string> sums = Sha256Sums(dir);
        for (const std::vector<std::string>& f : rows) {
            if (f.size() >= 8 && f[0] == label &&
                (f[7] != "Poor" || f[6].find("zero_length") != std::string::npos)) {
                EXPECT_TRUE(sums.count(f[5])) << f[1] << f[2];
            }
        }
    }
    ::setenv("TZ", "UTC", 1);
    ::tzset();
}

TEST_F(RecoverCommandTest, ExistingFilesAndAFullDiskLeaveNothingBehind) {
    const std::string source = " C --volume " + FixturePath("fat12.img");
    fs::create_directories(to);
    std::ofstream(to / "~ELETED.TXT") << "mine";
    CommandResult r = Relicta("recover --yes --all --to " + to.string() + source);
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("File not recovered: Can't recover that file, because a newer file by "
                         "the same name exists"),
              std::string::npos);
    std::ifstream in(to / "~ELETED.TXT");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "mine");

    // BIG.BIN is 20000 bytes; the destination takes 8 KiB.
    fs::remove_all(to);
    std::string item;
    std::stringstream lines(Relicta("scan --format json" + source).out);
    for (std::string line; std::getline(lines, line);) {
        if (JsonField(line, "name") == "?IG.BIN") {
            item = JsonField(line, "item");
        }
    }
    r = RunCommand("ulimit -f 8; trap '' XFSZ; TZ=UTC " + RelictaBinary() +
                   " recover --yes --item " + item + " --to " + to.string() + source);
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("System Error: ~IG.BIN: File too large"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(to / "~IG.BIN"));
}

TEST_F(RecoverCommandTest, ItemsAndUsage) {
    const std::string source = " C --volume " + FixturePath("ntfs4k.img");
    const CommandResult one = Relicta("recover --item 4 --item 1 --to " + to.string() + source);
    EXPECT_EQ(one.status, 0) << one.err;
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(to)) {
        names.insert(entry.path().filename().string());
    }
    std::set<std::string> listed;
    std::stringstream lines(Relicta("scan --format json" + source).out);
    for (std::string line; std::getline(lines, line);) {
        if (JsonField(line, "item") == "1" || JsonField(line, "item") == "4") {
            listed.insert(JsonField(line, "name"));
        }
    }
    EXPECT_EQ(names, listed);
    for (const std::string& args :
         {"recover --all" + source, "recover --to x" + source, "recover --to x --item 999" + source,
          "recover --to x --item -1" + source}) {
        EXPECT_EQ(Relicta(args).status, 2) << args;
    }
}

}  // namespace
}  // namespace relicta::test
