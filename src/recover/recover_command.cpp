#include "recover/recover_command.h"

#include <cstdlib>

#include "app/consistency.h"
#include "app/dialogs.h"
#include "app/scan_state.h"
#include "app/system_error.h"
#include "deep/deep_scan.h"
#include "ntfs/ntfs_volume.h"
#include "platform/last_error.h"
#include "platform/platform.h"
#include "recover/content_pass.h"
#include "recover/file_writer.h"
#include "recover/found_file_data.h"
#include "recover/recovered_names.h"
#include "scan/found_files.h"
#include "scan/scan_driver.h"
#include "view/list_texts.h"
#include "volume/unreadable_report.h"
#include "volume/vcb.h"

namespace relicta::recover {
namespace {

using app::MbButtons;
using app::MbIcon;
using app::MbResult;
using volume::Vcb;

constexpr const char* kGuessedLayoutNote =
    " the chain of clusters that held the data was lost.\nThe program will recover the free "
    "clusters that follow the first one, which may hold other data.";
constexpr const char* kLostLetterNote =
    " the first letter of the filename was lost.\nThe program will use the '~' character to "
    "replace the missing letter.\nYou probably will want to rename these files after they are "
    "recovered.";

// Opens the drive of CurrentDriveRoot; false, after telling the user, when it cannot be.
bool OpenCurrentDrive() {
    const std::optional<platform::Handle> handle =
        deep::OpenDriveOfFoundFiles(scan::CurrentDriveRoot[0]);
    if (!handle || !platform::IsOpenHandle(*handle)) {
        app::ShowSystemError();
        app::MessageBox("Could not open drive, so could not recover files", "Fatal");
        ntfs::DefragInProgress = false;
        return false;
    }
    return true;
}

bool LocationLost(const scan::FoundFile& file) {
    return file.Deep() == nullptr && file.mftOrCluster <= 1 && file.size != 0;
}

// Where one of several files goes: the destination, and its old directory under it when
// paths are kept. nullopt when the old directory cannot be made a path.
std::optional<std::string> DestinationFor(const std::string& destination,
                                          const scan::FoundFile& file, bool keepPaths) {
    if (!keepPaths) {
        return destination;
    }
    const std::optional<std::string> kept = RelativePathOfListedDir(file.dir);
    if (!kept) {
        return std::nullopt;
    }
    return WithTrailingSlash(destination) + *kept;
}

void SplitChosenPath(const std::string& path, std::string& directory, std::string& name) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        directory = "./";
        name = path;
    } else {
        directory = path.substr(0, slash + 1);
        name = path.substr(slash + 1);
    }
}

// While files are being written on the writer's thread, a message first waits for what
// became of them to be told: messages come in the order of the files they are about.
class SettlingDialogs final : public app::Dialogs {
  public:
    explicit SettlingDialogs(FileWriter& writer)
        : writer_(writer), shown_(app::CurrentDialogs()), previous_(app::SetDialogs(this)) {}
    ~SettlingDialogs() override { app::SetDialogs(previous_); }
    SettlingDialogs(const SettlingDialogs&) = delete;
    SettlingDialogs& operator=(const SettlingDialogs&) = delete;
    MbResult Show(const app::MessageBoxRequest& request) override {
        writer_.Settle();
        return shown_.Show(request);
    }

  private:
    FileWriter& writer_;
    app::Dialogs& shown_;
    app::Dialogs* previous_;
};

}  // namespace

MbResult AskRecoverToSamePartition() {
    return app::MessageBox(
        "Recovering this file back to the same partition may overwrite\nother deleted files on "
        "the partition, preventing their recovery.\n\nAre you sure you want to recover to this "
        "partition?  If not, click on 'No', and re-enter the file path",
        "Recovering back to same partition", MbButtons::YesNoCancel, MbIcon::Question);
}

std::string DefaultDestination() {
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr && *home != '\0' ? home : "/tmp") + "/recovered";
}

RecoverCommand::RecoverCommand(RecoverPrompts& prompts, RecoverSettings settings)
    : prompts_(prompts), settings_(std::move(settings)) {
    if (settings_.lastDestination.empty()) {
        settings_.lastDestination = DefaultDestination();
    }
}

