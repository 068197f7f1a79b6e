#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <set>

#include "app/dialogs.h"
#include "cli/commands.h"
#include "cli/interrupt.h"
#include "platform/platform.h"
#include "platform/recovered_file.h"
#include "recover/recover_command.h"
#include "scan/found_files.h"

namespace relicta::cli {
namespace {

// The command line chooses nothing interactively: the destination is --to.
class OptionPrompts : public recover::RecoverPrompts {
  public:
    explicit OptionPrompts(std::string destination) : destination_(std::move(destination)) {}
    std::optional<std::string> SaveAs(const std::string& proposedPath) override {
        return proposedPath;
    }
    std::optional<std::string> RecoverToPath(const std::string&) override { return destination_; }

  private:
    std::string destination_;
};

// "files, bytes and rate" on one line of a terminal, redrawn a few times a second.
class RecoverProgressLine {
  public:
    explicit RecoverProgressLine(std::FILE* out) : out_(out) {}
    ~RecoverProgressLine() {
        if (drawn_) {
            std::fprintf(out_, "\r\033[K");
            std::fflush(out_);
        }
    }

    void Draw(const recover::RecoverTally& t) {
        const auto now = Clock::now();
        if (drawn_ && now - lastDraw_ < kRedrawInterval) {
            return;
        }
        drawn_ = true;
        lastDraw_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const double mib = static_cast<double>(t.bytesWritten) / kMiB;
        const double totalMib = static_cast<double>(t.selectedBytes) / kMiB;
        const double rate = seconds > 0 ? mib / seconds : 0.0;
        std::fprintf(out_, "\r\033[KRecovering: %d of %d files, %.1f of %.1f MiB, %.1f MiB/s",
                     t.tried, t.selected, mib, totalMib, rate);
        // Time left once the rate means something: after a second and some bytes.
        if (seconds >= 1 && rate > 0 && totalMib > mib) {
            const long left = std::lround((totalMib - mib) / rate);
            std::fprintf(out_, ", %ldm %02lds left", left / 60, left % 60);
        }
        std::fflush(out_);
    }

  private:
    using Clock = std::chrono::steady_clock;
    static constexpr double kMiB = 1024.0 * 1024.0;
    static constexpr auto kRedrawInterval = std::chrono::milliseconds(200);

