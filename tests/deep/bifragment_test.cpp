// Files in two pieces put back together: a JPEG, a PNG and a ZIP made by real tools, split with
// gaps of 1 to 1000 blocks holding another file, random bytes or zeros, come back byte for
// byte; one in three pieces or cut short never comes back at all. On a FAT volume where the
// allocator split a deleted file around another, `relicta recover` puts it back whole.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <string>

#include "content/formats/all_formats.h"
#include "deep/bifragment.h"
#include "deep/carve_follow.h"
#include "deep/extent_reader.h"
#include "platform/scripted_platform.h"
#include "support/paths.h"

namespace relicta::deep {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

enum class Kind { Jpeg, Png, Zip };
enum class Fill { Random, Zeros, OtherFile };
enum class Damage { None, ThirdPiece, CutShort };

struct Case {
    Kind kind;
    uint32_t block;
    int64_t gapBlocks;
    Fill fill;
    double splitAt;  // where the first piece ends, as a share of the file
    bool knownSize = false;
    Damage damage = Damage::None;
};

Bytes Random(std::size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (uint8_t& c : b) {
        c = static_cast<uint8_t>(rng());
    }
    return b;
}

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// The samples, made once by ImageMagick and zip; empty when a tool is missing.
class Samples {
  public:
    static const Samples& Get() {
        static const Samples samples;
        return samples;
    }
    const Bytes& Of(Kind kind) const { return files_.at(kind); }
    const Bytes& Other() const { return other_; }
    bool Made() const {
        return !other_.empty() && std::all_of(files_.begin(), files_.end(),
                                              [](const auto& f) { return !f.second.empty(); });
    }

