#pragma once
// The recover command: the selected rows of the file list recovered, with the notes,
// questions and summary the user is shown on the way.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "app/dialogs.h"
#include "content/content_check.h"
#include "content/digest.h"
#include "recover/reassembly.h"
#include "recover/recover_engine.h"
#include "scan/file_list.h"

namespace relicta::recover {

// The front end's choosers.
class RecoverPrompts {
  public:
    virtual ~RecoverPrompts() = default;
    // "Save As" for one file: the full path chosen, or nullopt for Cancel.
    virtual std::optional<std::string> SaveAs(const std::string& proposedPath) = 0;
    // "Recover file(s) to path" for several: the directory typed, or nullopt for Cancel.
    virtual std::optional<std::string> RecoverToPath(const std::string& proposedDirectory) = 0;
    // Whether that chooser asked for files over unreadable sectors too; nullopt when it does
    // not ask (the settings say).
    virtual std::optional<bool> WritePartialFiles() const { return std::nullopt; }
};

struct RecoverSettings {
    // The several-files path even for one file: no questions per file (the command line).
    bool alwaysSeveral = false;
    // Each file into its old directory under the destination instead of flat into it.
    bool keepPaths = false;
    // What the choosers propose; the last destination once one was chosen.
    std::string lastDestination;
    // Check the content of every file tried (the desktop list's Content column).
    bool checkContent = false;
    // Write files that cross unreadable sectors too, with zeros there.
    bool partial = false;
};

// What the last command did.
struct RecoverTally {
    int selected = 0;
    int64_t selectedBytes = 0;
    int tried = 0;
    int recovered = 0;
    int failed = 0;
    int endedEarly = 0;  // recovered, but shorter than listed
    int unreadable = 0;  // failed: they cross unreadable sectors (counted in failed)
    int partial = 0;     // recovered with unreadable sectors as zeros (counted in recovered)
    bool unreadableSectors = false;  // a drive read had sectors that could not be read
    uint64_t bytesWritten = 0;
    bool interrupted = false;  // asked to stop before every file was tried
};

// The destination proposed before the user chose one: a folder in the home directory.
std::string DefaultDestination();

// "Recovering back to same partition": Yes, No (choose again) or Cancel.
app::MbResult AskRecoverToSamePartition();

class RecoverCommand {
  public:
    RecoverCommand(RecoverPrompts& prompts, RecoverSettings settings);

    // True when the selection was processed.
    bool RecoverSelected(const scan::FileListControl& listCtrl);
    void RecoverOneFile(uint32_t itemNum);

    const RecoverTally& Tally() const { return tally_; }
    const RecoverSettings& Settings() const { return settings_; }
    // Writes a JSON line per file tried to `manifest` (flushed after each, so that the
    // manifest of the run so far survives an interruption): where it went, the SHA-256 of
    // the bytes written, its condition, its content check and the result.
    void SetManifest(std::ostream* manifest) { manifest_ = manifest; }
    // Called as data is written, for a progress display.
    void SetProgressObserver(std::function<void(const RecoverTally&)> observer) {
        observer_ = std::move(observer);
    }

  private:
    struct Selection {
        int selectedCount = 0;
        int lostLetterCount = 0;
        int hopelessCount = 0;
        int guessedCount = 0;  // exFAT files whose cluster chain was lost
        int64_t bytes = 0;
    };

    Selection CountSelection(const scan::FileListControl& listCtrl) const;
    bool ShowSeveralFilesNotes(const Selection& selection);
    bool AskToRecover(const std::string& dir, const std::string& name, bool lostLetter,
                      bool guessed, bool lostPath);
    bool RecoverOfSeveral(uint32_t itemNum, const std::string& destination, FileWriter& writer);
    void Count(RecoverResult result);
    // Closes the open volume after telling, once, what its unreadable sectors cost.
    void CloseVolumeReporting();
    // What the manifest says of one file tried.
    struct ManifestEntry {
        std::string path;  // below the destination
        std::string sha256;
        std::string result;
        std::vector<platform::ByteRun> missing;  // bytes of the file that could not be read
    };

    CopyObserver ByteCounter(content::Digest* digest = nullptr);
    void CheckContentOf(uint32_t itemNum);
    void WriteManifestLine(uint32_t itemNum, const ManifestEntry& entry);

    RecoverPrompts& prompts_;
    RecoverSettings settings_;
    FileStarts fileStarts_;  // for the files of one recovery
    RecoverTally tally_;
    std::function<void(const RecoverTally&)> observer_;
    std::ostream* manifest_ = nullptr;
    std::unique_ptr<content::ContentChecker> checker_;  // made when first needed
};

}  // namespace relicta::recover
