#include "scan/fat_scan.h"

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

#include "app/consistency.h"
#include "app/progress.h"
#include "app/scan_state.h"
#include "bytes/text.h"
#include "ntfs/bitmaps.h"
#include "ntfs/ntfs_volume.h"
#include "scan/fat_entries.h"
#include "scan/folder_continuation.h"
#include "scan/found_files.h"
#include "volume/dir_entry_layout.h"
#include "volume/fat_entry.h"
#include "volume/filetime.h"
#include "volume/raw_io.h"
#include "volume/vcb.h"

namespace relicta::scan {
namespace {

using volume::Vcb;
namespace dir_entry = volume::dir_entry;
namespace long_name = volume::long_name;

constexpr uint8_t kReportedAttributes = 0x27;  // read-only, hidden, system, archive

// The largest directory FAT allows, and how deep a tree may go before it must be a loop.
constexpr std::size_t kMaxDirectoryEntries = 65536;
constexpr int kMaxDepth = 128;
constexpr std::size_t kEntriesPerPump = 2048;
constexpr uint32_t kProgressRange = 10000;
constexpr uint32_t kClustersPerHighWord = 65536;

// A deleted folder whose walk ended at the last cluster read of it: more may follow.
struct FatContinuation {
    std::string path;
    int depth = 0;
    uint32_t lastCluster = 0;
    std::size_t clusters = 1;        // read of it so far
    std::vector<uint8_t> nameSlots;  // long-name slots that end the last cluster
    AllocationTrail trail;
    std::size_t follower = 0;  // in FatWalk::followers
};

// What the slots of one directory cluster or more told.
struct SlotFacts {
    bool endOfDirectory = false;
    AllocationTrail trail;
    std::optional<std::size_t> awaitingFollower;  // a deleted folder's, from the next entry
};

// What one FAT scan carries from directory to directory.
struct FatWalk {
    FatWalk(ScanContext& scan, std::vector<uint8_t> table,
            std::unique_ptr<app::ProgressWindow> progress)
        : context(scan), fat(std::move(table)), window(std::move(progress)) {}

