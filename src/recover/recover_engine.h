#pragma once
// The recovery engine: one found file's data copied off the open volume into a new file.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/recovered_file.h"
#include "platform/unreadable.h"

namespace relicta::recover {

class FileStarts;
class FileWriter;
struct WriteOutcome;

enum class RecoverResult {
    Failed,
    Recovered,
    // Written and closed, but shorter than listed: a FAT volume had no free cluster left.
    EndedEarly,
    // Asked to stop (Ctrl+C, Cancel, quit) in the middle: the partial file was dropped.
    Interrupted,
    // Some of its bytes lie in sectors that could not be read: not written.
    Unreadable,
    // Written at full size with the bytes that could not be read as zeros, as asked.
    Partial,
};

// What to do with a file whose bytes lie in part in unreadable sectors, and which of them.
struct UnreadableData {
    bool writePartial = false;               // write it, zeros there, rather than not at all
    std::vector<platform::ByteRun> missing;  // out: byte ranges of the file, in order
};

// Data is copied in pieces of this size, so a file of any size needs bounded memory.
inline constexpr std::size_t kCopyChunkBytes = std::size_t{8} << 20;

// Called after each piece with the bytes it wrote.
using CopyObserver = std::function<void(std::span<const uint8_t> bytes)>;

// The name a found file is written under on the open volume: a FAT name's lost first
// letter as "~", and nothing that could leave the destination.
std::string RecoveredFileName(std::string name);

// Recovers found file `itemNum` as `destDir` + `name`; the volume of its drive must be open.
// Failures name the file as `shownDir` + name: its path below the destination the user chose.
// With a `writer`, the file is queued for it and the result is what it will be if the writing
// goes well: WrittenResult tells, once the writer is done with the file.
RecoverResult RecoverFile(uint32_t itemNum, uint32_t mftOrCluster, std::string destDir,
                          std::string name, const CopyObserver& observer = {},
                          const std::string& shownDir = {}, UnreadableData* unreadable = nullptr,
                          FileWriter* writer = nullptr, FileStarts* starts = nullptr);

// What a queued file came to: `queued` unless its writing failed, which is told as failures
// of a file written at once are, naming it `shown`.
RecoverResult WrittenResult(RecoverResult queued, const WriteOutcome* outcome,
                            const std::string& shown);

// Creates the destination directories and the new file. Nothing when the name is taken
// (an existing file is never touched) or cannot be created; the user has been told why.
// `made`, when given, gains the directories made for it.
std::optional<platform::RecoveredFile> CreateRecoveredFile(
    const std::string& destDir, const std::string& name, uint32_t attributes,
    const std::string& shown = {}, std::vector<std::string>* made = nullptr);

// Creates every missing directory of `dir`, level by level; a failure names `shown`. `made`,
// when given, gains each directory made, with a trailing slash.
void EnsureDirectoryPath(const std::string& dir, const std::string& shown = {},
                         std::vector<std::string>* made = nullptr);

}  // namespace relicta::recover
