// Real volumes written by Windows and others, when ../shared/corpus is present.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "e2e/drives_output.h"
#include "support/paths.h"

namespace relicta::test {
namespace {

namespace fs = std::filesystem;

struct CorpusVolume {
    std::string name;
    std::string fs;
    std::vector<uint64_t> offsets;  // sectors
    std::string archive;
};

std::vector<CorpusVolume> ReadCorpusManifest(const std::string& dir) {
    std::vector<CorpusVolume> volumes;
    std::ifstream in(dir + "/manifest.tsv");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        CorpusVolume v;
        std::string offsets;
        std::getline(fields, v.name, '\t');
        std::getline(fields, v.fs, '\t');
        std::getline(fields, offsets, '\t');
        std::getline(fields, v.archive, '\t');
        std::istringstream list(offsets);
        std::string one;
        while (std::getline(list, one, ',')) v.offsets.push_back(std::stoull(one));
        volumes.push_back(v);
    }
    return volumes;
}

// Unpacks a corpus image once into the build tree, sparsely.
std::string Unpacked(const std::string& corpus, const CorpusVolume& v) {
    const fs::path cache = fs::path(BuildDir()) / "corpus-cache";
    fs::create_directories(cache);
    const fs::path archive = fs::path(corpus) / "images" / v.archive;
    if (v.archive.ends_with(".tar.xz")) {
        const fs::path dir = cache / v.name;
        if (!fs::exists(dir / ".done")) {
            fs::create_directories(dir);
            RunCommand("tar -xSJf '" + archive.string() + "' -C '" + dir.string() + "' && touch '" +
                       (dir / ".done").string() + "'");
        }
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.path().filename() != ".done") return entry.path().string();
        }
        return {};
    }
    const fs::path image = cache / (v.name + ".img");
    if (!fs::exists(image)) {
        RunCommand("xz -dc '" + archive.string() + "' | dd of='" + image.string() +
                   ".part' bs=1M conv=sparse status=none && mv '" + image.string() + ".part' '" +
                   image.string() + "'");
    }
    return image.string();
}

TEST(Corpus, EveryVolumeIsFoundWithTheGeometryFsstatReports) {
    const std::string corpus = CorpusDir();
    if (corpus.empty()) {
        GTEST_SKIP() << "no corpus beside the checkout";
    }
    const bool haveFsstat = HaveTool("fsstat");
    for (const CorpusVolume& v : ReadCorpusManifest(corpus)) {
        SCOPED_TRACE(v.name);
        const std::string image = Unpacked(corpus, v);
        ASSERT_FALSE(image.empty());
        const CommandResult r = RunCommand(RelictaBinary() + " drives --on-check=ignore --volume '" + image + "'");
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

}  // namespace
}  // namespace relicta::test
