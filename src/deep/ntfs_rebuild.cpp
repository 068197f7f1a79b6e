#include "deep/ntfs_rebuild.h"

#include <algorithm>
#include <array>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "ntfs/mft_layout.h"
#include "ntfs/runs.h"
#include "scan/found_files.h"
#include "volume/filetime.h"

namespace relicta::deep {
namespace {

constexpr uint32_t kFirstUserRecord = 16;
constexpr uint32_t kExtendRecord = 11;
// The sequence number every format gives the root's record: parent references to the root
// carry it even where the old root's record is gone.
constexpr uint16_t kRootSequence = 5;
// Fewer records at one MFT start are strays (a copy of a record, the MFT's mirror) unless
// something links them to an MFT.
constexpr std::size_t kMinFragmentRecords = 4;
constexpr int kMaxLinkRounds = 64;
// $Extend\$RmMetadata\$TxfLog and below.
constexpr int kMaxSystemFolderDepth = 4;
constexpr int kClusterSizes = 13;  // 512 bytes to 2 MiB
constexpr uint32_t kMinClusterBytes = 512;
constexpr uint32_t kFallbackClusterBytes = 4096;
constexpr std::size_t kNone = SIZE_MAX;

uint64_t Key(uint64_t number, uint16_t sequence) {
    return number | uint64_t{sequence} << ntfs::kReferenceSequenceShift;
}
uint64_t NumberOf(uint64_t reference) {
    return reference & ntfs::kReferenceRecordMask;
}
uint16_t SequenceOf(uint64_t reference) {
    return static_cast<uint16_t>(reference >> ntfs::kReferenceSequenceShift);
}

// Where record 0 of the MFT that holds `r` would lie, were the MFT one run.
int64_t MftStartOf(const FoundNtfsRecord& r) {
    return r.offset - int64_t{r.number} * r.recordBytes;
}

bool IsSystemName(const std::string& name) {
    return !name.empty() && name[0] == '$';
}

// Records lying at one MFT start: one run of an old MFT.
struct Fragment {
    int64_t start = 0;
    uint32_t recordBytes = 0;
    std::size_t first = 0;  // its records in Rebuild::order_
    std::size_t count = 0;
    uint32_t lowest = UINT32_MAX;  // record numbers it holds
    uint32_t highest = 0;
    std::size_t record0 = kNone;  // its record 0, when found
    bool holdsFiles = false;      // a record past the system files
    std::size_t group = kNone;
};

enum class Source : uint8_t { BootSector, Records, Assumed };

struct Geometry {
    int64_t start = 0;
    uint32_t clusterBytes = 0;
    Source source = Source::Assumed;
};

// One old volume: the fragments of its MFT and records linked to it one by one.
struct Group {
    std::vector<std::size_t> fragments;
    std::vector<std::size_t> strays;  // records whose parent is one of its folders
    std::vector<std::size_t> lost;    // records linked to nothing: under kNoParent
    std::optional<Geometry> geometry;
};

class Rebuild {
  public:
    Rebuild(const NtfsRecordFinder& finder, const std::vector<FoundBootSector>& boots,
            const CurrentVolume& current)
        : finder_(finder), found_(finder.Found()), boots_(boots), current_(current) {}

    std::vector<OldVolume> Volumes(std::vector<std::string>& notes) {
        CollectFragments();
        GroupByMftRecords();
        GroupByParents();
        PlaceStrays();
        std::vector<OldVolume> volumes;
        for (Group& g : groups_) {
            OldVolume v = BuildVolume(g);
            if (v.entries.empty()) {
                continue;
            }
            Note(v, g, notes);
            volumes.push_back(std::move(v));
        }
        std::sort(volumes.begin(), volumes.end(),
                  [](const OldVolume& a, const OldVolume& b) { return a.start < b.start; });
        return volumes;
    }