  private:
    Samples() {
        const fs::path dir =
            fs::temp_directory_path() / ("relicta-bifragment-" + std::to_string(::getpid()));
        fs::create_directories(dir / "zipped");
        const std::string at = "'" + dir.string() + "/";
        if (fs::exists("/usr/bin/convert")) {
            test::RunCommand(
                "/usr/bin/convert -seed 7 -size 480x360 plasma:fractal -quality 90 " + at +
                "a.jpg' && /usr/bin/convert -seed 8 -size 320x240 "
                "plasma:fractal -quality 80 " +
                at + "b.jpg' && /usr/bin/convert -seed 9 -size 200x150 plasma: " + at + "c.png'");
        }
        // An archive of a deflated text, a stored incompressible file and a small one.
        {
            std::ofstream text(dir / "zipped/text.txt");
            for (int i = 0; i < 30000; ++i) {
                text << "line " << i << " of a text that deflates " << i * 7919 % 1000 << "\n";
            }
            const Bytes noise = Random(60000, 3);
            std::ofstream(dir / "zipped/noise.bin", std::ios::binary)
                .write(reinterpret_cast<const char*>(noise.data()),
                       static_cast<std::streamsize>(noise.size()));
            std::ofstream(dir / "zipped/small.txt") << "small\n";
        }
        if (test::HaveTool("zip")) {
            test::RunCommand("cd " + at +
                             "zipped' && zip -q -X ../d.zip text.txt && zip -q -X -0 "
                             "../d.zip noise.bin && zip -q -X ../d.zip small.txt");
        }
        files_[Kind::Jpeg] = ReadFile(dir / "a.jpg");
        files_[Kind::Png] = ReadFile(dir / "c.png");
        files_[Kind::Zip] = ReadFile(dir / "d.zip");
        other_ = ReadFile(dir / "b.jpg");
        fs::remove_all(dir);
    }
    std::map<Kind, Bytes> files_;
    Bytes other_;
};

// Each kind's format, and the name its sample takes on a FAT volume.
struct KindOf {
    const content::Format& format;
    const char* fatName;
};

const KindOf& Of(Kind kind) {
    static const KindOf kinds[] = {{content::kJpegFormat, "C.JPG"},
                                   {content::kPngFormat, "C.PNG"},
                                   {content::kZipFormat, "C.ZIP"}};
    return kinds[static_cast<int>(kind)];
}

void PrintTo(Kind kind, std::ostream* os) {
    *os << Of(kind).fatName;
}

void PrintTo(const Case& c, std::ostream* os) {
    static const char* const fills[] = {"random", "zeros", "another file"};
    static const char* const damages[] = {"", ", third piece", ", cut short"};
    *os << Of(c.kind).fatName << " blocks of " << c.block << ", gap " << c.gapBlocks << " of "
        << fills[static_cast<int>(c.fill)] << (c.knownSize ? ", size known" : "")
        << damages[static_cast<int>(c.damage)];
}

// A drive of random bytes holding the file at `start` in two pieces, the gap filled as the case
// says; the second piece itself split again or cut short where the case damages it.
struct Layout {
    Bytes drive;
    int64_t start = 0;
    int64_t e1 = 0;
    int64_t s2 = 0;
    int64_t otherAt = -1;  // where another file's header lies
};

Layout Lay(const Case& c, const Bytes& file, const Bytes& other) {
    const int64_t block = c.block;
    const int64_t gap = c.gapBlocks * block;
    Layout l;
    l.start = 16 * block;
    const auto firstBlocks =
        static_cast<int64_t>(static_cast<double>(file.size()) * c.splitAt) / block;
    l.e1 = l.start + firstBlocks * block;
    l.s2 = l.e1 + gap;
    const auto first = static_cast<std::size_t>(l.e1 - l.start);
    const std::size_t rest = file.size() - first;
    const int64_t third = c.damage == Damage::ThirdPiece ? 3 * block : 0;
    l.drive =
        Random(static_cast<std::size_t>(l.s2 + static_cast<int64_t>(rest) + third + 64 * block),
               c.gapBlocks * 31 + c.block);
    std::copy(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(first),
              l.drive.begin() + l.start);
    if (c.fill == Fill::Zeros) {
        std::fill(l.drive.begin() + l.e1, l.drive.begin() + l.s2, 0);
    } else if (c.fill == Fill::OtherFile) {
        const std::size_t n = std::min<std::size_t>(other.size(), static_cast<std::size_t>(gap));
        std::copy(other.begin(), other.begin() + static_cast<std::ptrdiff_t>(n),
                  l.drive.begin() + l.e1);
        l.otherAt = l.e1;
    }
    // A third piece: the second one's later part lies 3 blocks further on.
    const std::size_t split = c.damage == Damage::ThirdPiece
                                  ? std::min<std::size_t>(rest, static_cast<std::size_t>(8 * block))
                                  : rest;
    std::copy(file.begin() + static_cast<std::ptrdiff_t>(first),
              file.begin() + static_cast<std::ptrdiff_t>(first + split), l.drive.begin() + l.s2);
    std::copy(file.begin() + static_cast<std::ptrdiff_t>(first + split), file.end(),
              l.drive.begin() + l.s2 + static_cast<std::ptrdiff_t>(split + third));
    if (c.damage == Damage::CutShort) {
        const int64_t cut = l.s2 + static_cast<int64_t>(rest) - 4 * block;
        const Bytes noise = Random(static_cast<std::size_t>(l.drive.size() - cut), 99);
        std::copy(noise.begin(), noise.end(), l.drive.begin() + cut);
    }
    return l;
}

std::optional<std::vector<scan::DeepExtent>> Reassemble(const Case& c, const Layout& l,
                                                        uint64_t size) {
    platform::ScriptedPlatform os;
    os.Drive('C').bytes = l.drive;
    const platform::ScopedPlatform scoped(os);
    const platform::Handle drive = os.OpenVolume('C');
    const content::Format& format = Of(c.kind).format;
    const auto length = static_cast<int64_t>(l.drive.size());
    // Where the structure read on from the start breaks (or ends, when foreign bytes did not
    // break it), as the carver finds it.
    ExtentReader contiguous(drive, {{l.start, static_cast<uint64_t>(length - l.start)}},
                            static_cast<uint64_t>(length - l.start));
    content::Window window(contiguous);
    const content::FileEnd end = format.FindEnd(window);
    GapSearch search;
    search.start = l.start;
    search.breakAt = l.start + static_cast<int64_t>(end.end);
    search.blockBytes = c.block;
    search.driveLength = length;
    if (c.knownSize) {
        search.knownSize = size;
    }
    search.mayHold = [&l](int64_t at) { return at != l.otherAt; };
    return ReassembleTwoFragments(drive, format, search, [&format](content::DataReader& data) {
        return ChecksWhole(format, data);
    });
}

class BifragmentTest : public ::testing::TestWithParam<Case> {};

TEST_P(BifragmentTest, PutsBackWhatChecksOutAndNothingElse) {
    const Samples& samples = Samples::Get();
    if (!samples.Made()) {
        GTEST_SKIP() << "/usr/bin/convert or zip is missing";
    }
    const Case& c = GetParam();
    const Bytes& file = samples.Of(c.kind);
    const Layout l = Lay(c, file, samples.Other());
    const std::optional<std::vector<scan::DeepExtent>> pieces = Reassemble(c, l, file.size());
    if (c.damage != Damage::None) {
        EXPECT_FALSE(pieces.has_value());
        return;
    }
    ASSERT_TRUE(pieces.has_value());
    const auto first = static_cast<uint64_t>(l.e1 - l.start);
    const std::vector<scan::DeepExtent> expected{{l.start, first}, {l.s2, file.size() - first}};
    ASSERT_EQ(pieces->size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ((*pieces)[i].offset, expected[i].offset) << i;
        EXPECT_EQ((*pieces)[i].length, expected[i].length) << i;
    }
}

// Split points: JPEG and PNG inside their image data; ZIP inside the deflated text (0.1), the
// stored noise (0.85).
INSTANTIATE_TEST_SUITE_P(
    Gaps, BifragmentTest,
    ::testing::Values(
        Case{Kind::Jpeg, 512, 1, Fill::Random, 0.5}, Case{Kind::Jpeg, 512, 10, Fill::Zeros, 0.3},
        Case{Kind::Jpeg, 512, 1000, Fill::OtherFile, 0.6},
        Case{Kind::Jpeg, 4096, 10, Fill::OtherFile, 0.4, true},
        Case{Kind::Jpeg, 512, 10, Fill::Random, 0.5, false, Damage::ThirdPiece},
        Case{Kind::Jpeg, 512, 10, Fill::Random, 0.5, true, Damage::CutShort},
        Case{Kind::Png, 512, 1, Fill::Zeros, 0.5}, Case{Kind::Png, 512, 10, Fill::OtherFile, 0.3},
        Case{Kind::Png, 512, 1000, Fill::Random, 0.7},
        Case{Kind::Png, 4096, 7, Fill::Random, 0.5, true},
        Case{Kind::Png, 512, 10, Fill::Zeros, 0.5, false, Damage::ThirdPiece},
        Case{Kind::Png, 512, 10, Fill::Random, 0.5, false, Damage::CutShort},
        Case{Kind::Zip, 512, 1, Fill::OtherFile, 0.1}, Case{Kind::Zip, 512, 10, Fill::Random, 0.85},
        Case{Kind::Zip, 512, 1000, Fill::Zeros, 0.1},
        Case{Kind::Zip, 4096, 3, Fill::Random, 0.15, true},
        Case{Kind::Zip, 512, 10, Fill::Random, 0.1, false, Damage::ThirdPiece},
        Case{Kind::Zip, 512, 10, Fill::Zeros, 0.85, true, Damage::CutShort}));

// C written into the hole a small A left, and on after a big B; then C and B deleted: C's
// clusters from its first on run into B's.
class FatReassemblyTest : public ::testing::TestWithParam<Kind> {};

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

TEST_P(FatReassemblyTest, RecoverPutsBackAFileSplitAroundAnother) {
    const Samples& samples = Samples::Get();
    for (const char* tool : {"mkfs.fat", "mcopy", "mdel", "mshowfat"}) {
        if (!test::HaveTool(tool)) {
            GTEST_SKIP() << tool << " is missing";
        }
    }
    if (!samples.Made()) {
        GTEST_SKIP() << "/usr/bin/convert or zip is missing";
    }
    const Bytes& c = samples.Of(GetParam());
    const fs::path dir =
        fs::temp_directory_path() / ("relicta-fatsplit-" + std::to_string(::getpid()) + "-" +
                                     std::to_string(static_cast<int>(GetParam())));
    fs::remove_all(dir);
    fs::create_directories(dir);
    WriteFile(dir / "A.BIN", Random(6000, 1));
    WriteFile(dir / "B.BIN", Random(40000, 2));
    const std::string name = Of(GetParam()).fatName;
    WriteFile(dir / name, c);
    const std::string img = (dir / "fat.img").string();
    const std::string at = "cd '" + dir.string() + "' && ";
    ASSERT_EQ(test::RunCommand(at +
                               "truncate -s 16M fat.img && mkfs.fat -F 16 -s 4 fat.img && "
                               "mcopy -i fat.img A.BIN B.BIN :: && mdel -i fat.img ::A.BIN && "
                               "mcopy -i fat.img " +
                               name + " ::")
                  .status,
              0);
    // The allocator must have split C: two runs of clusters.
    const std::string runs = test::RunCommand(at + "mshowfat -i fat.img ::" + name).out;
    ASSERT_TRUE(std::regex_search(runs, std::regex(R"(<\d+-\d+> <\d+-\d+>)"))) << runs;
    ASSERT_EQ(test::RunCommand(at + "mdel -i fat.img ::" + name + " ::B.BIN").status, 0);

    const test::CommandResult recovered =
        test::RunCommand(at + "'" + test::RelictaBinary() +
                         "' recover --all --yes --to out --manifest manifest.json fat.img");
    ASSERT_EQ(recovered.status, 0) << recovered.err;
    std::string path;
    std::ifstream manifest(dir / "manifest.json");
    for (std::string line; std::getline(manifest, line);) {
        if (test::JsonField(line, "size") == std::to_string(c.size())) {
            path = test::JsonField(line, "path");
            EXPECT_EQ(test::JsonField(line, "condition"), "Poor");
            EXPECT_NE(test::JsonField(line, "content_detail").find("reassembled"),
                      std::string::npos)
                << line;
        }
    }
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(ReadFile(dir / "out" / path) == c);
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Formats, FatReassemblyTest,
                         ::testing::Values(Kind::Jpeg, Kind::Png, Kind::Zip));

}  // namespace
}  // namespace relicta::deep
