// The recover command and engine over crafted volumes on the scripted platform.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include "app/progress.h"
#include "app/scan_state.h"
#include "platform/last_error.h"
#include "platform/recovered_file.h"

#include <deque>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "ntfs/mft_layout.h"
#include "ntfs/ntfs_harness.h"
#include "recover/recover_command.h"
#include "recover/recovered_names.h"
#include "scan/found_files.h"
#include "scan/scan_driver.h"
#include "support/fat_builder.h"
#include "view/found_file_list.h"

namespace relicta::recover {
namespace {

namespace fs = std::filesystem;
using app::MbResult;
using test::FatImage;

class ScriptedPrompts : public RecoverPrompts {
  public:
    std::optional<std::string> SaveAs(const std::string& proposedPath) override {
        proposed.push_back(proposedPath);
        if (saveAs.empty()) {
            return std::nullopt;
        }
        std::optional<std::string> answer = saveAs.front();
        saveAs.pop_front();
        return answer;
    }
    std::optional<std::string> RecoverToPath(const std::string&) override { return destination; }

    std::deque<std::optional<std::string>> saveAs;
    std::vector<std::string> proposed;
    std::optional<std::string> destination;
};

std::string Contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Each data cluster of the image filled with a byte of its own number.
void FillClusters(FatImage& image) {
    const std::size_t start = std::size_t{FatImage::kDataSector} * 512;
    for (std::size_t at = start; at < image.bytes.size(); ++at) {
        image.bytes[at] = static_cast<uint8_t>(2 + (at - start) / FatImage::kClusterBytes);
    }
}

std::string ClusterBytes(uint32_t cluster, std::size_t count = FatImage::kClusterBytes) {
    return std::string(count, static_cast<char>(cluster));
}

class RecoverTest : public test::NtfsHarness {
  protected:
    void SetUp() override {
        NtfsHarness::SetUp();
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        destination = fs::temp_directory_path() /
                      ("relicta-recover-" + std::to_string(::getpid()) + "-" +
                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(destination);
        prompts.destination = destination.string();
    }
    void TearDown() override {
        fs::remove_all(destination);
        NtfsHarness::TearDown();
    }

    // Scans drive C with every row selected, or only the rows named.
    view::MemoryFileList Scan(std::vector<std::string> only = {}) {
        scan::ScanSettings settings;
        settings.scanDrive = "C:\\";
        scan::CompileScanPattern(settings);
        view::MemoryFileList list;
        scan::RunScan(settings, list);
        for (view::MemoryFileList::Row& row : list.rows) {
            row.selected =
                only.empty() || std::find(only.begin(), only.end(), row.cells[0]) != only.end();
        }
        dialogs.shown.clear();
        return list;
    }

    RecoverTally Recover(const view::MemoryFileList& list, RecoverSettings settings = {}) {
        settings.lastDestination = destination.string();
        RecoverCommand command(prompts, settings);
        command.RecoverSelected(list);
        return command.Tally();
    }

    int64_t TotalClusters() {
        ntfs::OpenNtfsVolume('C');
        const int64_t total = volume::Vcb->TotalClusters;
        ntfs::CloseNtfsVolume(volume::Vcb->hVolume);
        return total;
    }

    fs::path destination;
    ScriptedPrompts prompts;
};

// A deleted FAT file is its first cluster, then the next free ones, wrapping at the end and
// stopping after one pass.
TEST_F(RecoverTest, FatDataFollowsTheNextFreeClusters) {
    FatImage probe;
    AddDrive('C', probe.bytes);
    const uint32_t last = static_cast<uint32_t>(TotalClusters() + 1);
    struct Case {
        const char* name;
        uint32_t first;
        uint32_t size;
        std::vector<uint32_t> used;  // clusters in use by other files now
        bool allUsed;                // every other cluster in use
        std::string expected;
    };
    const uint32_t c = FatImage::kClusterBytes;
    const Case cases[] = {
        {"SKIPS",
         10,
         3 * c - 100,
         {11},
         false,
         ClusterBytes(10) + ClusterBytes(12) + ClusterBytes(13, c - 100)},
        {"WRAPS", last, c + 5, {}, false, ClusterBytes(last) + ClusterBytes(2, 5)},
        {"ENDS", 20, 3 * c, {}, true, ClusterBytes(20)},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        FatImage image;
        FillClusters(image);
        image.RootEntry(0, test::File("XDATA   BIN", k.first, k.size));
        for (uint32_t used : k.used) {
            image.SetFat(used, 0xFFFF);
        }
        for (uint32_t n = 2; k.allUsed && n <= last; ++n) {
            image.SetFat(n, n == k.first ? 0 : 0xFFFF);
        }
        AddDrive('C', image.bytes);
        fs::remove_all(destination);
        Scan();
        ntfs::OpenNtfsVolume('C');
        const RecoverResult result = RecoverFile(0, k.first, destination, "?DATA.BIN");
        ntfs::CloseNtfsVolume(volume::Vcb->hVolume);
        EXPECT_TRUE(Contents(destination / "~DATA.BIN") == k.expected);
        EXPECT_EQ(result, k.allUsed ? RecoverResult::EndedEarly : RecoverResult::Recovered);
    }
}

// Names and directories come from the volume: whatever they say, files land inside the
// destination; "." and ".." are kept under safe replacements.
TEST_F(RecoverTest, VolumeNamesStayInsideTheDestination) {
    test::NtfsImage image;
    image.SetRecord(30, test::Directory(3, 5, u"..").Build());
    image.SetRecordInUse(30, true);
    image.SetRecord(40,
                    test::Named(0, 5, u"../../escape.txt").Resident(ntfs::kData, {'a'}).Build());
    image.SetRecord(41, test::Named(0, 30, u"up.txt").Resident(ntfs::kData, {'b'}).Build());
    image.SetRecord(42, test::Named(0, 5, u"..").Resident(ntfs::kData, {'c'}).Build());
    image.Rebuild();
    AddDrive('C', image.bytes, 0, "NTFS");
    struct Case {
        bool keepPaths;
        std::vector<std::string> files;  // relative to the destination
        int failed;
    };
    const Case cases[] = {
        {false, {"up.txt", ".._.._escape.txt", "_.."}, 0},
        // The file ".." would take the name of the folder ".." became: it is not recovered.
        {true, {".._.._escape.txt", "_../up.txt"}, 1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.keepPaths);
        fs::remove_all(destination);
        RecoverSettings settings;
        settings.keepPaths = k.keepPaths;
        const RecoverTally tally = Recover(Scan(), settings);
        std::vector<std::string> written;
        for (const auto& entry : fs::recursive_directory_iterator(destination)) {
            if (entry.is_regular_file()) {
                written.push_back(fs::relative(entry.path(), destination).string());
            }
        }
        std::sort(written.begin(), written.end());
        std::vector<std::string> expected = k.files;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(written, expected);
        EXPECT_EQ(tally.failed, k.failed);
        EXPECT_EQ(dialogs.Texts().back().rfind("The program has recovered", 0), 0u);
    }
    EXPECT_FALSE(fs::exists(destination.parent_path() / "escape.txt"));

    FatImage fat;
    fat.LongName(0, 2, u"../../fat.txt", true);
    fat.RootEntry(2, test::File("FAT~1   TXT", 10, 5));
    AddDrive('C', fat.bytes);
    for (const bool keepPaths : {false, true}) {
        fs::remove_all(destination);
        Recover(Scan(), RecoverSettings{true, keepPaths, ""});
        EXPECT_TRUE(fs::exists(destination / ".._.._fat.txt")) << keepPaths;
    }
}

TEST(RecoveredNames, ListedDirectoriesBecomeRelativePaths) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"C:\\", ""},
        {"C:\\a\\b\\", "a/b/"},
        {"C:\\OLDDIR\\?UB", "OLDDIR/~UB/"},
        {"C:\\?\\x\\", "~/x/"},
        {"C:\\a/..\\b\\", "a_../b/"},
        {"C:\\..\\", "_../"},
        {"C:\\a\\.\\", "a/_./"},
    };
    for (const auto& [dir, path] : cases) {
        EXPECT_EQ(RelativePathOfListedDir(dir), path) << dir;
    }
}

