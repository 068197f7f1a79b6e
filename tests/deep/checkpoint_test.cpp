// A deep scan stopped half-way and gone on from its checkpoint lists what one that never
// stopped lists; a checkpoint damaged, cut short or made of another drive is refused.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/progress.h"
#include "app/recording_dialogs.h"
#include "app/scan_state.h"
#include "deep/checkpoint.h"
#include "deep/deep_scan.h"
#include "platform/scripted_platform.h"
#include "scan/found_files.h"
#include "support/paths.h"
#include "view/found_file_list.h"

namespace relicta::deep {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr std::size_t kReadBytes = 8 * kMiB;   // the pass's reads
constexpr std::size_t kMftOffset = 16 * 1024;  // in ntfs512.img

// Sets StopScan once the deep scan's pass has come `stopAt` thousandths of the way.
class StoppingProgress final : public app::ProgressWindow {
  public:
    explicit StoppingProgress(int stopAt) : stopAt_(stopAt) {}
    void SetText(const std::string& text) override { pass_ = text.starts_with("Deep scan:"); }
    void SetRange(int, int) override {}
    void SetStep(int) override {}
    void SetPos(int position) override {
        if (pass_ && stopAt_ >= 0 && position >= stopAt_) {
            app::StopScan = true;
        }
    }
    void StepIt() override {}

  private:
    int stopAt_;
    bool pass_ = false;
};

class CheckpointTest : public ::testing::Test {
  protected:
    void SetUp() override {
        app::ResetScanState();
        // Old volumes a deep scan finds, on a drive whose own boot sector is gone; the first
        // MFT record straddles the third read's start, where the scan stops.
        drive_.bytes.assign(41 * kMiB, 0);
        Place("exfat512.img", kMiB);
        Place("ntfs512.img", 3 * kReadBytes - kMftOffset - kSectorBytes);
        path_ = (fs::temp_directory_path() /
                 ("relicta-checkpoint-" + std::to_string(::getpid()) + ".checkpoint"))
                    .string();
        fs::remove(path_);
    }
    void TearDown() override {
        app::SetProgressFactory(nullptr);
        fs::remove(path_);
    }
    void Place(const std::string& image, std::size_t at) {
        const std::string bytes = test::ReadFileBytes(test::FixturePath(image));
        ASSERT_LE(at + bytes.size(), drive_.bytes.size());
        std::copy(bytes.begin(), bytes.end(), drive_.bytes.begin() + static_cast<long>(at));
    }

    // What a deep scan of C: lists, one line a file; stopped at `stopAt` thousandths of its pass.
    std::vector<std::string> Scan(DeepCheckpoint* checkpoint, int stopAt = -1) {
        app::SetProgressFactory([stopAt] { return std::make_unique<StoppingProgress>(stopAt); });
        scan::ScanSettings settings;
        settings.scanDrive = "C:\\";
        scan::CompileScanPattern(settings);
        view::FoundFileList list;
        RunDeepScan(settings, list, Carving::On, checkpoint);
        std::vector<std::string> lines;
        for (const scan::FoundFile& f : scan::foundFiles) {
            lines.push_back(f.dir + f.name + " " + std::to_string(f.size) + " " +
                            std::to_string(f.mftOrCluster) + " " + scan::FoundByName(f.foundBy));
        }
        return lines;
    }

    // Whether a checkpoint at path_ is refused, with `message`.
    void ExpectRefused(const std::string& message) {
        app::RecordingDialogs dialogs;
        const app::ScopedDialogs scopedDialogs(dialogs);
        DeepCheckpoint checkpoint(path_);
        EXPECT_FALSE(checkpoint.Resume());
        EXPECT_EQ(dialogs.Texts(), std::vector<std::string>{message});
    }

    std::string ReadCheckpoint() { return test::ReadFileBytes(path_); }
    void WriteCheckpoint(const std::string& bytes) {
        std::ofstream(path_, std::ios::binary | std::ios::trunc) << bytes;
    }

