// The content check over genuine files of every checked format (tests/data/content, made by
// ImageMagick, img2pdf, ffmpeg and zip), intact and broken the ways deleted files break.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "content/content_check.h"
#include "support/paths.h"

namespace relicta::content {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
constexpr std::size_t kHeadPage = 4096;

Bytes Sample(const std::string& name) {
    std::ifstream in(test::SourcePath("tests/data/content/" + name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

ContentResult Check(ContentChecker& checker, const std::string& name, const Bytes& bytes) {
    MemoryReader reader(bytes);
    return checker.Check(name, reader);
}

struct Damage {
    const char* what;
    Verdict verdict;
    void (*apply)(Bytes&);
};

const Damage kDamages[] = {
    {"intact", Verdict::Ok, [](Bytes&) {}},
    // Cut short: the clusters after the first ones were given to another file.
    {"cut to 60 %", Verdict::Damaged, [](Bytes& b) { b.resize(b.size() * 6 / 10); }},
    // Its tail written over with zeros by a file that was deleted too.
    {"tail zeroed", Verdict::Damaged,
     [](Bytes& b) {
         std::fill(b.begin() + static_cast<std::ptrdiff_t>(b.size() / 2), b.end(), 0);
     }},
    // Its first cluster now holds another file's data.
    {"head written over", Verdict::Mismatch,
     [](Bytes& b) {
         const Bytes other = Sample("tone.wav");
         std::copy_n(other.begin() + 44, std::min<std::size_t>(b.size(), 512), b.begin());
     }},
    {"all zero", Verdict::Zeroed, [](Bytes& b) { std::fill(b.begin(), b.end(), 0); }},
};

TEST(ContentCheck, GenuineFilesAndTheWaysTheyBreak) {
    ContentChecker checker;
    int checked = 0;
    for (const fs::directory_entry& entry :
         fs::directory_iterator(test::SourcePath("tests/data/content"))) {
        const std::string name = entry.path().filename().string();
        for (const Damage& d : kDamages) {
            Bytes bytes = Sample(name);
            d.apply(bytes);
            const ContentResult result = Check(checker, name, bytes);
            // A text file cut short is still text; silence in a wave file is still sound.
            const bool undetectable =
                (name == "notes.txt" && std::string(d.what) == "cut to 60 %") ||
                (name == "tone.wav" && std::string(d.what) == "tail zeroed");
            if (!undetectable) {
                EXPECT_EQ(VerdictName(result.verdict), std::string(VerdictName(d.verdict)))
                    << name << ", " << d.what << ": " << result.detail;
            }
            // From its first page alone, a file asks for the rest or gets the same verdict.
            HeadReader head(std::span<const uint8_t>(bytes).first(
                                std::min<std::size_t>(bytes.size(), kHeadPage)),
                            bytes.size());
            const ContentResult fromHead = checker.Check(name, head);
            if (!head.WantedMore()) {
                EXPECT_EQ(fromHead.verdict, result.verdict) << name << ", " << d.what;
            }
            ++checked;
        }
    }
    EXPECT_EQ(checked, 12 * 5);
}

TEST(ContentCheck, TheNameDecidesWhatIsPromised) {
    ContentChecker checker;
    const Bytes png = Sample("picture.png");
    struct Case {
        const char* name;
        Verdict verdict;
        const char* detail;  // a part of it
    };
    const Case cases[] = {
        {"picture.png", Verdict::Ok, "PNG"},
        {"picture.JPG", Verdict::Mismatch, "PNG image"},  // an extension that lies
        {"picture.txt", Verdict::Mismatch, "PNG image"},
        {"picture.dat", Verdict::Unknown, "PNG image"},  // no check for .dat: the type is named
        {"picture", Verdict::Unknown, "PNG image"},
    };
    for (const Case& c : cases) {
        const ContentResult result = Check(checker, c.name, png);
        EXPECT_EQ(VerdictName(result.verdict), std::string(VerdictName(c.verdict))) << c.name;
        EXPECT_NE(result.detail.find(c.detail), std::string::npos)
            << c.name << ": " << result.detail;
    }
    EXPECT_EQ(Check(checker, "x.bin", Bytes(5000, 0xFF)).detail, "all 0xFF");
    // Random bytes under a promising name are told by their first page.
    Bytes noise(kHeadPage);
    std::generate(noise.begin(), noise.end(), std::mt19937(7));
    for (const char* name : {"x.jpg", "x.docx", "x.pdf", "x.txt", "x.png", "x.bin"}) {
        HeadReader head(noise, uint64_t{1} << 30);
        const ContentResult result = checker.Check(name, head);
        EXPECT_FALSE(head.WantedMore()) << name;
        EXPECT_EQ(result.detail, "data") << name;
    }
    EXPECT_EQ(Check(checker, "x.jpg", Bytes()).verdict, Verdict::Unknown);
}

TEST(ContentCheck, ARiffFileHoldsWhatItsNameCallsFor) {
    ContentChecker checker;
    struct Case {
        const char* sample;
        const char* name;
        Verdict verdict;
        const char* detail;  // a part of it
    };
    const Case cases[] = {
        {"tone.wav", "tone.wav", Verdict::Ok, "RIFF"},
        {"tone.wav", "tone.avi", Verdict::Mismatch, "WAVE"},
        {"video.avi", "video.wav", Verdict::Mismatch, "AVI"},
        {"video.avi", "video.webp", Verdict::Mismatch, "AVI"},
    };
    for (const Case& c : cases) {
        const ContentResult result = Check(checker, c.name, Sample(c.sample));
        EXPECT_EQ(VerdictName(result.verdict), std::string(VerdictName(c.verdict))) << c.name;
        EXPECT_NE(result.detail.find(c.detail), std::string::npos)
            << c.name << ": " << result.detail;
    }
}

}  // namespace
}  // namespace relicta::content