// A request to stop (Ctrl+C, Cancel) ends the recovery after the file in hand: files done
// stay, nothing partial is left, and the tally says it stopped. A file is unnamed until
// whole.
TEST_F(RecoverTest, AStopLeavesNoPartialFile) {
    FatImage image;
    FillClusters(image);
    image.RootEntry(0, test::File("AONE    TXT", 10, 100));
    image.RootEntry(1, test::File("ATWO    TXT", 11, 100));
    AddDrive('C', image.bytes);
    const view::MemoryFileList list = Scan();
    app::SetPumpMessagesHook([] {
        app::StopScan = true;
        return false;
    });
    const RecoverTally tally = Recover(list);
    app::SetPumpMessagesHook(nullptr);
    EXPECT_TRUE(tally.interrupted);
    EXPECT_EQ(tally.recovered, 1);  // small enough to finish at once
    EXPECT_EQ(Contents(destination / "~ONE.TXT"), ClusterBytes(10, 100));
    EXPECT_FALSE(fs::exists(destination / "~TWO.TXT"));

    platform::RecoveredFile file;
    const fs::path path = destination / "whole.bin";
    ASSERT_TRUE(file.Create(path.string(), false));
    ASSERT_TRUE(file.Write(std::vector<uint8_t>(10, 'x')));
    EXPECT_FALSE(fs::exists(path));
    ASSERT_TRUE(file.Close());
    EXPECT_EQ(fs::file_size(path), 10u);
    platform::RecoveredFile again;
    EXPECT_FALSE(again.Create(path.string(), false));
    EXPECT_EQ(platform::GetLastError(), EEXIST);
}