    platform::ScriptedPlatform os_;
    platform::ScriptedDrive& drive_ = os_.Drive('C');
    std::string path_;
};

TEST_F(CheckpointTest, StoppedHalfWayGoesOnToListWhatAScanThatNeverStoppedLists) {
    const platform::ScopedPlatform scoped(os_);
    const std::vector<std::string> whole = Scan(nullptr);
    ASSERT_GT(whole.size(), 20u);
    {
        DeepCheckpoint stopped(path_, std::chrono::seconds(0));
        const std::vector<std::string> part = Scan(&stopped, 500);
        EXPECT_TRUE(app::StopScan);
        EXPECT_LT(part.size(), whole.size());
        stopped.Finish();
    }
    ASSERT_TRUE(fs::exists(path_)) << "a stopped scan keeps its checkpoint";
    const std::string saved = ReadCheckpoint();
    {
        DeepCheckpoint resumed(path_);
        ASSERT_TRUE(resumed.Resume());
        EXPECT_EQ(Scan(&resumed), whole);
        resumed.Finish();
    }
    EXPECT_FALSE(fs::exists(path_)) << "a scan that ends takes its checkpoint away";

    const std::string damaged =
        "The checkpoint " + path_ + " is damaged or cut short: the deep scan cannot go on from it.";
    struct Case {
        const char* what;
        std::string bytes;
        std::string message;
    };
    std::string flipped = saved;
    flipped[saved.size() / 2] = static_cast<char>(flipped[saved.size() / 2] ^ 0x10);
    const Case cases[] = {
        {"cut short", saved.substr(0, saved.size() - 9), damaged},
        {"a byte changed", flipped, damaged},
        {"no checkpoint", "not a checkpoint at all",
         path_ + " is not a deep scan's checkpoint that this version can go on from."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteCheckpoint(c.bytes);
        ExpectRefused(c.message);
    }
    // Another drive where C: was: a sector it samples differs.
    WriteCheckpoint(saved);
    drive_.bytes[0] = 0xEB;
    ExpectRefused(
        "The checkpoint " + path_ +
        " was made of another drive than C:\\ is now: the deep scan cannot go on from it.");
}

}  // namespace
}  // namespace relicta::deep

namespace relicta::deep {
namespace {

TEST(DesktopCheckpoint, InTheStateDirectoryAskingToGoOnWhenOneIsThere) {
    const fs::path state =
        fs::temp_directory_path() / ("relicta-state-" + std::to_string(::getpid()));
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    const std::string path = (state / "relicta" / "relicta-drive-Q.checkpoint").string();
    app::RecordingDialogs dialogs;
    const app::ScopedDialogs scopedDialogs(dialogs);
    bool cancelled = true;
    const std::unique_ptr<DeepCheckpoint> none = OfferCheckpoint("Q:\\", cancelled);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->Path(), path);
    EXPECT_FALSE(cancelled);
    EXPECT_TRUE(dialogs.shown.empty()) << "nothing to go on from: no question";

    std::ofstream(path) << "RLCTDEEP";
    const std::string question =
        "A deep scan of drive Q:\\ stopped before it was done.\r\n\r\nGo on from where it "
        "stopped? (No scans from the beginning.)";
    dialogs.answers = {app::MbResult::Cancel, app::MbResult::No, app::MbResult::Yes};
    EXPECT_FALSE(OfferCheckpoint("Q:\\", cancelled));
    EXPECT_TRUE(cancelled);
    EXPECT_TRUE(OfferCheckpoint("Q:\\", cancelled));
    EXPECT_TRUE(OfferCheckpoint("Q:\\", cancelled)) << "refused: the scan begins afresh";
    EXPECT_FALSE(cancelled);
    EXPECT_EQ(dialogs.Texts(),
              (std::vector<std::string>{
                  question, question, question,
                  path + " is not a deep scan's checkpoint that this version can go on from."}));
    ::unsetenv("XDG_STATE_HOME");
    fs::remove_all(state);
}

}  // namespace
}  // namespace relicta::deep