  private:
    // Fragments by the MFT start their records vote for; records the current file system
    // holds are its own.
    void CollectFragments() {
        std::unordered_map<int64_t, std::size_t> at;
        std::vector<std::size_t> fragmentOf(found_.size(), kNone);
        for (std::size_t i = 0; i < found_.size(); ++i) {
            const FoundNtfsRecord& r = found_[i];
            if (current_.InUse(r.offset, r.recordBytes)) {
                continue;
            }
            const auto [it, added] = at.try_emplace(MftStartOf(r), fragments_.size());
            if (added) {
                fragments_.push_back({.start = it->first, .recordBytes = r.recordBytes});
            }
            Fragment& f = fragments_[it->second];
            ++f.count;
            f.lowest = std::min(f.lowest, r.number);
            f.highest = std::max(f.highest, r.number);
            f.holdsFiles = f.holdsFiles || r.number >= kFirstUserRecord;
            if (r.number == ntfs::MASTER_FILE_TABLE_NUMBER) {
                f.record0 = i;
            }
            fragmentOf[i] = it->second;
        }
        fragmentAt_ = std::move(at);
        // The records of each fragment side by side.
        std::size_t next = 0;
        for (Fragment& f : fragments_) {
            f.first = next;
            next += f.count;
        }
        order_.resize(next);
        std::vector<std::size_t> filled(fragments_.size(), 0);
        for (std::size_t i = 0; i < found_.size(); ++i) {
            if (fragmentOf[i] != kNone) {
                const Fragment& f = fragments_[fragmentOf[i]];
                order_[f.first + filled[fragmentOf[i]]++] = i;
            }
        }
    }

    std::span<const std::size_t> RecordsOf(const Fragment& f) const {
        return std::span<const std::size_t>(order_).subspan(f.first, f.count);
    }

    // Fragments by size, the largest first; ties by place.
    std::vector<std::size_t> FragmentsBySize() const {
        std::vector<std::size_t> bySize(fragments_.size());
        for (std::size_t i = 0; i < bySize.size(); ++i) {
            bySize[i] = i;
        }
        std::sort(bySize.begin(), bySize.end(), [this](std::size_t a, std::size_t b) {
            const Fragment& x = fragments_[a];
            const Fragment& y = fragments_[b];
            return x.count != y.count ? x.count > y.count : x.start < y.start;
        });
        return bySize;
    }

    bool Seeds(const Fragment& f) const { return f.holdsFiles && f.count >= kMinFragmentRecords; }

    std::size_t NewGroup(std::size_t fragment) {
        groups_.emplace_back();
        Join(groups_.size() - 1, fragment);
        return groups_.size() - 1;
    }

    void Join(std::size_t group, std::size_t fragment) {
        fragments_[fragment].group = group;
        groups_[group].fragments.push_back(fragment);
        for (const std::size_t i : RecordsOf(fragments_[fragment])) {
            NoteFolder(found_[i], group);
        }
    }

    // A folder's keys lead to its group; a key two groups share leads nowhere. A deleted
    // folder's sequence number went up by one: its children still name the one before.
    void NoteFolder(const FoundNtfsRecord& r, std::size_t group) {
        if (!r.IsDirectory()) {
            return;
        }
        const auto note = [&](uint64_t key) {
            const auto [it, added] = folderGroup_.try_emplace(key, group);
            if (!added && it->second != group) {
                it->second = kNone;
            }
        };
        note(Key(r.number, r.sequence));
        if (!r.InUse()) {
            note(Key(r.number, static_cast<uint16_t>(r.sequence - 1)));
        }
    }

    std::size_t GroupOfFolder(uint64_t reference) const {
        if (NumberOf(reference) < kFirstUserRecord) {
            return kNone;  // the root and the system folders: every volume has them
        }
        const auto it = folderGroup_.find(reference);
        return it == folderGroup_.end() ? kNone : it->second;
    }

    // Each MFT whose record 0 was found, with the fragments its run list maps: the largest
    // first, before a copy of record 0 (the MFT's mirror) can claim them.
    void GroupByMftRecords() {
        for (const std::size_t fi : FragmentsBySize()) {
            const Fragment& f = fragments_[fi];
            if (f.group != kNone || f.record0 == kNone) {
                continue;
            }
            const std::size_t g = NewGroup(fi);
            const std::span<const OldRun> runs = finder_.RunsOf(found_[f.record0]);
            const std::optional<Geometry> geometry = GeometryFromRecord0(f);
            if (!geometry) {
                continue;
            }
            groups_[g].geometry = geometry;
            int64_t vcn = 0;
            for (const OldRun& run : runs) {
                if (run.lcn != OldRun::kSparse && vcn > 0) {
                    const __int128 start =
                        static_cast<__int128>(geometry->start) +
                        static_cast<__int128>(run.lcn - vcn) * geometry->clusterBytes;
                    const auto other = start >= INT64_MIN && start <= INT64_MAX
                                           ? fragmentAt_.find(static_cast<int64_t>(start))
                                           : fragmentAt_.end();
                    if (other != fragmentAt_.end() && fragments_[other->second].group == kNone) {
                        Join(g, other->second);
                    }
                }
                vcn = std::min(vcn + run.clusters, ntfs::kMaxVcn);
            }
        }
    }