// The notes, questions and summaries of several and of single files.
TEST_F(RecoverTest, NotesQuestionsAndSummaries) {
    FatImage image;
    FillClusters(image);
    image.RootEntry(0, test::File("AONE    TXT", 10, 100));
    image.RootEntry(1, test::File("ATWO    TXT", 11, 100));
    image.RootEntry(2, test::File("ALOST   TXT", 0, 100));  // Hopeless
    AddDrive('C', image.bytes);

    Recover(Scan({"nothing"}));
    EXPECT_EQ(dialogs.Captions(), (std::vector<std::string>{"Huh?"}));

    Recover(Scan({"?LOST.TXT"}), RecoverSettings{true, false, ""});
    EXPECT_EQ(dialogs.Captions(), (std::vector<std::string>{"Note"}));
    EXPECT_EQ(dialogs.Texts()[0].rfind("For all of the selected files, the information", 0), 0u);

    const RecoverTally three = Recover(Scan());
    EXPECT_EQ(three.recovered, 2);
    ASSERT_EQ(dialogs.shown.size(), 3u);
    EXPECT_EQ(dialogs.Texts()[0].rfind("For some of the selected files, the information", 0), 0u);
    EXPECT_EQ(dialogs.Texts()[1].rfind("For all of the selected files, the first letter", 0), 0u);
    EXPECT_EQ(dialogs.Texts()[2], "The program has recovered 2 files to directory " +
                                      destination.string() +
                                      ".\n\nIt is possible some or all of the data in the files "
                                      "was overwritten, so you should verify that each file is "
                                      "correct.");

    // Again into the same place: every name is taken, nothing is touched, no summary.
    std::ofstream(destination / "~ONE.TXT", std::ios::trunc) << "mine";
    fs::remove(destination / "~TWO.TXT");
    std::ofstream(destination / "~TWO.TXT") << "mine too";
    const RecoverTally again = Recover(Scan({"?ONE.TXT", "?TWO.TXT"}));
    EXPECT_EQ(again.failed, 2);
    EXPECT_EQ(dialogs.Captions(),
              (std::vector<std::string>{"Note", "File not recovered", "File not recovered"}));
    EXPECT_EQ(Contents(destination / "~ONE.TXT"), "mine");

    // One file: the question, Save As proposing the "~" name, the same-partition question
    // (No asks for a name again, Yes goes on), then the result.
    os.driveUnderDestination = 'C';
    prompts.saveAs = {(destination / "first.txt").string(), (destination / "second.txt").string()};
    dialogs.answers = {MbResult::Ok, MbResult::No, MbResult::Yes};
    Recover(Scan({"?ONE.TXT"}));
    EXPECT_EQ(prompts.proposed.front(), prompts.destination.value() + "/~ONE.TXT");
    EXPECT_EQ(dialogs.Captions(),
              (std::vector<std::string>{
                  "Do you want to recover this file?", "Recovering back to same partition",
                  "Recovering back to same partition", "File has been recovered"}));
    EXPECT_NE(dialogs.Texts()[0].find("C:\\~ONE.TXT\"?\n\nNote: The first letter"),
              std::string::npos);
    EXPECT_EQ(Contents(destination / "second.txt"), ClusterBytes(10, 100));
    EXPECT_FALSE(fs::exists(destination / "first.txt"));
}