RecoverCommand::Selection RecoverCommand::CountSelection(
    const scan::FileListControl& listCtrl) const {
    Selection s;
    for (int row = 0; row < listCtrl.RowCount(); ++row) {
        if (!listCtrl.IsSelected(row)) {
            continue;
        }
        const uint32_t itemNum = listCtrl.ItemData(row);
        ++s.selectedCount;
        if (listCtrl.CellText(row, view::kColumnName).starts_with("?")) {
            ++s.lostLetterCount;
        }
        if (itemNum < scan::foundFiles.size()) {
            const scan::FoundFile& file = scan::foundFiles[itemNum];
            s.hopelessCount += file.condition == scan::kHopeless ? 1 : 0;
            s.guessedCount += file.layout == scan::DataLayout::Guessed ? 1 : 0;
            // Saturating: a damaged exFAT entry may claim a size near 2^63.
            s.bytes = file.size > INT64_MAX - s.bytes ? INT64_MAX : s.bytes + file.size;
        }
    }
    return s;
}

bool RecoverCommand::ShowSeveralFilesNotes(const Selection& s) {
    if (s.hopelessCount > 0) {
        if (s.hopelessCount >= s.selectedCount) {
            app::MessageBox(
                "For all of the selected files, the information needed to locate the data is "
                "lost.\nThe program cannot recover these files.",
                "Note");
            return false;
        }
        app::MessageBox(
            "For some of the selected files, the information needed to locate the data is "
            "lost.\nThe program will not try to recover these files.",
            "Note", MbButtons::Ok, MbIcon::Information);
    }
    if (s.lostLetterCount > 0) {
        const char* which = s.lostLetterCount >= s.selectedCount
                                ? "For all of the selected files,"
                                : "For some of the selected files,";
        app::MessageBox(std::string(which) + kLostLetterNote, "Note", MbButtons::Ok,
                        MbIcon::Information);
    }
    if (s.guessedCount > 0) {
        const char* which = s.guessedCount >= s.selectedCount ? "For all of the selected files,"
                                                              : "For some of the selected files,";
        app::MessageBox(std::string(which) + kGuessedLayoutNote, "Note", MbButtons::Ok,
                        MbIcon::Information);
    }
    return true;
}

bool RecoverCommand::AskToRecover(const std::string& dir, const std::string& name, bool lostLetter,
                                  bool guessed, bool lostPath) {
    std::string text = "Do you want to recover the file \"" + dir + name + "\"?";
    if (guessed) {
        text += std::string("\n\nNote: For this file,") + kGuessedLayoutNote;
    }
    if (lostLetter) {
        text +=
            "\n\nNote: The first letter of the file name was lost.\nThe program has replaced the "
            "lost letter with '~'.\nYou probably want to rename the file when you save it";
    }
    if (lostPath) {
        text +=
            "\n\nNote: The program could not determine the old path to the file,\nso you must "
            "specify where you want to save it";
    }
    text +=
        "\n\nNote: If you plan to try recovering more files from this partition, it is "
        "recommended\nyou recover this file to a different partition.";
    return app::MessageBox(text, "Do you want to recover this file?", MbButtons::OkCancel) ==
           MbResult::Ok;
}

CopyObserver RecoverCommand::ByteCounter(content::Digest* digest) {
    return [this, digest](std::span<const uint8_t> bytes) {
        tally_.bytesWritten += bytes.size();
        if (digest != nullptr) {
            digest->Update(bytes);
        }
        if (observer_) {
            observer_(tally_);
        }
    };
}

void RecoverCommand::CloseVolumeReporting() {
    if (volume::ReportUnreadableSectors()) {
        tally_.unreadableSectors = true;
    }
    ntfs::CloseNtfsVolumeIfOpen();
}