    // The volume of the MFT fragment `f` that holds its record 0: from a boot sector, else
    // from the clusters its records' runs have and where its record 0 says it lies.
    std::optional<Geometry> GeometryFromRecord0(const Fragment& f) const {
        if (std::optional<Geometry> boot = GeometryFromBootSector(f)) {
            return boot;
        }
        const uint32_t clusterBytes = VoteClusterBytes(RecordsOf(f));
        const std::optional<int64_t> start = StartFromRecord0(f, clusterBytes);
        if (!start) {
            return std::nullopt;
        }
        return Geometry{*start, clusterBytes, Source::Records};
    }

    // The volume's start that record 0 of the MFT fragment `f` gives: the fragment lies at
    // the LCN of its first run.
    std::optional<int64_t> StartFromRecord0(const Fragment& f, uint32_t clusterBytes) const {
        if (f.record0 == kNone || clusterBytes == 0) {
            return std::nullopt;
        }
        const std::span<const OldRun> runs = finder_.RunsOf(found_[f.record0]);
        if (runs.empty() || runs[0].lcn == OldRun::kSparse) {
            return std::nullopt;
        }
        const __int128 start =
            static_cast<__int128>(f.start) - static_cast<__int128>(runs[0].lcn) * clusterBytes;
        if (start < 0 || start >= current_.length) {
            return std::nullopt;
        }
        return static_cast<int64_t>(start);
    }

    std::optional<Geometry> GeometryFromBootSector(const Fragment& f) const {
        for (const FoundBootSector& b : boots_) {
            if (b.kind != BootKind::Ntfs || b.recordBytes != f.recordBytes) {
                continue;
            }
            const __int128 mft = static_cast<__int128>(b.mftStartLcn) * b.clusterBytes;
            for (const int64_t start : b.VolumeStarts()) {
                if (start + mft == f.start) {
                    return Geometry{start, b.clusterBytes, Source::BootSector};
                }
            }
        }
        return std::nullopt;
    }

    // The cluster size the records' non-resident data agrees on: its allocated size over
    // the clusters its runs map. 0 when none tells.
    uint32_t VoteClusterBytes(std::span<const std::size_t> records) const {
        std::array<std::size_t, kClusterSizes> votes{};
        for (const std::size_t i : records) {
            const FoundNtfsRecord& r = found_[i];
            int64_t clusters = 0;
            for (const OldRun& run : finder_.RunsOf(r)) {
                clusters = std::min(clusters + run.clusters, ntfs::kMaxVcn);
            }
            if (clusters <= 0 || r.allocatedSize <= 0 || r.allocatedSize % clusters != 0) {
                continue;
            }
            const int64_t bytes = r.allocatedSize / clusters;
            for (int k = 0; k < kClusterSizes; ++k) {
                if (bytes == int64_t{kMinClusterBytes} << k) {
                    ++votes[static_cast<std::size_t>(k)];
                }
            }
        }
        const auto best = std::max_element(votes.begin(), votes.end());
        return *best == 0 ? 0 : kMinClusterBytes << (best - votes.begin());
    }

    // Fragments left join the group that holds most of their records' folders, or the one
    // group their records in the root can belong to; never a group that holds any of their
    // record numbers (one MFT's fragments hold different ones). The largest left makes a
    // group of its own.
    void GroupByParents() {
        const std::vector<std::size_t> bySize = FragmentsBySize();
        for (int round = 0; round < kMaxLinkRounds; ++round) {
            bool linked = false;
            for (const std::size_t fi : bySize) {
                if (fragments_[fi].group == kNone && fragments_[fi].holdsFiles) {
                    linked = LinkByParents(fi) || linked;
                }
            }
            if (linked) {
                continue;
            }
            const auto left = std::find_if(bySize.begin(), bySize.end(), [this](std::size_t fi) {
                return fragments_[fi].group == kNone && Seeds(fragments_[fi]);
            });
            if (left == bySize.end()) {
                return;
            }
            NewGroup(*left);
        }
        for (const std::size_t fi : bySize) {
            if (fragments_[fi].group == kNone && Seeds(fragments_[fi])) {
                NewGroup(fi);
            }
        }
    }

