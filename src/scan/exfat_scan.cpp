#include "scan/exfat_scan.h"

#include <algorithm>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

#include "app/progress.h"
#include "app/scan_state.h"
#include "bytes/text.h"
#include "ntfs/bitmaps.h"
#include "ntfs/ntfs_volume.h"
#include "scan/exfat_entries.h"
#include "scan/folder_continuation.h"
#include "scan/found_files.h"
#include "volume/exfat_fat.h"
#include "volume/exfat_layout.h"
#include "volume/filetime.h"
#include "volume/raw_io.h"
#include "volume/vcb.h"

namespace relicta::scan {
namespace {

using volume::ClusterExtent;
using volume::Vcb;
namespace entry = volume::exfat_entry;

constexpr uint8_t kReportedAttributes = 0x27;  // read-only, hidden, system, archive
constexpr std::size_t kMaxSetEntries = entry::MaxSecondaryCount + 1;
constexpr uint64_t kMaxDirectoryBytes = uint64_t{256} << 20;  // exFAT's largest directory
constexpr uint64_t kFirstPieceBytes = uint64_t{4} << 10;      // a directory is read in pieces
constexpr uint64_t kReadPieceBytes = uint64_t{256} << 10;
constexpr int kMaxDepth = 128;
constexpr uint32_t kProgressRange = 10000;
constexpr std::size_t kNoFile = SIZE_MAX;
// Stands for entries in unreadable sectors: not in use, of no known type. Read as zeros they
// would end their folder there, and the entries after them could not be walked.
constexpr uint8_t kUnreadableEntryType = 0x7F;

// A folder waiting to be walked.
struct Folder {
    std::string path;
    uint32_t firstCluster = 0;
    uint64_t dataLength = 0;
    bool noFatChain = false;
    bool root = false;
    bool deleted = false;  // the folder, or one above it, is deleted
    int depth = 0;
    // A deleted folder whose first cluster is in use again: what is in use there is its new
    // owner's, so only the sets marked deleted are read, and nothing after that cluster.
    bool reused = false;
};

// A deleted folder whose walk ended at its last recorded cluster: more may follow.
struct Continuation {
    Folder folder;
    uint32_t lastCluster = 0;
    std::vector<uint8_t> carry;  // entries of a set the last cluster cut off
    AllocationTrail trail;
};

// Clusters a found file's data takes (or, when guessed, its first cluster), or clusters
// read as a deleted folder's.
struct Claim {
    int64_t start = 0;
    int64_t end = 0;
    std::size_t owner = kNoFile;  // the found file's itemNum; kNoFile for a directory
};

struct ExFatWalk {
    ExFatWalk(ScanContext& scan, std::unique_ptr<app::ProgressWindow> progress)
        : context(scan), window(std::move(progress)) {}