// Two files whose names come out alike, into a folder the recovery makes: the first is
// recovered, the second told its name is taken, the first left as it was.
TEST_F(RecoverTest, NamesAlikeInAFolderTheRecoveryMadeKeepTheFirst) {
    FatImage image;
    FillClusters(image);
    image.RootEntry(0, test::File("AONE    TXT", 10, 100));
    image.RootEntry(1, test::File("BONE    TXT", 11, 100));
    AddDrive('C', image.bytes);
    const RecoverTally tally = Recover(Scan());
    EXPECT_EQ(tally.recovered, 1);
    EXPECT_EQ(tally.failed, 1);
    EXPECT_EQ(dialogs.Captions(), (std::vector<std::string>{"Note", "File not recovered",
                                                            "File(s) has been recovered"}));
    EXPECT_EQ(Contents(destination / "~ONE.TXT"), ClusterBytes(10, 100));
}

// A volume with a file that crosses unreadable sectors and one that does not.
struct FailingVolume {
    const char* kind;
    std::vector<uint8_t> bytes;
    std::string fsName;
    std::string crossing, whole;                             // as recovered
    std::vector<platform::ByteRun> crossingData, wholeData;  // where their bytes lie, in order
    std::vector<platform::ByteRun> bad;
    std::vector<platform::ByteRun> missing;  // of the crossing file
};

// Each sector of the volume's data a pattern of its own, so that a byte moved shows.
void FillSectors(std::vector<uint8_t>& bytes, std::size_t from) {
    for (std::size_t at = from; at < bytes.size(); ++at) {
        bytes[at] = static_cast<uint8_t>((at >> 9) * 31 + at);
    }
}

std::string BytesOf(const std::vector<uint8_t>& volume,
                    const std::vector<platform::ByteRun>& runs) {
    std::string out;
    for (const platform::ByteRun& r : runs) {
        out.append(volume.begin() + r.offset, volume.begin() + r.End());
    }
    return out;
}

// FAT: clusters 10, 12, 13 (11 is in use); the sectors either side of the gap and one in the
// last cluster fail, and one no file uses.
FailingVolume FatVolume() {
    const int64_t c = FatImage::kClusterBytes;
    const auto at = [c](int64_t cluster) {
        return FatImage::kDataSector * 512 + (cluster - 2) * c;
    };
    FatImage image;
    FillSectors(image.bytes, FatImage::kDataSector * 512);
    image.RootEntry(0, test::File("ACROSS  BIN", 10, static_cast<uint32_t>(3 * c - 100)));
    image.RootEntry(1, test::File("AWHOLE  BIN", 20, 1000));
    image.SetFat(11, 0xFFFF);
    return {"FAT",
            image.bytes,
            "FAT",
            "~CROSS.BIN",
            "~WHOLE.BIN",
            {{at(10), uint64_t(c)}, {at(12), uint64_t(2 * c - 100)}},
            {{at(20), 1000}},
            {{at(10) + c - 512, 512}, {at(12), 512}, {at(13) + 1024, 512}, {at(30), 512}},
            {{c - 512, 1024}, {2 * c + 1024, 512}}};
}