    bool LinkByParents(std::size_t fi) {
        const Fragment& f = fragments_[fi];
        std::unordered_map<std::size_t, std::size_t> votes;
        std::size_t allVotes = 0;
        bool inRoot = false;
        for (const std::size_t i : RecordsOf(f)) {
            const uint64_t parent = found_[i].parent;
            inRoot = inRoot || NumberOf(parent) == ntfs::kRootDirectoryRecord;
            if (const std::size_t g = GroupOfFolder(parent); g != kNone) {
                ++votes[g];
                ++allVotes;
            }
        }
        std::size_t best = kNone;
        std::size_t bestVotes = 0;
        for (const auto& [g, n] : votes) {
            if (n > bestVotes || (n == bestVotes && g < best)) {
                best = g;
                bestVotes = n;
            }
        }
        if (best == kNone && inRoot) {
            best = OnlyGroupApartFrom(f);
        } else if (bestVotes * 2 <= allVotes) {
            return false;
        }
        if (best == kNone || SharesNumbers(groups_[best], f)) {
            return false;
        }
        Join(best, fi);
        return true;
    }

    // The one group of files that holds none of the fragment's record numbers; kNone when
    // there are none or several.
    std::size_t OnlyGroupApartFrom(const Fragment& f) const {
        std::size_t only = kNone;
        for (std::size_t g = 0; g < groups_.size(); ++g) {
            if (!HoldsFiles(groups_[g]) || SharesNumbers(groups_[g], f)) {
                continue;
            }
            if (only != kNone) {
                return kNone;
            }
            only = g;
        }
        return only;
    }

    bool HoldsFiles(const Group& g) const {
        return std::any_of(g.fragments.begin(), g.fragments.end(),
                           [this](std::size_t fi) { return fragments_[fi].holdsFiles; });
    }

    bool SharesNumbers(const Group& g, const Fragment& f) const {
        return std::any_of(g.fragments.begin(), g.fragments.end(), [&](std::size_t other) {
            const Fragment& o = fragments_[other];
            return o.lowest <= f.highest && f.lowest <= o.highest;
        });
    }

    // Records of no group: under a folder of one, or lost in the largest that holds files; a
    // volume of their own when no MFT of files was found at all.
    void PlaceStrays() {
        std::size_t largest = kNone;
        std::size_t largestCount = 0;
        for (std::size_t g = 0; g < groups_.size(); ++g) {
            std::size_t n = 0;
            for (const std::size_t fi : groups_[g].fragments) {
                n += fragments_[fi].count;
            }
            if (HoldsFiles(groups_[g]) && n > largestCount) {
                largest = g;
                largestCount = n;
            }
        }
        std::size_t own = kNone;
        for (const Fragment& f : fragments_) {
            if (f.group != kNone) {
                continue;
            }
            for (const std::size_t i : RecordsOf(f)) {
                if (found_[i].number < kFirstUserRecord) {
                    continue;
                }
                if (const std::size_t g = GroupOfFolder(found_[i].parent); g != kNone) {
                    groups_[g].strays.push_back(i);
                } else if (largest != kNone) {
                    groups_[largest].lost.push_back(i);
                } else {
                    if (own == kNone) {
                        own = groups_.size();
                        groups_.emplace_back();
                    }
                    groups_[own].strays.push_back(i);
                }
            }
        }
    }

    // Every record of the group.
    std::vector<std::size_t> RecordsOf(const Group& g) const {
        std::vector<std::size_t> all;
        for (const std::size_t fi : g.fragments) {
            const std::span<const std::size_t> r = RecordsOf(fragments_[fi]);
            all.insert(all.end(), r.begin(), r.end());
        }
        all.insert(all.end(), g.strays.begin(), g.strays.end());
        all.insert(all.end(), g.lost.begin(), g.lost.end());
        return all;
    }