    ScanContext& context;
    std::unique_ptr<app::ProgressWindow> window;
    std::deque<Folder> folders;
    std::deque<Continuation> continuations;
    std::vector<Claim> claims;
    KnownData knownData;
    int64_t farClustersLeft = 0;
    std::vector<uint8_t> firstClusters;  // bit c - 2: an entry names c as its first cluster
    std::unordered_set<uint32_t> directoryClusters;  // read as a directory already
    std::vector<uint8_t> liveDirectoryClusters;      // bit c - 2: part of a live directory
    std::vector<Folder> reusedFolders;               // waiting until every live directory is known
    bool volumeClosed = false;
};

// The entries a walk has not taken yet, and what they held.
struct PieceFacts {
    bool endOfDirectory = false;
    AllocationTrail trail;
};

int64_t LastCluster() {
    return int64_t{Vcb->ExFat.ClusterCount} + 1;
}

int64_t ClustersFor(uint64_t bytes) {
    const uint64_t clusterBytes = Vcb->BytesPerCluster;
    return static_cast<int64_t>(bytes / clusterBytes + (bytes % clusterBytes != 0 ? 1 : 0));
}

int64_t MaxDirectoryClusters() {
    return std::max<int64_t>(1, ClustersFor(kMaxDirectoryBytes));
}

bool AllFree(const std::vector<ClusterExtent>& extents) {
    for (const ClusterExtent& e : extents) {
        for (int64_t c = e.lcn; c < e.lcn + e.clusters; ++c) {
            if (!ntfs::FatClusterFree(c)) {
                return false;
            }
        }
    }
    return true;
}

bool IsClaimedFirstCluster(const ExFatWalk& walk, int64_t cluster) {
    return ntfs::BitSet(walk.firstClusters, cluster - volume::kExFatFirstCluster);
}

void ClaimFirstCluster(ExFatWalk& walk, int64_t cluster) {
    ntfs::SetBit(walk.firstClusters, cluster - volume::kExFatFirstCluster);
}

// True when the walk is to stop: Cancel, or a quit request (the volume is then closed here).
bool PumpAndCheckStop(ExFatWalk& walk) {
    if (!walk.volumeClosed && app::PumpMessages()) {
        ntfs::CloseNtfsVolume(Vcb->hVolume);
        walk.volumeClosed = true;
        app::StopScan = true;
    }
    return app::StopScan || walk.volumeClosed;
}

// The bar fills and wraps on large volumes, as the FAT scan's does.
void StepProgress(ExFatWalk& walk) {
    walk.window->StepIt();
}

struct Rating {
    const char* condition = kHopeless;
    DataLayout layout = DataLayout::Contiguous;
    std::vector<ClusterExtent> claimed;
};

// Where a deleted file's data lies and the odds of getting it back. The clusters must be
// known before a file may be rated Good: a run (NoFatChain, or a single cluster), or a
// chain the FAT still holds whole, every link free. A lost chain leaves a guess: Poor.
Rating RateFile(const ExFatFileSet& set) {
    if (set.dataLength == 0) {
        return {kGood, DataLayout::Contiguous, {}};
    }
    const int64_t clusters = ClustersFor(set.dataLength);
    if (!set.HasClusters() || !volume::IsExFatCluster(set.firstCluster) ||
        clusters > int64_t{Vcb->ExFat.ClusterCount}) {
        return {kHopeless, DataLayout::Contiguous, {}};
    }
    if (set.NoFatChain() || clusters == 1) {
        if (int64_t{set.firstCluster} + clusters - 1 > LastCluster()) {
            return {kHopeless, DataLayout::Contiguous, {}};
        }
        std::vector<ClusterExtent> run = {{0, set.firstCluster, clusters}};
        const char* condition = AllFree(run) ? kGood : kPoor;
        return {condition, DataLayout::Contiguous, std::move(run)};
    }
    volume::ClusterChain chain = volume::FollowExFatChain(set.firstCluster, clusters);
    if (chain.clusters == clusters && chain.endMark && AllFree(chain.extents)) {
        return {kGood, DataLayout::Chain, std::move(chain.extents)};
    }
    return {kPoor, DataLayout::Guessed, {{0, set.firstCluster, 1}}};
}

std::optional<RecycleInfo> ReadRecycleInfo(const std::vector<ClusterExtent>& extents,
                                           uint64_t size) {
    std::vector<uint8_t> data;
    volume::AppendExtents(data, extents);
    data.resize(static_cast<std::size_t>(size));
    return ParseRecycleInfo(data);
}

void AddFile(ExFatWalk& walk, const Folder& folder, const ExFatFileSet& set) {
    std::string name = bytes::PrintableName(set.name);
    // A Recycle Bin's $I file is read whatever the filters say: it names its $R partner.
    const bool recycleInfo = RecycleBin::IsInfoFile(folder.path, name);
    const bool accepted = walk.context.filters.Accepts(folder.path, name);
    if (!accepted && !recycleInfo) {
        return;
    }
    Rating rating = RateFile(set);
    // A set whose checksum fails may hold a stream or name of another file.
    const char* condition =
        !set.checksumMatches && rating.condition == kGood ? kPoor : rating.condition;
    FoundFile file;
    file.name = std::move(name);
    file.dir = folder.path;
    file.size = static_cast<int64_t>(std::min<uint64_t>(set.dataLength, INT64_MAX));
    file.attributes = set.attributes & kReportedAttributes;
    file.modifiedTime = set.ModifiedFileTime();
    file.condition = condition;
    file.mftOrCluster = set.firstCluster;
    file.layout = rating.layout;
    if (set.validDataLength < set.dataLength) {
        file.SetValidLength(static_cast<int64_t>(set.validDataLength));
    }
    file.utcOffsetMinutes = set.UtcOffsetMinutes();
    for (const auto& [stamp, time] : {std::pair{set.createdTimestamp, &file.createdTime},
                                      std::pair{set.accessedTimestamp, &file.accessedTime}}) {
        if (stamp != 0) {
            *time = volume::FileTimeFromDos(static_cast<uint16_t>(stamp >> 16),
                                            static_cast<uint16_t>(stamp));
        }
    }
    const std::optional<RecycleInfo> info =
        recycleInfo && condition == kGood && set.dataLength <= kMaxRecycleInfoBytes
            ? ReadRecycleInfo(rating.claimed, set.dataLength)
            : std::nullopt;
    for (const ClusterExtent& e : rating.claimed) {
        walk.claims.push_back(
            {e.lcn, e.lcn + e.clusters, info || !accepted ? kNoFile : foundFiles.size()});
        walk.knownData.Add(e.lcn, e.lcn + e.clusters);
    }
    if (info) {
        walk.context.recycleBin.HoldInfo(std::move(file), *info, accepted);
    } else if (accepted) {
        AddFoundFile(walk.context.listCtrl, std::move(file));
    }
}

void HandleSet(ExFatWalk& walk, const Folder& folder, const ExFatFileSet& set, PieceFacts& facts) {
    if (set.HasClusters() && volume::IsExFatCluster(set.firstCluster)) {
        ClaimFirstCluster(walk, set.firstCluster);
    }
    if (set.IsDirectory()) {
        const bool deleted = folder.deleted || set.deleted;
        if (!volume::IsExFatCluster(set.firstCluster) || folder.depth >= kMaxDepth) {
            return;
        }
        Folder child{ChildPath(folder.path, bytes::PrintableName(set.name)),
                     set.firstCluster,
                     set.dataLength,
                     set.NoFatChain(),
                     false,
                     deleted,
                     folder.depth + 1,
                     deleted && !ntfs::FatClusterFree(set.firstCluster)};
        if (child.reused) {
            walk.reusedFolders.push_back(std::move(child));
        } else if (walk.directoryClusters.insert(set.firstCluster).second) {
            walk.folders.push_back(std::move(child));
        }
        return;
    }
    if (set.HasClusters() && set.dataLength > 0) {
        facts.trail.Note(set.firstCluster, ClustersFor(set.dataLength));
    }
    if (set.deleted || folder.deleted) {
        AddFile(walk, folder, set);
    }
}

// A live file of a live folder is not listed, so neither its name nor its checksum is read:
// only its first cluster is noted, which no deleted folder's next cluster may be. Returns
// the entries the set takes, or 0 when it must be read whole (a folder, or a set that does
// not look whole).
std::size_t SkipLiveFile(ExFatWalk& walk, const std::vector<uint8_t>& window, std::size_t i) {
    const std::size_t file = i * entry::Size;
    const std::size_t stream = file + entry::Size;
    const std::size_t count = window[file + entry::SecondaryCount];
    if (count < entry::MinSecondaryCount || count > entry::MaxSecondaryCount ||
        (bytes::U16(window, file + entry::FileAttributes) & entry::AttrDirectory) != 0 ||
        bytes::U8(window, stream) != entry::StreamExtension) {
        return 0;
    }
    if ((window[stream + entry::GeneralSecondaryFlags] & entry::AllocationPossible) != 0) {
        const uint32_t first = bytes::U32(window, stream + entry::FirstCluster);
        if (volume::IsExFatCluster(first)) {
            ClaimFirstCluster(walk, first);
        }
    }
    return count + 1;
}

// Walks the sets of `window`. Unless `final`, the last entries, which may begin a set the
// next cluster ends, stay in `window` for the next piece.
PieceFacts WalkEntries(ExFatWalk& walk, const Folder& folder, std::vector<uint8_t>& window,
                       bool final) {
    PieceFacts facts;
    const std::size_t entries = window.size() / entry::Size;
    std::size_t i = 0;
    while (i < entries && (final || i + kMaxSetEntries <= entries)) {
        if (folder.reused && (window[i * entry::Size] & entry::InUse) != 0) {
            ++i;
            continue;
        }
        const uint8_t type = window[i * entry::Size];
        // In a reused cluster a zero byte may be the new owner's data, not the end.
        if (type == entry::EndOfDirectory && !folder.reused) {
            facts.endOfDirectory = true;
            i = entries;
            break;
        }
        if (entry::LiveType(type) != entry::File) {
            ++i;
            continue;
        }
        if (type == entry::File && !folder.deleted) {
            if (const std::size_t taken = SkipLiveFile(walk, window, i)) {
                i += taken;
                StepProgress(walk);
                continue;
            }
        }
        const std::optional<ExFatFileSet> set = ParseExFatFileSet(window, i);
        if (!set) {
            ++i;
            continue;
        }
        i += set->entries;
        StepProgress(walk);
        HandleSet(walk, folder, *set, facts);
    }
    window.erase(window.begin(),
                 window.begin() + static_cast<std::ptrdiff_t>(std::min(i, entries) * entry::Size));
    return facts;
}

// The clusters a folder's entry records. A deleted folder's are read only while they are
// free: its run up to the first cluster in use again, or its chain when still whole; at
// least its first cluster, as for FAT.
std::vector<ClusterExtent> RecordedClusters(const Folder& folder) {
    const int64_t clusters =
        std::clamp<int64_t>(ClustersFor(folder.dataLength), 1, MaxDirectoryClusters());
    if (folder.root) {
        return volume::FollowExFatChain(folder.firstCluster, MaxDirectoryClusters()).extents;
    }
    if (!folder.deleted) {
        return volume::ExFatStreamExtents(folder.firstCluster, clusters, folder.noFatChain);
    }
    if (folder.reused) {
        return volume::ContiguousExtents(folder.firstCluster, 1);
    }
    if (folder.noFatChain) {
        int64_t free = 1;
        while (free < clusters && ntfs::FatClusterFree(int64_t{folder.firstCluster} + free)) {
            ++free;
        }
        return volume::ContiguousExtents(folder.firstCluster, free);
    }
    volume::ClusterChain chain = volume::FollowExFatChain(folder.firstCluster, clusters);
    if (chain.clusters == clusters && chain.endMark && AllFree(chain.extents)) {
        return std::move(chain.extents);
    }
    return volume::ContiguousExtents(folder.firstCluster, 1);
}

void ClaimDirectoryClusters(ExFatWalk& walk, const std::vector<ClusterExtent>& extents) {
    for (const ClusterExtent& e : extents) {
        walk.claims.push_back({e.lcn, e.lcn + e.clusters, kNoFile});
    }
}

// Reads `bytes` bytes from `offset` bytes into `cluster` onto the end of a folder's `window`;
// false when some lay in unreadable sectors (their entries are lost).
bool AppendFolderBytes(std::vector<uint8_t>& window, int64_t cluster, uint64_t offset,
                       uint64_t bytes) {
    const std::size_t at = window.size();
    volume::AppendHeapBytes(window, cluster, offset, bytes);
    const std::optional<int64_t> start = volume::ClusterOffset(cluster);
    if (!start || offset > static_cast<uint64_t>(INT64_MAX - *start)) {
        return true;
    }
    const int64_t from = *start + static_cast<int64_t>(offset);
    const std::vector<platform::ByteRun> lost = Vcb->Unreadable.Within(from, bytes);
    for (const platform::ByteRun& run : lost) {
        const uint64_t first = static_cast<uint64_t>(run.offset - from) / entry::Size * entry::Size;
        for (uint64_t e = first; e < static_cast<uint64_t>(run.End() - from); e += entry::Size) {
            window[at + static_cast<std::size_t>(e)] = kUnreadableEntryType;
        }
    }
    return lost.empty();
}

void WalkFolder(ExFatWalk& walk, const Folder& folder) {
    if (PumpAndCheckStop(walk)) {
        return;
    }
    const std::vector<ClusterExtent> extents = RecordedClusters(folder);
    if (folder.deleted && !folder.reused) {
        ClaimDirectoryClusters(walk, extents);
    }
    if (!folder.deleted) {
        for (const ClusterExtent& e : extents) {
            for (int64_t c = e.lcn; c < e.lcn + e.clusters; ++c) {
                ntfs::SetBit(walk.liveDirectoryClusters, c - volume::kExFatFirstCluster);
            }
        }
    }
    std::vector<uint8_t> window;
    AllocationTrail trail;
    uint32_t lastCluster = folder.firstCluster;
    // Read a little at first, more as the folder goes on: most folders end (an entry of
    // type 0) within a few KiB, and the rest of their cluster need not be read.
    uint64_t piece = kFirstPieceBytes;
    bool whole = true;
    for (const ClusterExtent& e : extents) {
        const uint64_t extentBytes = static_cast<uint64_t>(e.clusters) * Vcb->BytesPerCluster;
        for (uint64_t done = 0; done < extentBytes;) {
            const uint64_t bytes = std::min(piece, extentBytes - done);
            if (!AppendFolderBytes(window, e.lcn, done, bytes) && whole) {
                whole = false;
                ++Vcb->Losses.folders;  // its entries there are lost
            }
            done += bytes;
            piece = std::min(2 * piece, kReadPieceBytes);
            lastCluster = static_cast<uint32_t>(
                e.lcn + static_cast<int64_t>((done - 1) / Vcb->BytesPerCluster));
            const PieceFacts facts = WalkEntries(walk, folder, window, false);
            trail.Follow(facts.trail);
            if (facts.endOfDirectory || PumpAndCheckStop(walk)) {
                return;
            }
        }
    }
    if (!folder.deleted || folder.reused) {
        WalkEntries(walk, folder, window, true);
        return;
    }
    walk.continuations.push_back({folder, lastCluster, std::move(window), trail});
}

// Where the files of the whole sets in `window` (the entries a walk carries on) lie; their
// first clusters are claimed now, before a candidate next cluster could be one of them.
AllocationTrail TrailOf(ExFatWalk& walk, const std::vector<uint8_t>& window) {
    AllocationTrail trail;
    const std::size_t entries = window.size() / entry::Size;
    for (std::size_t i = 0; i < entries; ++i) {
        const std::optional<ExFatFileSet> set = ParseExFatFileSet(window, i);
        if (set && set->HasClusters() && volume::IsExFatCluster(set->firstCluster)) {
            ClaimFirstCluster(walk, set->firstCluster);
        }
        if (set && !set->IsDirectory() && set->HasClusters() && set->dataLength > 0) {
            trail.Note(set->firstCluster, ClustersFor(set->dataLength));
        }
    }
    return trail;
}

// Whether `cluster` reads as the next cluster of the folder `job` continues: every entry a
// directory may hold, at least one set whose checksum matches, every whole set matching,
// and files whose data continues where the folder's earlier files left off.
bool ReadsAsContinuation(const Continuation& job, const AllocationTrail& trail,
                         const std::vector<uint8_t>& window) {
    const std::size_t carried = job.carry.size() / entry::Size;
    const std::size_t entries = window.size() / entry::Size;
    for (std::size_t i = carried; i < entries; ++i) {
        const uint8_t type = window[i * entry::Size];
        if (type == entry::EndOfDirectory) {
            break;
        }
        if (!IsKnownExFatEntryType(type)) {
            return false;
        }
    }
    int matching = 0;
    bool orderChecked = false;
    for (std::size_t i = 0; i < entries;) {
        const uint8_t type = window[i * entry::Size];
        if (i >= carried && type == entry::EndOfDirectory) {
            break;
        }
        if (entry::LiveType(type) != entry::File) {
            ++i;
            continue;
        }
        const std::size_t count = window[i * entry::Size + entry::SecondaryCount];
        if (i + count + 1 > entries) {
            break;  // cut off by the cluster's end: the next cluster would tell
        }
        if (i + count + 1 <= carried) {
            i += count + 1;  // the last cluster's own set: it says nothing of this one
            continue;
        }
        const std::optional<ExFatFileSet> set = ParseExFatFileSet(window, i);
        if (!set || !set->checksumMatches) {
            return false;
        }
        if (!orderChecked && !set->IsDirectory() && set->HasClusters() && set->dataLength > 0 &&
            trail.lastDataStart != 0) {
            if (int64_t{set->firstCluster} <= trail.lastDataStart) {
                return false;
            }
            orderChecked = true;
        }
        ++matching;
        i += set->entries;
    }
    return matching > 0;
}

// The first cluster of the first file with data among the sets `window` adds to the carry.
int64_t FirstDataCluster(const Continuation& job, const std::vector<uint8_t>& window) {
    const std::size_t entries = window.size() / entry::Size;
    for (std::size_t i = job.carry.size() / entry::Size; i < entries; ++i) {
        const std::optional<ExFatFileSet> set = ParseExFatFileSet(window, i);
        if (set && !set->IsDirectory() && set->HasClusters() && set->dataLength > 0) {
            return set->firstCluster;
        }
    }
    return 0;
}

// The folder's next cluster, with the entries the last one cut off in front of it in
// `job.carry`; nullopt when none qualifies.
std::optional<uint32_t> NextDirectoryCluster(ExFatWalk& walk, Continuation& job) {
    AllocationTrail trail = job.trail;
    const AllocationTrail carried = TrailOf(walk, job.carry);
    if (carried.lastDataStart != 0) {
        trail.lastDataStart = carried.lastDataStart;
        trail.dataEnd = std::max(trail.dataEnd, carried.dataEnd);
    }
    std::vector<uint8_t> window;
    const ContinuationTests tests{
        LastCluster(),
        [&walk](int64_t candidate) {
            return volume::IsExFatCluster(candidate) && ntfs::FatClusterFree(candidate) &&
                   !IsClaimedFirstCluster(walk, candidate) &&
                   walk.directoryClusters.count(static_cast<uint32_t>(candidate)) == 0;
        },
        [&](int64_t candidate, int64_t expectedData) {
            window = job.carry;
            volume::AppendExtents(window, {{0, candidate, 1}});
            return ReadsAsContinuation(job, trail, window) &&
                   (expectedData == 0 ||
                    ContinuesData(FirstDataCluster(job, window), candidate, expectedData,
                                  walk.knownData, LastCluster()));
        },
        [](std::span<const uint8_t> firstEntry) {
            return IsKnownExFatEntryType(firstEntry[0]) && firstEntry[0] != entry::EndOfDirectory;
        },
        0,
        &walk.farClustersLeft};
    const std::optional<int64_t> next =
        NextFolderCluster(job.lastCluster, trail, walk.knownData, tests);
    if (!next) {
        return std::nullopt;
    }
    job.carry = std::move(window);
    return static_cast<uint32_t>(*next);
}

void ContinueFolder(ExFatWalk& walk, Continuation job) {
    for (int64_t step = 0; step < MaxDirectoryClusters() && !PumpAndCheckStop(walk); ++step) {
        const std::optional<uint32_t> next = NextDirectoryCluster(walk, job);
        if (!next) {
            break;
        }
        walk.directoryClusters.insert(*next);
        ClaimDirectoryClusters(walk, {{0, *next, 1}});
        const PieceFacts facts = WalkEntries(walk, job.folder, job.carry, false);
        job.lastCluster = *next;
        job.trail.dataEnd = 0;
        job.trail.Follow(facts.trail);
        if (facts.endOfDirectory) {
            return;
        }
    }
    if (!walk.volumeClosed) {
        WalkEntries(walk, job.folder, job.carry, true);
    }
}

// Two files that claim one cluster cannot both get their bytes back, nor a file whose
// clusters were read as a deleted folder's: such files are rated Poor at best.
void LowerOverlappingClaims(ExFatWalk& walk) {
    std::vector<Claim>& claims = walk.claims;
    std::sort(claims.begin(), claims.end(),
              [](const Claim& a, const Claim& b) { return a.start < b.start; });
    std::vector<std::size_t> lowered;
    const auto lower = [&lowered](std::size_t owner) {
        if (owner != kNoFile && foundFiles[owner].condition == kGood) {
            lowered.push_back(owner);
            foundFiles[owner].condition = kPoor;
        }
    };
    // Sorted by start, a claim overlaps an earlier one exactly when it starts before the
    // furthest end so far, and then it overlaps the claim that reaches furthest too.
    int64_t reach = 0;
    std::size_t reacher = kNoFile;
    for (const Claim& claim : claims) {
        if (claim.start < reach && claim.owner != reacher) {
            lower(claim.owner);
            lower(reacher);
        }
        if (claim.end > reach) {
            reach = claim.end;
            reacher = claim.owner;
        }
    }
    RefreshCells(walk.context.listCtrl, lowered);
}

// Deleted folders whose first cluster is in use again are read once every live directory
// is known: a cluster that now belongs to a live directory is read as that one's, not as
// the deleted folder's.
void TakeReusedFolders(ExFatWalk& walk) {
    for (Folder& folder : walk.reusedFolders) {
        if (!ntfs::BitSet(walk.liveDirectoryClusters,
                          folder.firstCluster - volume::kExFatFirstCluster) &&
            walk.directoryClusters.insert(folder.firstCluster).second) {
            walk.folders.push_back(std::move(folder));
        }
    }
    walk.reusedFolders.clear();
}

void DrainFolders(ExFatWalk& walk) {
    while (!walk.folders.empty() && !PumpAndCheckStop(walk)) {
        const Folder folder = std::move(walk.folders.front());
        walk.folders.pop_front();
        WalkFolder(walk, folder);
    }
}

}  // namespace

void ScanExFatVolume(ScanContext& context) {
    ExFatWalk walk(context, app::CreateProgressWindow());
    walk.window->SetText(std::string("Scanning exFAT drive ") + Vcb->RootPath[0] +
                         ", Please wait...");
    walk.window->SetRange(0, kProgressRange);
    walk.window->SetStep(1);
    if (Vcb->BytesPerCluster == 0) {
        return;
    }
    // As many clusters as the volume bitmap covers: a boot sector that claims 2^32 clusters
    // on a small source gets no bitmap of 512 MiB.
    walk.firstClusters.assign(static_cast<std::size_t>(ntfs::VolumeBitmapBits / 8 + 1), 0);
    walk.liveDirectoryClusters = walk.firstClusters;
    walk.farClustersLeft = static_cast<int64_t>(kFarSearchesBytes / Vcb->BytesPerCluster);
    walk.directoryClusters.insert(Vcb->ExFat.RootCluster);
    walk.folders.push_back(
        {Vcb->RootPath, Vcb->ExFat.RootCluster, 0, false, true, false, 0, false});
    // Deleted folders are continued only once every folder the volume still records is
    // known: their first clusters must not be taken for another folder's next one.
    DrainFolders(walk);
    while ((!walk.continuations.empty() || !walk.reusedFolders.empty()) &&
           !PumpAndCheckStop(walk)) {
        TakeReusedFolders(walk);
        DrainFolders(walk);
        if (walk.continuations.empty()) {
            continue;
        }
        Continuation job = std::move(walk.continuations.front());
        walk.continuations.pop_front();
        ContinueFolder(walk, std::move(job));
        DrainFolders(walk);
    }
    LowerOverlappingClaims(walk);
}

}  // namespace relicta::scan
