#pragma once
// What the list shows of a scan's files: a search text, a kind, a least condition, size and
// date bounds, how a file was found and the folder it lies under. The desktop program's filter
// bar and the command line's options fill the same filter.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "scan/found_files.h"

namespace relicta::view {

enum class FileKind : uint8_t { Pictures, Documents, Audio, Video, Archives, Other };
inline constexpr int kFileKinds = 6;

// "Pictures", "Documents", "Audio", "Video", "Archives", "Other".
const char* FileKindName(FileKind kind);
// The kind a word names, any case ("pictures"); nullopt for none.
std::optional<FileKind> FileKindFromName(std::string_view name);
// By the content check's finding where it found the data to be something other than its name
// says, else by the name's extension.
FileKind KindOf(const scan::FoundFile& file);

// Hopeless 0, Poor 1, Good 2, Excellent 3; -1 for a condition of no known word.
int ConditionRank(std::string_view condition);

// How a file was found, as the filter tells it: a deleted entry of the volume, an old file
// system a deep scan found, or content alone.
enum class FoundByGroup : uint8_t { DeletedEntry, OldFileSystem, Carved };
inline constexpr int kFoundByGroups = 3;
FoundByGroup FoundByGroupOf(scan::FoundBy foundBy);
// "entry", "old", "carved" (any case); nullopt for none.
std::optional<FoundByGroup> FoundByGroupFromName(std::string_view name);

struct ListFilter {
    std::string text;       // in the name or the folder, any case of ASCII letters
    uint8_t kinds = 0;      // a bit per FileKind; 0: every kind
    int minCondition = -1;  // a ConditionRank; -1: any
    std::optional<int64_t> minSize;
    std::optional<int64_t> maxSize;
    // Local FILETIMEs: modified at or after, and before.
    std::optional<uint64_t> modifiedFrom;
    std::optional<uint64_t> modifiedBefore;
    uint8_t foundBy = 0;  // a bit per FoundByGroup; 0: any
    std::string folder;   // in this folder or below it; "": anywhere

    static constexpr uint8_t Bit(FileKind kind) { return uint8_t(1u << static_cast<int>(kind)); }
    static constexpr uint8_t Bit(FoundByGroup group) {
        return uint8_t(1u << static_cast<int>(group));
    }

    bool FiltersNothing() const;
    bool Accepts(const scan::FoundFile& file) const;

  private:
    // What the filter says of a folder, kept per folder: a million files lie in far fewer
    // folders, and a folder's files share its path (its identity is the key).
    struct FolderVerdict {
        bool inFolder = false;
        bool textInPath = false;
    };
    FolderVerdict VerdictOn(const scan::SharedText& dir) const;
    mutable std::unordered_map<uintptr_t, FolderVerdict> folderVerdicts_;
    mutable uint64_t verdictsOfPool_ = 0;  // the pool generation the verdicts are keyed in
};

// Whether folder `dir` is `folder` or lies below it ("C:\A\B" is below "C:\A", "C:\AB" is not),
// spelt as the scan listed it.
bool InFolder(std::string_view dir, std::string_view folder);

// "2024-06-01", "2024-06-01T13:05" or with seconds, a space for the T: the local FILETIME of
// that moment; nullopt for anything else.
std::optional<uint64_t> ParseIsoDate(std::string_view text);
// The start of the day after the date `text` names: "before" a day that counts the whole day.
std::optional<uint64_t> ParseIsoDateEnd(std::string_view text);
// Bytes, or with K, M, G, T (KiB .. TiB; "KB", "KiB" alike); nullopt for anything else.
std::optional<int64_t> ParseSize(std::string_view text);

// The item numbers of `items` the filter accepts, in their order.
std::vector<uint32_t> FilteredItems(const std::vector<uint32_t>& items, const ListFilter& filter);

}  // namespace relicta::view