    std::FILE* out_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point lastDraw_;
    bool drawn_ = false;
};

// Selects the rows --item and --all name; false (with the reason on stderr) for a bad one.
bool SelectRows(const Options& options, view::FoundFileList& list) {
    const bool all = !NamedValue(options, "all").empty();
    for (view::FoundFileList::Row& row : list.rows) {
        row.selected = all;
    }
    for (const std::string& text : NamedValues(options, "item")) {
        std::size_t used = 0;
        unsigned long long item = 0;
        try {
            item = std::stoull(text, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used != text.size() || text.empty() || text[0] == '-') {
            std::fprintf(stderr, "relicta: --item takes a number, not %s\n", text.c_str());
            return false;
        }
        if (item >= scan::foundFiles.size()) {
            std::fprintf(stderr, "relicta: there is no item %llu: the scan listed %zu files\n",
                         item, scan::foundFiles.size());
            return false;
        }
        // Rows keep their item numbers when filters drop others.
        const auto row =
            std::find_if(list.rows.begin(), list.rows.end(),
                         [item](const view::FoundFileList::Row& r) { return r.itemData == item; });
        if (row == list.rows.end()) {
            std::fprintf(stderr, "relicta: item %llu is not among the files the filters list\n",
                         item);
            return false;
        }
        row->selected = true;
    }
    return true;
}

// Recovering onto the device being read can overwrite the very files being recovered: asked
// once, before anything is written.
bool DestinationAccepted(const view::FoundFileList& list, const std::string& destination) {
    std::set<char> drives;
    for (const view::FoundFileList::Row& row : list.rows) {
        if (row.selected && row.itemData < scan::foundFiles.size() &&
            scan::foundFiles[row.itemData].Drive() != '\0') {
            drives.insert(scan::foundFiles[row.itemData].Drive());
        }
    }
    for (char letter : drives) {
        if (platform::CurrentPlatform().IsOnDriveDevice(letter, destination)) {
            return recover::AskRecoverToSamePartition() == app::MbResult::Yes;
        }
    }
    return true;
}

}  // namespace

int RunRecoverCommand(const Options& options) {
    const std::string destination = NamedValue(options, "to");
    const bool all = !NamedValue(options, "all").empty();
    if (destination.empty() || (!all && NamedValues(options, "item").empty())) {
        std::fprintf(stderr, "relicta: recover needs --to DIR and --item N or --all\n%s",
                     UsageHint("recover").c_str());
        return kExitUsage;
    }
    // Checked before anything is read: a scan of an hour should not end in one error a file.
    if (const std::string problem = platform::DestinationProblem(destination); !problem.empty()) {
        std::fprintf(stderr, "relicta: cannot recover into %s: %s\n", destination.c_str(),
                     problem.c_str());
        return kExitUsage;
    }
    const std::string manifestPath = NamedValue(options, "manifest");
    std::ofstream manifest;
    if (!manifestPath.empty()) {
        manifest.open(manifestPath, std::ios::binary | std::ios::trunc);
        if (!manifest) {
            std::fprintf(stderr, "relicta: %s: cannot be written\n", manifestPath.c_str());
            return kExitUsage;
        }
    }
    const std::optional<view::ListFilter> filter = FilterFromOptions(options);
    if (!filter) {
        return kExitUsage;
    }
    view::FoundFileList list;
    int status = kExitUsage;
    const std::optional<ScanOutcome> outcome = ScanForCommand(options, list, status);
    if (!outcome || status != kExitDone) {
        return status;
    }
    if (outcome->interrupted) {
        std::fprintf(stderr, "relicta: scan stopped; nothing recovered\n");
        return kExitAborted;
    }
    KeepFilteredRows(list, *filter);
    if (!SelectRows(options, list)) {
        return kExitUsage;
    }
    if (list.rows.empty()) {
        std::fprintf(stderr, filter->FiltersNothing()
                                 ? "relicta: no deleted files were found; nothing to recover\n"
                                 : "relicta: no deleted file passes the filters; nothing to "
                                   "recover\n");
        return kExitDone;
    }
    if (!DestinationAccepted(list, destination)) {
        std::fprintf(stderr, "relicta: nothing recovered\n");
        return kExitAborted;
    }
    OptionPrompts prompts(destination);
    recover::RecoverSettings settings;
    settings.alwaysSeveral = true;
    settings.keepPaths = !NamedValue(options, "keep-paths").empty();
    settings.partial = !NamedValue(options, "partial").empty();
    recover::RecoverCommand command(prompts, settings);
    command.SetManifest(manifest.is_open() ? &manifest : nullptr);
    std::optional<RecoverProgressLine> progress;
    if (::isatty(STDERR_FILENO) != 0) {
        progress.emplace(stderr);
        command.SetProgressObserver(
            [&progress](const recover::RecoverTally& t) { progress->Draw(t); });
    }
    {
        // The first Ctrl+C stops after the file in hand (dropped unless nearly done) and
        // still reports what was recovered; a second ends the process, and the file being
        // written, unnamed until whole, goes with it.
        const CtrlCStops ctrlC;
        command.RecoverSelected(list);
    }
    progress.reset();
    const recover::RecoverTally& tally = command.Tally();
    if (tally.interrupted) {
        std::fprintf(stderr, "relicta: stopped: %d of %d files recovered\n", tally.recovered,
                     tally.selected);
        return kExitInterrupted;
    }
    if (tally.partial > 0) {
        std::fprintf(stderr,
                     "relicta: %d files written with unreadable sectors as zeros (--partial)\n",
                     tally.partial);
    }
    if (tally.failed > 0 || tally.endedEarly > 0) {
        std::fprintf(stderr, "relicta: %d of %d files tried could not be recovered whole\n",
                     tally.failed + tally.endedEarly, tally.tried);
        if (tally.unreadable > 0) {
            std::fprintf(stderr,
                         "relicta: %d of them %s unreadable sectors; --partial writes them "
                         "with zeros there\n",
                         tally.unreadable, tally.unreadable == 1 ? "crosses" : "cross");
        }
        return kExitNotRecovered;
    }
    return tally.partial > 0 || tally.unreadableSectors || outcome->partial ? kExitPartial
                                                                            : kExitDone;
}

}  // namespace relicta::cli
