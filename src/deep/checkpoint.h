#pragma once
// A deep scan's checkpoint: where each drive's pass stood and what its finders had found,
// written atomically as the pass goes, so that a scan stopped (or killed) goes on where it
// stood and lists what it would have listed had it not stopped. One file holds a section per
// drive whose pass began; a section is refused for a drive that is not the one it was made of.

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "deep/boot_sector_finder.h"
#include "deep/carver.h"
#include "deep/deep_pass.h"
#include "deep/exfat_entry_set_finder.h"
#include "deep/fat_directory_finder.h"
#include "deep/ntfs_record_finder.h"

namespace relicta::deep {

// What tells a drive from another: a checkpoint made of one is refused for any other.
struct DriveIdentity {
    char letter = 0;
    std::string path;     // its source; "" where the drive table has none
    uint64_t offset = 0;  // of the volume inside its source
    int64_t length = 0;
    uint64_t sampled = 0;  // a hash of sectors at its start, its quarters and its end
    bool operator==(const DriveIdentity&) const = default;
};

DriveIdentity IdentifyDrive(char letter);

// The finders of one drive's pass.
struct DeepFinders {
    BootSectorFinder& boots;
    NtfsRecordFinder& records;
    FatDirectoryFinder& fatDirectories;
    ExFatEntrySetFinder& exFatSets;
    Carver* carver = nullptr;
};

class DeepCheckpoint {
  public:
    explicit DeepCheckpoint(std::string path,
                            std::chrono::steady_clock::duration every = kCheckpointInterval);
    ~DeepCheckpoint();
    DeepCheckpoint(const DeepCheckpoint&) = delete;
    DeepCheckpoint& operator=(const DeepCheckpoint&) = delete;

    const std::string& Path() const { return path_; }

    // Reads the checkpoint at Path() to go on from it. False, the user told why, when it
    // cannot be read, is damaged or cut short, or a section is of another drive than the one
    // its letter names now.
    bool Resume();

    // When going on from a section of drive `letter` over the same `ranges`: where its pass
    // stood, its finders loaded. nullopt when there is none, or (the user told) when it does
    // not fit; the finders must then be started afresh.
    std::optional<PassPosition> Load(char letter, const std::vector<ByteRange>& ranges,
                                     const DeepFinders& finders);

    // The checkpoints of the pass over `ranges` of drive `letter`, going on from `from`.
    PassCheckpoints For(char letter, const std::vector<ByteRange>& ranges,
                        const DeepFinders& finders, const PassPosition* from);

    // After the scan: the checkpoint goes when the scan ran to its end.
    void Finish();

  private:
    struct Section {
        char letter = 0;
        long body = 0;  // where its body begins in the file
        uint64_t length = 0;
        int64_t driveLength = 0;
    };
    struct Current {
        DriveIdentity identity;
        uint64_t ranges = 0;
    };

    bool Refuse(const std::string& why);
    void Save(const Current& current, const PassPosition& position, const DeepFinders& finders);
    bool WriteFile(const std::string& temp, const Current& current, const PassPosition& position,
                   const DeepFinders& finders);
    bool CopyFinishedSections(std::FILE* out, char current);

    std::string path_;
    std::chrono::steady_clock::duration every_;
    std::FILE* resumed_ = nullptr;  // the file gone on from, held open as it was read
    std::vector<Section> sections_;
    std::set<char> finished_;  // drives whose pass is done and saved
    bool failedToWrite_ = false;
};

// The name of the checkpoint of a deep scan of `scanDrive` ("" for every drive, those of
// `source` when one is named): after the drive's source, "relicta-sdb1.checkpoint".
std::string CheckpointName(const std::string& scanDrive, const std::string& source = "");

// The desktop's checkpoint for a deep scan of `scanDrive`, in $XDG_STATE_HOME/relicta (else
// ~/.local/state/relicta). When one is there, asks whether to go on from it: Cancel sets
// `cancelled` and no scan follows.
std::optional<std::string> DesktopCheckpointPath(const std::string& scanDrive);
std::unique_ptr<DeepCheckpoint> OfferCheckpoint(const std::string& scanDrive, bool& cancelled);

}  // namespace relicta::deep