    ScanContext& context;
    std::vector<uint8_t> fat;
    std::unique_ptr<app::ProgressWindow> window;
    uint32_t progressPosition = 0;
    // First clusters of directories, and clusters read as a deleted folder's later ones.
    std::unordered_set<uint32_t> walkedDirectories;
    int depth = 0;
    bool volumeClosed = false;
    std::vector<uint8_t> firstClusters;  // bit c - 2: an entry names c as its first cluster
    KnownData knownData;
    // Deepest first: a subfolder's later clusters were given out before its parent's next.
    std::map<int, std::deque<FatContinuation>> continuations;
    // Per continued folder: the first cluster of the entry after it in its parent; 0: none.
    std::vector<int64_t> followers;
    int64_t farClustersLeft = 0;
};

FatWalk* currentWalk = nullptr;

bool IsFat32() {
    return Vcb->pBpb->SectorsPerFat == 0;
}
int64_t LastCluster() {
    return Vcb->TotalClusters + 1;
}

uint32_t ClusterBytes() {
    return Vcb->BytesPerCluster;
}

void StepProgress(FatWalk& walk) {
    // The bar fills and wraps on large volumes.
    walk.progressPosition = (walk.progressPosition + 1) % (kProgressRange + 1);
    walk.window->StepIt();
}

bool ClusterInBitmap(int64_t cluster) {
    return ntfs::BitSet(ntfs::VolumeBitmap, cluster - 2);
}
bool BitmapLoaded() {
    return ntfs::VolumeBitmapBits > 0;
}

std::string TrimRight(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\0')) {
        text.pop_back();
    }
    return text;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

}  // namespace

// The long name whose slots stand in front of slot `index`, in full UTF-16. The slots of
// one name share their checksum byte, and a live name's last slot carries the 0x40 flag:
// the walk stops there, so a neighbouring name's stale slots never leak into this one.
std::string LongName(std::span<const uint8_t> dir, std::size_t index) {
    constexpr std::size_t kLongestName = 255;
    std::u16string name;
    name.reserve(kLongestName);
    std::optional<uint8_t> checksum;
    for (std::size_t slot = index; slot-- > 0;) {
        const std::span<const uint8_t> entry = dir.subspan(slot * dir_entry::Size, dir_entry::Size);
        if (entry[0] == 0 || entry[dir_entry::Attributes] != dir_entry::AttrLongName) {
            break;
        }
        if (checksum && entry[long_name::Checksum] != *checksum) {
            break;
        }
        checksum = entry[long_name::Checksum];
        for (std::size_t offset : long_name::Chars) {
            const char16_t c = static_cast<char16_t>(bytes::U16(entry, offset));
            if (c == 0) {
                return TrimRight(bytes::Utf8FromUtf16(name));
            }
            name.push_back(c);
        }
        if (entry[0] != dir_entry::Deleted && (entry[0] & long_name::LastSlot) != 0) {
            break;
        }
    }
    return TrimRight(bytes::Utf8FromUtf16(name));
}

std::string ShortName(std::span<const uint8_t> entry) {
    std::vector<uint8_t> base(entry.begin(), entry.begin() + dir_entry::NameBytes);
    std::string first;
    if (base[0] == dir_entry::StandsForE5) {
        base[0] = dir_entry::Deleted;
    } else if (base[0] == dir_entry::Deleted) {
        first = "?";  // the lost first letter of a deleted name
        base.erase(base.begin());
    }
    std::string name = TrimRight(first + bytes::Utf8FromCp437(base));
    if ((entry[dir_entry::CaseFlags] & dir_entry::LowerCaseBase) != 0) {
        name = Lower(name);
    }
    std::string extension = TrimRight(
        bytes::Utf8FromCp437(entry.subspan(dir_entry::Extension, dir_entry::ExtensionBytes)));
    if (!extension.empty()) {
        if ((entry[dir_entry::CaseFlags] & dir_entry::LowerCaseExtension) != 0) {
            extension = Lower(extension);
        }
        name += "." + extension;
    }
    return name;
}

EntryTimes ReadEntryTimes(std::span<const uint8_t> entry) {
    EntryTimes times;
    times.modified = volume::FileTimeFromDos(bytes::U16(entry, dir_entry::WriteDate),
                                             bytes::U16(entry, dir_entry::WriteTime));
    if (const uint16_t created = bytes::U16(entry, dir_entry::CreateDate); created != 0) {
        times.created = volume::FileTimeFromDos(created, bytes::U16(entry, dir_entry::CreateTime));
    }
    if (const uint16_t accessed = bytes::U16(entry, dir_entry::AccessDate); accessed != 0) {
        times.accessed = volume::FileTimeFromDos(accessed, 0);
    }
    return times;
}

namespace {

bool BeginsWithDotEntry(std::span<const uint8_t> cluster) {
    static constexpr uint8_t kDot[5] = {'.', ' ', ' ', ' ', ' '};
    return cluster.size() >= 5 && std::equal(kDot, kDot + 5, cluster.begin());
}

// Reads `count` clusters from `first` on onto the end of `buffer`; false when some of them
// lie in unreadable sectors. Those are left out rather than kept as zeros: an entry of zeros
// would end the folder, and the entries after them can still be read.
bool AppendClusters(std::vector<uint8_t>& buffer, int64_t first, uint32_t count) {
    const std::size_t at = buffer.size();
    const uint64_t bytes = uint64_t{count} * ClusterBytes();
    buffer.resize(at + static_cast<std::size_t>(bytes));
    volume::ReadClusters(Vcb->hVolume, first, std::span<uint8_t>(buffer).subspan(at), count);
    const std::optional<int64_t> offset = volume::ClusterOffset(first);
    const std::vector<platform::ByteRun> lost =
        offset ? Vcb->Unreadable.Within(*offset, bytes) : std::vector<platform::ByteRun>{};
    for (auto run = lost.rbegin(); run != lost.rend(); ++run) {
        const auto from = buffer.begin() + static_cast<std::ptrdiff_t>(at) +
                          static_cast<std::ptrdiff_t>(run->offset - *offset);
        buffer.erase(from, from + static_cast<std::ptrdiff_t>(run->length));
    }
    return lost.empty();
}

// A folder some of whose clusters could not be read is counted once for the report.
void NoteFolderRead(bool whole) {
    if (!whole) {
        ++Vcb->Losses.folders;
    }
}

std::vector<uint8_t> ReadCluster(int64_t cluster) {
    std::vector<uint8_t> buffer;
    AppendClusters(buffer, cluster, 1);
    return buffer;
}

// The first cluster of a slot. A deleted FAT32 entry may have lost its high word: then
// the first candidate that is free now (and, for a directory, starts like one) is taken.
uint32_t FirstCluster(std::span<const uint8_t> entry, bool directory) {
    const uint32_t low = bytes::U16(entry, dir_entry::FirstClusterLow);
    const uint32_t high = IsFat32() ? bytes::U16(entry, dir_entry::FirstClusterHigh) : 0;
    if (high != 0) {
        return (high << 16) | low;
    }
    if (!IsFat32() || Vcb->TotalClusters <= 0xFFFF || entry[0] != dir_entry::Deleted ||
        !BitmapLoaded()) {
        return low;
    }
    const int64_t groups = (Vcb->TotalClusters + kClustersPerHighWord - 1) / kClustersPerHighWord;
    for (int64_t k = 0; k < groups; ++k) {
        const int64_t candidate = low + k * kClustersPerHighWord;
        if (candidate > LastCluster()) {
            break;
        }
        if (candidate < 2 || ClusterInBitmap(candidate)) {
            continue;
        }
        if (!directory || BeginsWithDotEntry(ReadCluster(candidate))) {
            return static_cast<uint32_t>(candidate);
        }
    }
    return low;
}

const char* RateFile(uint32_t c0, int64_t size, const std::vector<uint8_t>& fat) {
    if (c0 == 0 && size > 0) {
        return kHopeless;
    }
    if (size == 0) {
        return kPoor;
    }
    const int64_t clusters = (size + ClusterBytes() - 1) / ClusterBytes();
    for (int64_t i = 0; i < clusters; ++i) {
        const int64_t c = int64_t{c0} + i;
        if (c < 2 || c > LastCluster()) {
            return kHopeless;
        }
        const volume::ClusterType type = volume::InterpretClusterType(
            *Vcb, volume::FatEntry(*Vcb, static_cast<uint32_t>(c), fat));
        if (type == volume::ClusterAvailable) {
            continue;
        }
        if (type == volume::ClusterLast && BitmapLoaded() && !ClusterInBitmap(c)) {
            continue;
        }
        return kPoor;
    }
    return kGood;
}

struct ClusterRun {
    uint32_t first = 0;
    uint32_t count = 0;
};

// A directory's clusters: a live one along its FAT chain, a deleted one (whose chain is
// gone) its first cluster only; at most the largest directory FAT allows. Clusters that
// follow one another on the volume make one run.
std::vector<ClusterRun> DirectoryRuns(uint32_t first, bool deleted,
                                      const std::vector<uint8_t>& fat) {
    const std::size_t maxClusters =
        std::max<std::size_t>(1, kMaxDirectoryEntries * dir_entry::Size / ClusterBytes());
    std::vector<ClusterRun> runs;
    std::unordered_set<uint32_t> seen;
    uint32_t cluster = first;
    std::size_t clusters = 0;
    while (clusters < maxClusters && seen.insert(cluster).second) {
        if (!runs.empty() && cluster == runs.back().first + runs.back().count) {
            ++runs.back().count;
        } else {
            runs.push_back({cluster, 1});
        }
        ++clusters;
        if (deleted) {
            break;
        }
        CONSISTENCY_CHECK_TEXT(cluster >= 2, "(newdircluster) >= 2");
        CONSISTENCY_CHECK_TEXT(
            cluster <= uint64_t{Vcb->AllocationSupport.NumberOfClusters} + 1,
            "(newdircluster) <= ((Vcb)->AllocationSupport.NumberOfClusters + 1)");
        const uint32_t next = volume::FatEntry(*Vcb, cluster, fat);
        if (volume::InterpretClusterType(*Vcb, next) != volume::ClusterNext || next < 2 ||
            next > LastCluster()) {
            break;
        }
        cluster = next;
    }
    return runs;
}

std::vector<uint8_t> ReadDirectory(uint32_t first, bool deleted, const std::vector<uint8_t>& fat) {
    std::vector<uint8_t> buffer;
    bool whole = true;
    for (const ClusterRun& run : DirectoryRuns(first, deleted, fat)) {
        whole = AppendClusters(buffer, run.first, run.count) && whole;
    }
    NoteFolderRead(whole);
    return buffer;
}

std::optional<SlotFacts> WalkDirectory(FatWalk& walk, std::span<const uint8_t> dir,
                                       const std::string& path, bool inDeletedDirectory);
SlotFacts WalkSlots(FatWalk& walk, std::span<const uint8_t> dir, std::size_t begin,
                    const std::string& path, bool InDeletedDirectory);

void NoteFirstCluster(FatWalk& walk, int64_t cluster) {
    ntfs::SetBit(walk.firstClusters, cluster - 2);
}

uint32_t RecordedFirstCluster(std::span<const uint8_t> entry) {
    const uint32_t high = IsFat32() ? bytes::U16(entry, dir_entry::FirstClusterHigh) : 0;
    return (high << 16) | bytes::U16(entry, dir_entry::FirstClusterLow);
}

// The long-name slots that end `dir`: the name of an entry the next cluster holds.
std::vector<uint8_t> TrailingNameSlots(std::span<const uint8_t> dir) {
    const std::size_t end = dir.size() / dir_entry::Size * dir_entry::Size;
    std::size_t begin = end;
    while (begin >= dir_entry::Size && (end - begin) / dir_entry::Size < long_name::MaxOrdinal &&
           dir[begin - dir_entry::Size] != 0 &&
           dir[begin - dir_entry::Size + dir_entry::Attributes] == dir_entry::AttrLongName) {
        begin -= dir_entry::Size;
    }
    return {dir.begin() + static_cast<std::ptrdiff_t>(begin),
            dir.begin() + static_cast<std::ptrdiff_t>(end)};
}

void HandleDirectorySlot(FatWalk& walk, std::span<const uint8_t> entry, const std::string& path,
                         const std::string& name, bool inDeletedDirectory, SlotFacts& facts) {
    const bool deleted = entry[0] == dir_entry::Deleted;
    const uint32_t first = FirstCluster(entry, true);
    if (first > LastCluster() || first < 2 || first > Vcb->TotalClusters) {
        return;
    }
    NoteFirstCluster(walk, first);
    facts.trail.Note(first, 1);
    if (walk.depth >= kMaxDepth || !walk.walkedDirectories.insert(first).second) {
        return;  // a directory that leads back to an ancestor, or one seen already
    }
    const bool deletedFolder = deleted || inDeletedDirectory;
    const std::vector<uint8_t> buffer = ReadDirectory(first, deletedFolder, walk.fat);
    ++walk.depth;
    std::string childPath = ChildPath(path, name);
    // A folder whose "." entry could not be read is taken on its entry's word.
    const std::optional<int64_t> at = volume::ClusterOffset(first);
    const std::optional<SlotFacts> child =
        at && volume::AnyUnreadable(*at, dir_entry::Size)
            ? std::optional<SlotFacts>(WalkSlots(walk, buffer, 0, childPath, deletedFolder))
            : WalkDirectory(walk, buffer, childPath, deletedFolder);
    if (deletedFolder && child && !child->endOfDirectory) {
        facts.awaitingFollower = walk.followers.size();
        walk.followers.push_back(0);
        walk.continuations[walk.depth].push_back({std::move(childPath), walk.depth, first, 1,
                                                  TrailingNameSlots(buffer), child->trail,
                                                  *facts.awaitingFollower});
    }
    --walk.depth;
}

// A $I file's data: the clusters from its first, while they are free.
std::optional<RecycleInfo> ReadRecycleInfo(uint32_t c0, int64_t size) {
    if (size <= 0 || size > static_cast<int64_t>(kMaxRecycleInfoBytes) || c0 < 2) {
        return std::nullopt;
    }
    const int64_t clusters = (size + ClusterBytes() - 1) / ClusterBytes();
    for (int64_t c = c0; c < c0 + clusters; ++c) {
        if (c > LastCluster() || !ntfs::FatClusterFree(c)) {
            return std::nullopt;
        }
    }
    std::vector<uint8_t> data(static_cast<std::size_t>(size));
    volume::ReadClusterBytes(Vcb->hVolume, c0, data);
    return ParseRecycleInfo(data);
}

void HandleFileSlot(FatWalk& walk, std::span<const uint8_t> entry, const std::string& path,
                    const std::string& name, SlotFacts& facts) {
    const int64_t size = bytes::U32(entry, dir_entry::FileSize);
    const uint32_t c0 = FirstCluster(entry, false);
    if (c0 >= 2 && c0 <= LastCluster()) {
        NoteFirstCluster(walk, c0);
        if (size > 0) {
            const int64_t clusters = (size + ClusterBytes() - 1) / ClusterBytes();
            facts.trail.Note(c0, clusters);
            walk.knownData.Add(c0, c0 + clusters);
        }
    }
    // A Recycle Bin's $I file is read whatever the filters say: it names its $R partner.
    const bool recycleInfo = RecycleBin::IsInfoFile(path, name);
    const bool accepted = walk.context.filters.Accepts(path, name);
    if (!accepted && !recycleInfo) {
        return;
    }
    const EntryTimes times = ReadEntryTimes(entry);
    FoundFile file =
        NewFoundFile(name, path, size, entry[dir_entry::Attributes] & kReportedAttributes,
                     times.modified, RateFile(c0, size, walk.fat), c0);
    file.createdTime = times.created;
    file.accessedTime = times.accessed;
    const std::optional<RecycleInfo> info = recycleInfo ? ReadRecycleInfo(c0, size) : std::nullopt;
    if (info) {
        walk.context.recycleBin.HoldInfo(std::move(file), *info, accepted);
    } else if (accepted) {
        AddFoundFile(walk.context.listCtrl, std::move(file));
    }
}

// Slot 0 of a subdirectory is its "." entry; anything else is not a directory (any more).
bool LooksLikeDirectory(std::span<const uint8_t> dir, const std::string& path) {
    if (dir.size() < dir_entry::Size) {
        return false;
    }
    std::size_t characters = 0;
    for (char c : path) {
        characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    if (characters > 4) {
        if (dir[0] != '.' || (!IsFat32() && bytes::U16(dir, dir_entry::FirstClusterHigh) != 0)) {
            return false;
        }
    }
    // Only the two reserved attribute bits mark garbage: macOS writes "." entries with
    // the archive bit beside the directory bit.
    return (dir[dir_entry::Attributes] & dir_entry::AttrReserved) == 0;
}

std::vector<uint8_t> ReadRoot(const std::vector<uint8_t>& fat) {
    const volume::AllocationSupport& g = Vcb->AllocationSupport;
    if (!IsFat32()) {
        const uint32_t sectorBytes = Vcb->BytesPerSector;
        if (sectorBytes == 0) {
            return {};
        }
        const uint32_t sectors = (g.RootDirectorySize + sectorBytes - 1) / sectorBytes;
        std::vector<uint8_t> root(uint64_t{sectors} * sectorBytes);
        volume::ReadLogicalSectors(
            Vcb->hVolume, static_cast<int64_t>(g.RootDirectoryLbo / sectorBytes), root, sectors);
        NoteFolderRead(
            !volume::AnyUnreadable(static_cast<int64_t>(g.RootDirectoryLbo), root.size()));
        root.resize(g.RootDirectorySize);
        return root;
    }
    // The FAT32 root is read along its chain, which ends at an end mark or any value past
    // the last cluster; a free, reserved or bad link means the root cannot be trusted.
    const std::size_t maxClusters =
        std::max<std::size_t>(1, kMaxDirectoryEntries * dir_entry::Size / ClusterBytes());
    std::vector<uint8_t> root;
    uint32_t cluster = Vcb->pBpb->RootDirFirstCluster;
    std::unordered_set<uint32_t> seen;
    bool whole = true;
    while (cluster != 0x0FFFFFFF && root.size() / ClusterBytes() < maxClusters &&
           seen.insert(cluster).second && static_cast<int64_t>(seen.size()) <= Vcb->TotalClusters) {
        CONSISTENCY_CHECK_TEXT(cluster > 1, "RootDirectoryCluster>1");
        CONSISTENCY_CHECK_TEXT(cluster <= LastCluster(),
                               "RootDirectoryCluster <= Vcb->TotalClusters+1");
        whole = AppendClusters(root, cluster, 1) && whole;
        const uint32_t next = volume::FatEntry(*Vcb, cluster, fat);
        const volume::ClusterType type = volume::InterpretClusterType(*Vcb, next);
        if (type == volume::ClusterAvailable || type == volume::ClusterReserved ||
            type == volume::ClusterBad) {
            throw ScanError("Bad Root");
        }
        if (next == 0x0FFFFFFF || next > LastCluster()) {
            break;
        }
        cluster = next;
    }
    NoteFolderRead(whole);
    return root;
}

// True when the walk is to stop: Cancel, or a quit request (the volume is then closed here).
bool PumpAndCheckStop(FatWalk& walk) {
    if (app::PumpMessages()) {
        ntfs::CloseNtfsVolume(Vcb->hVolume);
        walk.volumeClosed = true;
        app::StopScan = true;
    }
    return app::StopScan || walk.volumeClosed;
}

// A slot of 0xFF bytes ends what the walk reads of a folder.
bool EndsSlots(std::span<const uint8_t> entry) {
    return entry[0] == 0xFF && entry[1] == 0xFF;
}

// Slots that name no file: the dot entries, the volume label and values no entry takes.
bool NamesNoFile(std::span<const uint8_t> entry) {
    if (std::equal(entry.begin(), entry.begin() + dir_entry::NameBytes, ".       ") ||
        std::equal(entry.begin(), entry.begin() + dir_entry::NameBytes, "..      ")) {
        return true;
    }
    const uint8_t attributes = entry[dir_entry::Attributes];
    return attributes == dir_entry::AttrVolumeLabel || attributes == 0xDD || attributes == 0xFE ||
           attributes == 0xFF;
}

// The folders `dir` holds are announced before the first of them is read: from a cold disk
// the device then fetches them together rather than one wait after another.
void AnnounceSubfolders(const FatWalk& walk, std::span<const uint8_t> dir, std::size_t begin,
                        bool inDeletedDirectory) {
    const std::size_t entries = std::min(dir.size() / dir_entry::Size, kMaxDirectoryEntries);
    for (std::size_t i = begin; i < entries; ++i) {
        const std::span<const uint8_t> entry = dir.subspan(i * dir_entry::Size, dir_entry::Size);
        if (EndsSlots(entry)) {
            break;
        }
        const uint8_t attributes = entry[dir_entry::Attributes];
        const uint32_t first = RecordedFirstCluster(entry);
        if (entry[0] == 0x00 || NamesNoFile(entry) || attributes == dir_entry::AttrLongName ||
            (attributes & dir_entry::AttrDirectory) == 0 || first < 2 || first > LastCluster()) {
            continue;
        }
        const bool deleted = entry[0] == dir_entry::Deleted || inDeletedDirectory;
        for (const ClusterRun& run : DirectoryRuns(first, deleted, walk.fat)) {
            if (const std::optional<int64_t> offset = volume::ClusterOffset(run.first)) {
                volume::WillReadVolumeBytes(Vcb->hVolume, *offset,
                                            uint64_t{run.count} * ClusterBytes());
            }
        }
    }
}

// The slots of `dir` from `begin` on (slots before it only lend their long names).
SlotFacts WalkSlots(FatWalk& walk, std::span<const uint8_t> dir, std::size_t begin,
                    const std::string& path, bool InDeletedDirectory) {
    SlotFacts facts;
    AnnounceSubfolders(walk, dir, begin, InDeletedDirectory);
    const std::size_t entries = std::min(dir.size() / dir_entry::Size, kMaxDirectoryEntries);
    bool longName =
        begin > 0 && begin <= entries &&
        dir[(begin - 1) * dir_entry::Size + dir_entry::Attributes] == dir_entry::AttrLongName;
    for (std::size_t i = begin; i < entries && !walk.volumeClosed && !app::StopScan; ++i) {
        // A directory can hold 65536 entries: Cancel is heard within it too.
        if (i % kEntriesPerPump == kEntriesPerPump - 1 && PumpAndCheckStop(walk)) {
            break;
        }
        const std::span<const uint8_t> entry = dir.subspan(i * dir_entry::Size, dir_entry::Size);
        if (entry[0] == 0x00) {
            facts.endOfDirectory = true;
            continue;
        }
        if (EndsSlots(entry)) {
            break;
        }
        if (NamesNoFile(entry)) {
            continue;
        }
        const uint8_t attributes = entry[dir_entry::Attributes];
        if (attributes == dir_entry::AttrLongName) {
            longName = true;
            continue;
        }
        StepProgress(walk);
        if (facts.awaitingFollower) {
            if (const uint32_t next = RecordedFirstCluster(entry); next >= 2) {
                walk.followers[*facts.awaitingFollower] = next;
                facts.awaitingFollower.reset();
            }
        }
        const bool directory = (attributes & dir_entry::AttrDirectory) != 0;
        const bool hasName = longName;
        longName = false;
        // A live file is not listed: its name is not worth decoding.
        if (!directory && entry[0] != dir_entry::Deleted && !InDeletedDirectory) {
            NoteFirstCluster(walk, RecordedFirstCluster(entry));
            continue;
        }
        const std::string name =
            bytes::PrintableName(hasName ? LongName(dir, i) : ShortName(entry));
        if (directory) {
            HandleDirectorySlot(walk, entry, path, name, InDeletedDirectory, facts);
        } else {
            HandleFileSlot(walk, entry, path, name, facts);
        }
    }
    return facts;
}

std::optional<SlotFacts> WalkDirectory(FatWalk& walk, std::span<const uint8_t> dir,
                                       const std::string& path, bool inDeletedDirectory) {
    if (PumpAndCheckStop(walk) || !LooksLikeDirectory(dir, path)) {
        return std::nullopt;
    }
    return WalkSlots(walk, dir, 0, path, inDeletedDirectory);
}

std::size_t MaxDirectoryClusters() {
    return std::max<std::size_t>(1, kMaxDirectoryEntries * dir_entry::Size / ClusterBytes());
}

EntryLimits Limits() {
    return {IsFat32(), LastCluster(), static_cast<uint64_t>(Vcb->TotalClusters) * ClusterBytes()};
}

// Whether `cluster` (read into `bytes`) reads as the next cluster of the folder `job`
// goes on with: entries throughout, whose data continues where the folder's left off.
bool ReadsAsNextCluster(FatWalk& walk, const FatContinuation& job, int64_t cluster,
                        int64_t expectedData, std::vector<uint8_t>& bytes) {
    bytes = ReadCluster(cluster);
    const EntriesCheck check = CheckDirectoryEntries(bytes, Limits());
    if (!check.readsAsEntries) {
        return false;
    }
    if (expectedData != 0) {
        return ContinuesData(check.firstDataCluster, cluster, expectedData, walk.knownData,
                             LastCluster());
    }
    return check.firstDataCluster == 0 || job.trail.lastDataStart == 0 ||
           check.firstDataCluster > job.trail.lastDataStart;
}

// One more cluster of a deleted folder, if one qualifies; the folder then waits again.
void ContinueFolder(FatWalk& walk, FatContinuation job) {
    std::vector<uint8_t> cluster;
    const ContinuationTests tests{
        LastCluster(),
        [&walk](int64_t candidate) {
            return ntfs::FatClusterFree(candidate) &&
                   !ntfs::BitSet(walk.firstClusters, candidate - 2) &&
                   !walk.walkedDirectories.contains(static_cast<uint32_t>(candidate));
        },
        [&](int64_t candidate, int64_t expectedData) {
            return ReadsAsNextCluster(walk, job, candidate, expectedData, cluster);
        },
        [limits = Limits()](std::span<const uint8_t> slot) {
            return MayBeginDirectoryCluster(slot, limits);
        },
        walk.followers.at(job.follower),
        &walk.farClustersLeft};
    const std::optional<int64_t> next =
        NextFolderCluster(job.lastCluster, job.trail, walk.knownData, tests);
    if (!next) {
        return;
    }
    walk.walkedDirectories.insert(static_cast<uint32_t>(*next));
    std::vector<uint8_t> window = std::move(job.nameSlots);
    const std::size_t begin = window.size() / dir_entry::Size;
    window.insert(window.end(), cluster.begin(), cluster.end());
    walk.depth = job.depth;
    const SlotFacts facts = WalkSlots(walk, window, begin, job.path, true);
    job.lastCluster = static_cast<uint32_t>(*next);
    ++job.clusters;
    job.trail.Follow(facts.trail);
    job.nameSlots = TrailingNameSlots(cluster);
    if (!facts.endOfDirectory && job.clusters < MaxDirectoryClusters()) {
        const int depth = job.depth;
        walk.continuations[depth].push_back(std::move(job));
    }
}

// Deleted folders are continued once every folder the volume records has been walked, so
// that no folder's first cluster is taken for another's next one.
void ContinueDeletedFolders(FatWalk& walk) {
    while (!walk.continuations.empty() && !PumpAndCheckStop(walk)) {
        const auto deepest = std::prev(walk.continuations.end());
        FatContinuation job = std::move(deepest->second.front());
        deepest->second.pop_front();
        if (deepest->second.empty()) {
            walk.continuations.erase(deepest);
        }
        ContinueFolder(walk, std::move(job));
    }
}

}  // namespace

void WalkFatDirectory(ScanContext& /*context*/, std::span<const uint8_t> dir,
                      const std::string& path, bool InDeletedDirectory) {
    WalkDirectory(*currentWalk, dir, path, InDeletedDirectory);
}

void ScanFatVolume(ScanContext& context) {
    FatWalk walk(context, volume::ReadFat(Vcb->hVolume), app::CreateProgressWindow());
    walk.window->SetText("Scanning FAT" + std::to_string(Vcb->AllocationSupport.FatIndexBitSize) +
                         " drive " + Vcb->RootPath[0] + ", Please wait...");
    walk.window->SetRange(0, kProgressRange);
    walk.window->SetStep(1);
    currentWalk = &walk;
    struct Reset {
        ~Reset() { currentWalk = nullptr; }
    } reset;
    if (ClusterBytes() == 0) {
        return;
    }
    if (IsFat32()) {
        walk.walkedDirectories.insert(Vcb->pBpb->RootDirFirstCluster);
    }
    // As many clusters as the volume bitmap covers, as for exFAT.
    walk.firstClusters.assign(static_cast<std::size_t>(ntfs::VolumeBitmapBits / 8 + 1), 0);
    walk.farClustersLeft = static_cast<int64_t>(kFarSearchesBytes / ClusterBytes());
    const std::vector<uint8_t> root = ReadRoot(walk.fat);
    WalkDirectory(walk, root, Vcb->RootPath, false);
    ContinueDeletedFolders(walk);
}

}  // namespace relicta::scan