void RecoverCommand::Count(RecoverResult result) {
    if (result == RecoverResult::Interrupted) {
        tally_.interrupted = true;
        return;
    }
    ++tally_.tried;
    const bool failed = result == RecoverResult::Failed || result == RecoverResult::Unreadable;
    tally_.recovered += failed ? 0 : 1;
    tally_.failed += failed ? 1 : 0;
    tally_.endedEarly += result == RecoverResult::EndedEarly ? 1 : 0;
    tally_.unreadable += result == RecoverResult::Unreadable ? 1 : 0;
    tally_.partial += result == RecoverResult::Partial ? 1 : 0;
    if (observer_) {
        observer_(tally_);
    }
}

namespace {

// Whether the file was written, whole or not.
bool IsWritten(RecoverResult result) {
    return result == RecoverResult::Recovered || result == RecoverResult::EndedEarly ||
           result == RecoverResult::Partial;
}

// The manifest's words for what became of a file.
std::string ResultText(RecoverResult result) {
    switch (result) {
        case RecoverResult::Recovered:
            return "recovered";
        case RecoverResult::EndedEarly:
            return "recovered, but shorter than listed";
        case RecoverResult::Interrupted:
            return "stopped before it was whole";
        case RecoverResult::Unreadable:
            return "unreadable";
        case RecoverResult::Partial:
            return "partial";
        case RecoverResult::Failed:
            break;
    }
    const int error = platform::GetLastError();
    return error != 0 ? "failed: " + platform::SystemErrorText(error) : std::string("failed");
}

}  // namespace

void RecoverCommand::CheckContentOf(uint32_t itemNum) {
    if (!checker_) {
        checker_ = std::make_unique<content::ContentChecker>();
    }
    const content::ContentResult result = CheckFoundFile(*checker_, itemNum);
    scan::FoundFile& file = scan::foundFiles[itemNum];
    file.EditNotes().content = content::VerdictName(result.verdict);
    file.EditNotes().contentDetail = result.detail;
}

void RecoverCommand::WriteManifestLine(uint32_t itemNum, const ManifestEntry& entry) {
    if (manifest_ == nullptr) {
        return;
    }
    const scan::FoundFile& file = scan::foundFiles[itemNum];
    std::string line = "{\"item\":" + std::to_string(itemNum);
    const auto field = [&line](const char* name, const std::string& value) {
        line += std::string(",\"") + name + "\":";
        view::AppendJsonString(line, value);
    };
    field("name", file.name);
    field("dir", file.dir);
    field("path", entry.path);
    line += ",\"size\":" + std::to_string(file.size);
    field("sha256", entry.sha256);
    field("condition", file.condition);
    // How a deep scan found it, and where its data was put together from, as the list says.
    if (file.foundBy != scan::FoundBy::Entry) {
        field("found_by", scan::FoundByName(file.foundBy));
    }
    if (file.layout != scan::DataLayout::Default) {
        field("layout", scan::DataLayoutName(file.layout));
    }
    field("content", file.Notes().content);
    field("content_detail", file.Notes().contentDetail);
    field("result", entry.result);
    if (!entry.missing.empty()) {
        line += ",\"missing\":[";
        for (std::size_t i = 0; i < entry.missing.size(); ++i) {
            line += (i == 0 ? "[" : ",[") + std::to_string(entry.missing[i].offset) + "," +
                    std::to_string(entry.missing[i].length) + "]";
        }
        line += "]";
    }
    *manifest_ << line << "}\n";
    manifest_->flush();
}