    // The group's geometry: a boot sector's; else the cluster size its records agree on and
    // the start its record 0 gives, or the current volume's start when the old MFT lies where
    // the current one does (a quick format keeps the place); else the drive's start.
    Geometry GeometryOf(const Group& g, std::span<const std::size_t> records) const {
        for (const std::size_t fi : g.fragments) {
            if (std::optional<Geometry> boot = GeometryFromBootSector(fragments_[fi])) {
                return *boot;
            }
        }
        const bool currentMft =
            current_.kind == CurrentKind::Ntfs &&
            std::any_of(g.fragments.begin(), g.fragments.end(), [this](std::size_t fi) {
                return fragments_[fi].start == current_.mftOffset;
            });
        Geometry geometry{0, VoteClusterBytes(records), Source::Records};
        if (geometry.clusterBytes == 0) {
            geometry.clusterBytes =
                current_.clusterBytes != 0 ? current_.clusterBytes : kFallbackClusterBytes;
            geometry.source = currentMft ? Source::Records : Source::Assumed;
        }
        for (const std::size_t fi : g.fragments) {
            if (const std::optional<int64_t> start =
                    StartFromRecord0(fragments_[fi], geometry.clusterBytes)) {
                geometry.start = *start;
                return geometry;
            }
        }
        if (!currentMft) {
            geometry.source = Source::Assumed;
        }
        return geometry;
    }

    OldVolume BuildVolume(Group& g) const {
        const std::vector<std::size_t> records = RecordsOf(g);
        if (!g.geometry) {
            g.geometry = GeometryOf(g, records);
        }
        OldVolume v;
        v.kind = "NTFS";
        v.start = g.geometry->start;
        v.clusterBytes = g.geometry->clusterBytes;
        v.geometryInferred = g.geometry->source != Source::BootSector;
        v.rootKey = Key(ntfs::kRootDirectoryRecord, kRootSequence);
        const Folders folders = FoldersOf(records, v.rootKey);
        const std::unordered_set<uint64_t> system = SystemFolders(records);
        const std::unordered_set<std::size_t> lost(g.lost.begin(), g.lost.end());
        v.entries.reserve(records.size());
        for (const std::size_t i : records) {
            const FoundNtfsRecord& r = found_[i];
            if ((r.number < kFirstUserRecord && IsSystemName(r.name)) ||
                system.contains(NumberOf(r.parent))) {
                continue;
            }
            if (r.number == ntfs::kRootDirectoryRecord) {
                continue;
            }
            OldEntry e;
            e.name = r.name;
            e.parentKey = lost.contains(i) ? kNoParent : folders.Resolve(r.parent, v.rootKey);
            if (r.IsDirectory()) {
                e.isFolder = true;
                e.key = Key(r.number, r.sequence);
            } else {
                e.file = OldFile(r, *g.geometry);
            }
            v.entries.push_back(std::move(e));
        }
        return v;
    }

    struct Folders {
        struct Folder {
            uint16_t sequence = 0;
            bool inUse = false;
        };
        std::unordered_map<uint64_t, Folder> byNumber;

        // The key of the folder a parent reference names: a folder found under the number
        // with that sequence number, or the one after it if the folder was deleted.
        uint64_t Resolve(uint64_t reference, uint64_t rootKey) const {
            const uint64_t number = NumberOf(reference);
            if (number == ntfs::kRootDirectoryRecord) {
                return rootKey;
            }
            const uint16_t sequence = SequenceOf(reference);
            const auto it = byNumber.find(number);
            if (it != byNumber.end() &&
                (sequence == 0 || it->second.sequence == sequence ||
                 (!it->second.inUse &&
                  it->second.sequence == static_cast<uint16_t>(sequence + 1)))) {
                return Key(number, it->second.sequence);
            }
            return Key(number, sequence);
        }
    };

    Folders FoldersOf(std::span<const std::size_t> records, uint64_t& rootKey) const {
        Folders folders;
        for (const std::size_t i : records) {
            const FoundNtfsRecord& r = found_[i];
            if (r.IsDirectory()) {
                folders.byNumber.try_emplace(r.number, Folders::Folder{r.sequence, r.InUse()});
                if (r.number == ntfs::kRootDirectoryRecord) {
                    rootKey = Key(r.number, r.sequence);
                }
            }
        }
        return folders;
    }

    // $Extend and the folders below it: the volume's own.
    std::unordered_set<uint64_t> SystemFolders(std::span<const std::size_t> records) const {
        std::unordered_set<uint64_t> system{kExtendRecord};
        for (int depth = 0; depth < kMaxSystemFolderDepth; ++depth) {
            for (const std::size_t i : records) {
                const FoundNtfsRecord& r = found_[i];
                if (r.IsDirectory() && IsSystemName(r.name) &&
                    system.contains(NumberOf(r.parent))) {
                    system.insert(r.number);
                }
            }
        }
        return system;
    }

