// The deep scan over old volumes that real tools made, filled and then damaged (quick formats,
// a zeroed boot sector or partition table), held to its marks against what an independent
// oracle says survived: most files whose entry survives are listed with their name, size and
// the part of their path that survives; most of those whose data survives too come back byte
// for byte; no file rated Excellent or Good comes back wrong.
// The cases are made once, when the test starts, by tests/data/make-deep-cases.py.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/paths.h"

namespace relicta::test {
namespace {

namespace fs = std::filesystem;

const char* const kCases[] = {
    "fat32-requick", "fat16-requick",   "fat32-recluster", "fat32-bootzero",
    "exfat-requick", "exfat-recluster", "ntfs-requick",    "ntfs-recluster",
    "ntfs-bootzero", "ntfs-fragmft",    "disk-notable",
};
constexpr int kMarkPercent = 95;

// A file of the old volume, from the case's manifest.
struct OldFile {
    std::string path, size, sha256;
    bool metadata = false, bytes = false;
    std::string kept;  // the tail of path that survives
};

// A file relicta listed or recovered: its path below the drive, size, condition, digest.
struct Found {
    std::string path, name, size, condition, sha256;
};

std::map<std::string, OldFile> ReadManifest(const fs::path& tsv) {
    std::map<std::string, OldFile> byName;  // names are unique within a case
    std::ifstream in(tsv);
    for (std::string line; std::getline(in, line);) {
        const std::vector<std::string> f = Fields(line, '\t');
        if (f.size() == 6 && !line.starts_with("#")) {
            const std::string name = f[0].substr(f[0].rfind('/') + 1);
            byName[name] = {f[0], f[1], f[2], f[3] == "1", f[4] == "1", f[5]};
        }
    }
    return byName;
}

std::vector<Found> ReadJsonLines(const std::string& text) {
    std::vector<Found> found;
    for (const std::string& line : Lines(text)) {
        const std::string name = JsonField(line, "name");
        found.push_back({ManifestDir(JsonField(line, "dir")).substr(1) + name, name,
                         JsonField(line, "size"), JsonField(line, "condition"),
                         JsonField(line, "sha256")});
    }
    return found;
}

bool MadeUp(const std::string& part) {
    return part.starts_with("$Folder") || part == "$LostFiles" || part.starts_with("$Volume");
}

// Whether `listed` names the old file: it ends with the surviving tail of its path, and what
// it shows above the tail is made up or the old path's own folders.
bool PathFits(const std::string& listed, const OldFile& old) {
    if (listed != old.kept && !listed.ends_with("/" + old.kept)) {
        return false;
    }
    std::vector<std::string> shown = Fields(listed.substr(0, listed.size() - old.kept.size()), '/');
    std::vector<std::string> real =
        Fields(old.path.substr(0, old.path.size() - old.kept.size()), '/');
    while (!shown.empty() && MadeUp(shown.front())) {
        shown.erase(shown.begin());
    }
    return shown.size() <= real.size() && std::equal(shown.rbegin(), shown.rend(), real.rbegin());
}

CommandResult Relicta(const std::string& args) {
    return RunCommand("TZ=UTC " + RelictaBinary() + " " + args);
}

// Every regular file below `root`, by its path relative to it.
std::set<std::string> FilesBelow(const fs::path& root) {
    std::set<std::string> files;
    if (fs::exists(root)) {
        for (const auto& e : fs::recursive_directory_iterator(root)) {
            if (e.is_regular_file()) {
                files.insert(fs::relative(e.path(), root).string());
            }
        }
    }
    return files;
}

using ByName = std::multimap<std::string, Found>;

ByName ByItsName(std::vector<Found> found) {
    ByName byName;
    for (Found& f : found) {
        byName.emplace(f.name, std::move(f));
    }
    return byName;
}

// What `relicta scan --deep` lists of `image`.
ByName Listed(const std::string& image) {
    const CommandResult scan = Relicta("scan --deep --format json '" + image + "'");
    EXPECT_EQ(scan.status, 0) << scan.err;
    for (const std::string& line : Lines(scan.out)) {
        const std::string by = JsonField(line, "found_by");
        EXPECT_TRUE(by == "entry" || by == "record" || by == "directory" || by == "carved") << line;
    }
    return ByItsName(ReadJsonLines(scan.out));
}

// What `relicta recover --deep --all` writes of `image` into `work`/out, by its manifest,
// whose every path lies below out and names every file written.
ByName Recovered(const std::string& image, const fs::path& work) {
    const fs::path out = work / "out";
    const fs::path manifest = work / "recovered.json";
    const CommandResult recover =
        Relicta("recover --deep --all --keep-paths --yes --manifest '" + manifest.string() +
                "' --to '" + out.string() + "' '" + image + "'");
    EXPECT_EQ(recover.status, 0) << recover.err;
    std::ifstream in(manifest);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::set<std::string> paths;
    for (const std::string& line : Lines(text)) {
        const std::string path = JsonField(line, "path");
        if (path.empty()) {
            continue;
        }
        EXPECT_FALSE(path.starts_with("/") || path == ".." || path.starts_with("../") ||
                     path.find("/../") != std::string::npos)
            << line;
        paths.insert(path);
        if (JsonField(line, "result").starts_with("recovered")) {
            EXPECT_TRUE(fs::exists(out / path)) << line;
        }
    }
    for (const std::string& written : FilesBelow(out)) {
        EXPECT_TRUE(paths.contains(written)) << "written without a manifest line: " << written;
    }
    return ByItsName(ReadJsonLines(text));
}

// Whether `found` holds the old file under its name with its size and a path that fits, and
// its bytes when `exact`.
bool Holds(const ByName& found, const OldFile& file, bool exact) {
    const std::string name = file.path.substr(file.path.rfind('/') + 1);
    for (auto [it, end] = found.equal_range(name); it != end; ++it) {
        if (it->second.size == file.size && PathFits(it->second.path, file) &&
            (!exact || it->second.sha256 == file.sha256)) {
            return true;
        }
    }
    return false;
}

struct Marks {
    int withMetadata = 0, listed = 0, withBytes = 0, exact = 0, wrongGood = 0;
};

Marks Tally(const std::map<std::string, OldFile>& old, const ByName& listed,
            const ByName& recovered) {
    Marks m;
    for (const auto& [name, file] : old) {
        if (file.metadata) {
            ++m.withMetadata;
            m.listed += Holds(listed, file, false) ? 1 : 0;
            m.withBytes += file.bytes ? 1 : 0;
            m.exact += file.bytes && Holds(recovered, file, true) ? 1 : 0;
        }
    }
    for (const auto& [name, f] : recovered) {
        const auto file = old.find(name);
        if ((f.condition == "Excellent" || f.condition == "Good") && file != old.end() &&
            !f.sha256.empty() && (f.size != file->second.size || f.sha256 != file->second.sha256)) {
            ++m.wrongGood;
            ADD_FAILURE() << "rated " << f.condition << " but not its bytes: " << f.path;
        }
    }
    return m;
}

TEST(DeepScanTest, HoldsItsMarksOnDamagedVolumes) {
    for (const char* tool : {"mkfs.fat", "mcopy", "fiwalk", "istat"}) {
        if (!HaveTool(tool)) {
            GTEST_SKIP() << tool << " is not installed";
        }
    }
    const fs::path work =
        fs::temp_directory_path() / ("relicta-deep-" + std::to_string(::getpid()));
    fs::remove_all(work);
    const CommandResult made = RunCommand(
        "python3 '" + SourcePath("tests/data/make-deep-cases.py") + "' '" + work.string() + "'");
    EXPECT_EQ(made.status, 0) << made.err;
    std::printf("%s", made.err.c_str());
    for (const char* name : kCases) {
        SCOPED_TRACE(name);
        const fs::path image = work / (std::string(name) + ".img");
        if (!fs::exists(image)) {
            std::printf("[deep] %-16s not made\n", name);
            continue;
        }
        const fs::path caseWork = work / name;
        fs::create_directories(caseWork);
        const Marks m = Tally(ReadManifest(work / (std::string(name) + ".tsv")),
                              Listed(image.string()), Recovered(image.string(), caseWork));
        std::printf(
            "[deep] %-16s listed %3d of %3d with metadata, exact %3d of %3d with bytes, "
            "%d rated Good or better but wrong\n",
            name, m.listed, m.withMetadata, m.exact, m.withBytes, m.wrongGood);
        std::fflush(stdout);
        EXPECT_GE(m.listed * 100, kMarkPercent * m.withMetadata) << "files listed by name";
        EXPECT_GE(m.exact * 100, kMarkPercent * m.withBytes) << "files back byte for byte";
        fs::remove_all(caseWork);
    }
    fs::remove_all(work);
}

}  // namespace
}  // namespace relicta::test