// NTFS: two fragments, clusters 100-101 and 200; the same kind of damage.
FailingVolume NtfsVolume() {
    const int64_t c = test::NtfsImage::kClusterBytes;
    test::NtfsImage image;
    FillSectors(image.bytes, 100 * c);
    image.SetRecord(40,
                    test::Named(0, 5, u"across.bin")
                        .NonResident(ntfs::kData, {0x11, 0x02, 0x64, 0x11, 0x01, 0x64}, 3 * c - 100)
                        .Build());
    image.SetRecord(41, test::Named(0, 5, u"whole.bin")
                            .NonResident(ntfs::kData, {0x21, 0x01, 0x2C, 0x01}, 1000)
                            .Build());
    image.Rebuild();
    return {"NTFS",
            image.bytes,
            "NTFS",
            "across.bin",
            "whole.bin",
            {{100 * c, uint64_t(2 * c)}, {200 * c, uint64_t(c - 100)}},
            {{300 * c, 1000}},
            {{100 * c + 1024, 512}, {102 * c - 512, 512}, {200 * c, 512}, {400 * c, 512}},
            {{1024, 512}, {2 * c - 512, 1024}}};
}

std::string MissingJson(const std::vector<platform::ByteRun>& missing) {
    std::string json = "\"missing\":[";
    for (const platform::ByteRun& r : missing) {
        json += (json.back() == '[' ? "[" : ",[") + std::to_string(r.offset) + "," +
                std::to_string(r.length) + "]";
    }
    return json + "]";
}

std::string ManifestLineOf(const std::string& manifest, const std::string& file) {
    std::istringstream lines(manifest);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("\"path\":\"" + file + "\"") != std::string::npos) {
            return line;
        }
    }
    return {};
}

// A file that crosses unreadable sectors is left out, or with --partial written whole with
// zeros exactly where they were; its manifest line names those bytes of the file; the rest
// comes back exact, and the drive's report is shown once.
TEST_F(RecoverTest, FilesOverUnreadableSectorsAreLeftOutOrWrittenWithZeros) {
    for (const FailingVolume& v : {FatVolume(), NtfsVolume()}) {
        for (const bool partial : {false, true}) {
            SCOPED_TRACE(std::string(v.kind) + (partial ? " partial" : ""));
            AddDrive('C', v.bytes, 0, v.fsName).badRuns = v.bad;
            fs::remove_all(destination);
            const view::MemoryFileList list = Scan();
            RecoverSettings settings;
            settings.lastDestination = destination.string();
            settings.partial = partial;
            RecoverCommand command(prompts, settings);
            std::ostringstream manifest;
            command.SetManifest(&manifest);
            command.RecoverSelected(list);
            const RecoverTally& tally = command.Tally();

            EXPECT_TRUE(Contents(destination / v.whole) == BytesOf(v.bytes, v.wholeData));
            std::string expected = BytesOf(v.bytes, v.crossingData);
            for (const platform::ByteRun& r : v.missing) {
                std::fill_n(expected.begin() + r.offset, r.length, '\0');
            }
            if (partial) {
                EXPECT_TRUE(Contents(destination / v.crossing) == expected);
            } else {
                EXPECT_FALSE(fs::exists(destination / v.crossing));
            }
            const std::string line = ManifestLineOf(manifest.str(), v.crossing);
            EXPECT_NE(
                line.find(std::string("\"result\":\"") + (partial ? "partial" : "unreadable") +
                          "\"," + MissingJson(v.missing)),
                std::string::npos)
                << manifest.str();
            EXPECT_EQ(ManifestLineOf(manifest.str(), v.whole).find("missing"), std::string::npos);

            EXPECT_EQ(tally.tried, 2);
            EXPECT_EQ(tally.recovered, partial ? 2 : 1);
            EXPECT_EQ(tally.failed, partial ? 0 : 1);
            EXPECT_EQ(tally.unreadable, partial ? 0 : 1);
            EXPECT_EQ(tally.partial, partial ? 1 : 0);
            EXPECT_TRUE(tally.unreadableSectors);
            const std::vector<std::string> captions = Captions();
            ASSERT_EQ(std::count(captions.begin(), captions.end(), "Unreadable Sectors"), 1)
                << ::testing::PrintToString(captions);
            const std::string report = dialogs.Texts()[static_cast<std::size_t>(
                std::find(captions.begin(), captions.end(), "Unreadable Sectors") -
                captions.begin())];
            EXPECT_NE(report.find(partial ? "1 file was written with them as zeros"
                                          : "1 file crosses them and was not written whole"),
                      std::string::npos)
                << report;
            EXPECT_EQ(app::IgnoredConsistencyFailures(), 0);
        }
    }
}

}  // namespace
}  // namespace relicta::recover