    scan::FoundFile OldFile(const FoundNtfsRecord& r, const Geometry& geometry) const {
        scan::FoundFile file;
        file.size = std::max<int64_t>(r.dataSize, 0);
        file.attributes = r.attributes;
        file.modifiedTime = volume::LocalFileTimeFromUtc(r.modified);
        file.createdTime = volume::LocalFileTimeFromUtc(r.created);
        file.changedTime = volume::LocalFileTimeFromUtc(r.changed);
        file.accessedTime = volume::LocalFileTimeFromUtc(r.accessed);
        file.mftOrCluster = r.number;
        file.foundBy = scan::FoundBy::Record;
        scan::DeepLocation where;
        switch (r.data) {
            case OldData::Resident: {
                const std::span<const uint8_t> bytes = finder_.ResidentOf(r);
                where.resident.assign(bytes.begin(), bytes.end());
                where.residentData = true;
                file.condition = scan::kExcellent;
                break;
            }
            case OldData::Runs:
                file.condition = Locate(finder_.RunsOf(r), file.size, geometry, where);
                if (r.validLength >= 0 && r.validLength < file.size) {
                    file.SetValidLength(r.validLength);
                }
                break;
            case OldData::None:
            case OldData::Compressed:
                file.condition = scan::kHopeless;  // no bytes rather than wrong ones
                break;
        }
        file.SetDeep(std::move(where));
        return file;
    }

    // The drive's stretches `runs` map for the first `size` bytes, and the condition that
    // gives: Good when all are known, on the drive and free now; Poor when the current file
    // system uses some or some are unknown; Hopeless when none is known.
    const char* Locate(std::span<const OldRun> runs, int64_t size, const Geometry& geometry,
                       scan::DeepLocation& where) const {
        int64_t covered = 0;
        bool inUse = false;
        for (const OldRun& run : runs) {
            if (covered >= size) {
                break;
            }
            const __int128 runBytes = static_cast<__int128>(run.clusters) * geometry.clusterBytes;
            const int64_t length =
                static_cast<int64_t>(std::min<__int128>(runBytes, size - covered));
            if (run.lcn == OldRun::kSparse) {
                where.extents.push_back({scan::DeepExtent::kZeros, static_cast<uint64_t>(length)});
                covered += length;
                continue;
            }
            const __int128 offset =
                geometry.start + static_cast<__int128>(run.lcn) * geometry.clusterBytes;
            if (offset + length > current_.length) {
                break;  // past the drive: what is left is not known
            }
            where.extents.push_back({static_cast<int64_t>(offset), static_cast<uint64_t>(length)});
            inUse = inUse ||
                    current_.InUse(static_cast<int64_t>(offset), static_cast<uint64_t>(length));
            covered += length;
        }
        if (covered < size) {
            return covered == 0 ? scan::kHopeless : scan::kPoor;
        }
        return inUse ? scan::kPoor : scan::kGood;
    }

    void Note(const OldVolume& v, const Group& g, std::vector<std::string>& notes) const {
        const std::string at = "The old NTFS volume at sector " +
                               std::to_string(v.start / int64_t{kSectorBytes}) + " (clusters of " +
                               std::to_string(v.clusterBytes) + " bytes)";
        if (g.geometry->source == Source::Records) {
            notes.push_back(at + ": its geometry was inferred from where its records lie.");
        } else if (g.geometry->source == Source::Assumed) {
            notes.push_back(at +
                            ": its geometry could not be inferred; it was taken to begin at "
                            "the drive's start.");
        }
    }

    const NtfsRecordFinder& finder_;
    const std::vector<FoundNtfsRecord>& found_;
    const std::vector<FoundBootSector>& boots_;
    const CurrentVolume& current_;
    std::vector<Fragment> fragments_;
    std::unordered_map<int64_t, std::size_t> fragmentAt_;
    std::vector<std::size_t> order_;
    std::vector<Group> groups_;
    std::unordered_map<uint64_t, std::size_t> folderGroup_;
};

}  // namespace

std::vector<OldVolume> RebuildNtfsVolumes(const NtfsRecordFinder& records,
                                          const std::vector<FoundBootSector>& boots,
                                          const CurrentVolume& current,
                                          std::vector<std::string>& notes) {
    return Rebuild(records, boots, current).Volumes(notes);
}

}  // namespace relicta::deep