bool RecoverCommand::RecoverOfSeveral(uint32_t itemNum, const std::string& destination,
                                      FileWriter& writer) {
    if (!IsOpenVolumeOf(scan::CurrentDriveRoot[0])) {
        CloseVolumeReporting();
        if (!OpenCurrentDrive()) {
            return false;
        }
    }
    const scan::FoundFile& file = scan::foundFiles[itemNum];
    ManifestEntry entry;
    if (manifest_ != nullptr || settings_.checkContent) {
        CheckContentOf(itemNum);
    }
    if (LocationLost(file) || file.condition == scan::kHopeless) {
        entry.result = LocationLost(file) ? "skipped: its location was lost" : "skipped: Hopeless";
        writer.Then([this, itemNum, entry = std::move(entry)](const WriteOutcome*) {
            WriteManifestLine(itemNum, entry);
        });
        return true;
    }
    RecoverResult result = RecoverResult::Failed;
    UnreadableData unreadable{settings_.partial, {}};
    content::Digest sha256(content::Digest::Kind::Sha256);
    platform::SetLastError(0);
    try {
        if (const std::optional<std::string> dir =
                DestinationFor(destination, file, settings_.keepPaths)) {
            // Failures name the file by its path below the destination.
            const std::string root = WithTrailingSlash(destination);
            const std::string shownDir = dir->size() > root.size() ? dir->substr(root.size()) : "";
            entry.path = shownDir + RecoveredFileName(file.name);
            result = RecoverFile(itemNum, file.mftOrCluster, *dir, file.name,
                                 ByteCounter(manifest_ != nullptr ? &sha256 : nullptr), shownDir,
                                 &unreadable, &writer, &fileStarts_);
        } else {
            platform::SetLastError(platform::kErrorInvalidParameter);
            app::ShowSystemError();
        }
    } catch (const std::exception&) {
        result = RecoverResult::Failed;
    }
    entry.result = ResultText(result);  // while the last error is this file's
    const std::string digest =
        IsWritten(result) && manifest_ != nullptr ? sha256.Hex() : std::string();
    entry.missing = std::move(unreadable.missing);
    writer.Then([this, itemNum, entry = std::move(entry), result,
                 digest](const WriteOutcome* outcome) mutable {
        const RecoverResult written = WrittenResult(result, outcome, entry.path);
        if (written != result) {
            entry.result = ResultText(written);
        }
        if (IsWritten(written)) {
            entry.sha256 = digest;
        }
        WriteManifestLine(itemNum, entry);
        Count(written);
    });
    // A stop is seen at once; otherwise what is done is reported as the next file is read.
    if (result == RecoverResult::Interrupted) {
        writer.Settle();
    } else {
        writer.Poll();
    }
    return true;
}

bool RecoverCommand::RecoverSelected(const scan::FileListControl& listCtrl) {
    tally_ = {};
    fileStarts_ = {};
    const Selection selection = CountSelection(listCtrl);
    tally_.selected = selection.selectedCount;
    tally_.selectedBytes = selection.bytes;
    if (selection.selectedCount == 0) {
        app::MessageBox("You didn't select any file to recover", "Huh?");
        return false;
    }
    const bool several = selection.selectedCount > 1 || settings_.alwaysSeveral;
    std::string destination;
    if (several) {
        if (!ShowSeveralFilesNotes(selection)) {
            return false;
        }
        const std::optional<std::string> typed = prompts_.RecoverToPath(settings_.lastDestination);
        if (!typed) {
            return false;
        }
        destination = *typed;
        settings_.lastDestination = destination;
        settings_.partial = prompts_.WritePartialFiles().value_or(settings_.partial);
    }
    app::StopScan = false;
    // Several files are written on a thread of their own while the next ones are read.
    std::optional<FileWriter> writer;
    std::optional<SettlingDialogs> settling;
    if (several) {
        settling.emplace(writer.emplace());
    }
    for (int row = 0; row < listCtrl.RowCount() && !tally_.interrupted; ++row) {
        if (!listCtrl.IsSelected(row)) {
            continue;
        }
        if (app::StopScan) {
            tally_.interrupted = true;  // Ctrl+C or Cancel between two files
            break;
        }
        std::string name = listCtrl.CellText(row, view::kColumnName);
        std::string dir = listCtrl.CellText(row, view::kColumnDirectory);
        const uint32_t itemNum = listCtrl.ItemData(row);
        if (!CONSISTENCY_CHECK_TEXT(itemNum < scan::foundFiles.size(), "itemNum < found files")) {
            continue;
        }
        const bool lostLetter = name.starts_with("?");
        if (lostLetter) {
            name[0] = '~';
        }
        const bool lostPath = dir.size() >= 5 && dir[3] == '?' && dir[4] == '\\';
        if (!dir.ends_with("\\")) {
            dir += '\\';
        }
        const bool guessed = scan::foundFiles[itemNum].layout == scan::DataLayout::Guessed;
        if (!several && !AskToRecover(dir, name, lostLetter, guessed, lostPath)) {
            continue;
        }
        // A row without a drive keeps the open one; the engine then refuses it. A file named
        // from the Recycle Bin lies on the drive it was found on, not the one its path names.
        if (const char drive = scan::foundFiles[itemNum].Drive(); drive != '\0') {
            scan::CurrentDriveRoot[0] = drive;
        }
        if (!several) {
            try {
                RecoverOneFile(itemNum);
            } catch (const std::exception&) {
                ntfs::CloseNtfsVolumeIfOpen();
                app::MessageBox("Failed to recover the file. Sorry.", "Problem");
            }
            continue;
        }
        if (!RecoverOfSeveral(itemNum, destination, *writer)) {
            writer->Settle();
            return false;
        }
    }
    if (writer) {
        writer->Settle();
    }
    CloseVolumeReporting();
    if (several && tally_.recovered > 0) {
        std::string text = "The program has recovered " + std::to_string(tally_.recovered) +
                           " files to directory " + destination +
                           ".\n\nIt is possible some or all of the data in the files was "
                           "overwritten, so you should verify that each file is correct.";
        if (tally_.endedEarly > 0) {
            text += "\n\n" + std::to_string(tally_.endedEarly) +
                    " of them ended early: their data ran out before their listed size (see "
                    "the notes).";
        }
        if (tally_.partial > 0) {
            text += "\n\n" + std::to_string(tally_.partial) +
                    " of them cross unreadable sectors, written as zeros.";
        }
        app::MessageBox(text, "File(s) has been recovered");
    }
    return true;
}

void RecoverCommand::RecoverOneFile(uint32_t itemNum) {
    const scan::FoundFile& file = scan::foundFiles.at(itemNum);
    std::string name = file.name;
    ntfs::CloseNtfsVolumeIfOpen();
    if (!OpenCurrentDrive()) {
        return;
    }
    name = RecoveredFileName(std::move(name));
    if (settings_.checkContent) {
        CheckContentOf(itemNum);
    }
    // There is no old location to propose on another system: the last destination is.
    std::string directory = WithTrailingSlash(settings_.lastDestination);
    for (;;) {
        try {
            const std::optional<std::string> chosen = prompts_.SaveAs(directory + name);
            if (!chosen) {
                ntfs::CloseNtfsVolumeIfOpen();
                return;
            }
            SplitChosenPath(*chosen, directory, name);
        } catch (const std::exception&) {
            app::MessageBox("Problem with 'file save' dialog, unable to get new name", "Problem");
        }
        if (LocationLost(file)) {
            app::MessageBox(
                "This file cannot be recovered.  The information needed to locate its data on "
                "disk has been lost.",
                "Unrecoverable file");
            return;
        }
        if (!platform::CurrentPlatform().IsOnDriveDevice(scan::CurrentDriveRoot[0], directory)) {
            break;
        }
        const MbResult answer = AskRecoverToSamePartition();
        if (answer == MbResult::Yes) {
            break;
        }
        if (answer != MbResult::No) {
            return;
        }
    }
    settings_.lastDestination = directory;
    RecoverResult result = RecoverResult::Failed;
    UnreadableData unreadable{settings_.partial, {}};
    try {
        result = RecoverFile(itemNum, file.mftOrCluster, directory, name, ByteCounter(), directory,
                             &unreadable);
    } catch (const std::exception&) {
        result = RecoverResult::Failed;
    }
    Count(result);
    CloseVolumeReporting();
    if (result == RecoverResult::Failed || result == RecoverResult::Interrupted ||
        result == RecoverResult::Unreadable) {
        app::MessageBox("File could not be recovered", "File could not be recovered");
        return;
    }
    app::MessageBox("The file has been recovered as \"" + name +
                        "\".\n\nIt is possible some or all of the file's data was overwritten, so "
                        "you should verify that the file is correct.",
                    "File has been recovered");
}

}  // namespace relicta::recover
