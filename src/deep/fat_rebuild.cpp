#include "deep/fat_rebuild.h"

#include <algorithm>
#include <iterator>
#include <unordered_map>

#include "deep/cluster_geometry.h"
#include "deep/folder_linking.h"
#include "volume/dir_entry_layout.h"
#include "volume/fat_geometry.h"

namespace relicta::deep {
namespace {

constexpr uint64_t kRootKey = 0;
constexpr uint8_t kReportedAttributes = 0x27;                  // read-only, hidden, system, archive
constexpr uint64_t kMaxDirectoryBytes = uint64_t{65536} * 32;  // the largest FAT allows
// Where a FAT12/16 root directory may lie before cluster 2 when no boot sector tells.
constexpr int64_t kRootWindowBytes = int64_t{32} * 1024;
constexpr int64_t kFat16MaxCluster = 65524;

// One old volume: its geometry, the folders ("." entries) that voted for it, and the
// sectors of entries it holds (in the finder's Sectors(), by offset).
struct Volume : ChosenVolume {
    std::vector<std::size_t> sectors;
};

// What one volume's directory clusters hold, and where each of its sectors lies.
struct Directories {
    DirectoryLinks links;
    std::vector<std::size_t> clusterOf;  // per sector of the volume: its cluster in links
};

// The FAT the old volume had, where something tells: its boot sector, the current volume's
// cluster count when it is the same volume's geometry, a root directory in clusters or
// clusters past FAT16's.
const char* KindOf(const Volume& v, const CurrentVolume& current, int64_t highestCluster,
                   bool rootCluster) {
    int64_t clusters = 0;
    if (v.chosen.boot != nullptr) {
        clusters = volume::FatDataClusters(v.chosen.boot->bpb);
        rootCluster = rootCluster || v.chosen.boot->bpb.IsFat32();
    } else if (v.chosen.source == GeometrySource::CurrentVolume) {
        // A format that kept the geometry kept the FAT's kind: its cluster count cannot tell
        // a small FAT32 volume.
        switch (current.fatIndexBits) {
            case 32:
                return "FAT32";
            case 16:
                return "FAT16";
            case 12:
                return "FAT12";
            default:
                clusters = current.totalClusters;
        }
    }
    if (rootCluster || highestCluster > kFat16MaxCluster || clusters > kFat16MaxCluster) {
        return "FAT32";
    }
    if (clusters == 0) {
        return "FAT";
    }
    return clusters >= volume::kFat12MaxClusters ? "FAT16" : "FAT12";
}

class FatRebuild {
  public:
    FatRebuild(const FatDirectoryFinder& finder, const std::vector<FoundBootSector>& boots,
               const CurrentVolume& current)
        : finder_(finder),
          folders_(finder.Folders()),
          sectors_(finder.Sectors()),
          entries_(finder.Entries()),
          current_(current),
          vouched_(VouchedGeometries(boots, BootKind::Fat, current, CurrentKind::Fat)) {}

    std::vector<OldVolume> Volumes(std::vector<std::string>& notes) {
        ChooseVolumes();
        std::vector<OldVolume> built;
        std::vector<ChosenGeometry> geometries;
        for (const Volume& v : volumes_) {
            built.push_back(Build(v));
            geometries.push_back(v.chosen);
        }
        return KeepVolumes(std::move(built), geometries, LostFiles(), "FAT", notes);
    }

  private:
    // Each "." entry says where cluster 2 lies for every cluster size: the size and place
    // most of them agree on is a volume's; its folders are taken and the rest vote again.
    // Each sector of entries then goes to the volume it lies in.
    void ChooseVolumes() {
        GeometryVoting voting;
        voting.voters = folders_.size();
        voting.scores = [this](const std::vector<std::size_t>& voters) {
            std::vector<ClusterGeometry> votes;
            for (const std::size_t i : voters) {
                VoteForPlace(votes, folders_[i].offset, folders_[i].cluster, kMaxFatClusterBytes);
            }
            return CountVotes(std::move(votes));
        };
        voting.fits = [this](const ClusterGeometry& g, std::size_t i) {
            return g.OffsetOf(folders_[i].cluster) == folders_[i].offset;
        };
        voting.anyFound = !sectors_.empty();
        voting.rootBytes = kRootWindowBytes;
        for (ChosenVolume& v : deep::ChooseVolumes(voting, vouched_, current_.length)) {
            volumes_.push_back({std::move(v), {}});
        }
        std::vector<int64_t> offsets;
        for (const FoundFatSector& s : sectors_) {
            offsets.push_back(s.offset);
        }
        const std::vector<ChosenVolume> chosen(volumes_.begin(), volumes_.end());
        Assignment assignment = AssignToVolumes(
            offsets, chosen, [this](std::size_t folder) { return folders_[folder].cluster; });
        for (std::size_t v = 0; v < volumes_.size(); ++v) {
            volumes_[v].sectors = std::move(assignment.held[v]);
        }
        lost_ = std::move(assignment.lost);
    }

    std::size_t SectorAt(int64_t offset) const {
        const auto it = std::lower_bound(
            sectors_.begin(), sectors_.end(), offset,
            [](const FoundFatSector& s, int64_t value) { return s.offset < value; });
        return it != sectors_.end() && it->offset == offset
                   ? static_cast<std::size_t>(it - sectors_.begin())
                   : kNoSector;
    }

    std::span<const FoundFatEntry> EntriesOf(const FoundFatSector& s) const {
        return std::span<const FoundFatEntry>(entries_).subspan(s.firstEntry, s.entries);
    }

    // The volume's directory clusters, with what their entries name and where their data lies.
    Directories CollectClusters(const Volume& v) const {
        const ClusterGeometry& g = v.chosen.geometry;
        Directories d;
        DirectoryLinks& links = d.links;
        links.defaultMaxClusters =
            std::max<int64_t>(1, static_cast<int64_t>(kMaxDirectoryBytes / g.clusterBytes));
        for (const std::size_t s : v.sectors) {
            const FoundFatSector& sector = sectors_[s];
            const int64_t cluster = g.ClusterAt(sector.offset);
            if (cluster < kFirstCluster) {
                d.clusterOf.push_back(kNoSector);
                continue;
            }
            if (links.clusters.empty() || links.clusters.back().cluster != cluster) {
                DirectoryCluster c;
                c.cluster = cluster;
                links.clusters.push_back(c);
            }
            d.clusterOf.push_back(links.clusters.size() - 1);
            DirectoryCluster& c = links.clusters.back();
            if (sector.Has(FoundFatSector::kBeginsRoot) && sector.offset == g.OffsetOf(cluster)) {
                c.owner = kRootKey;
            }
            // Entries that stop before the cluster's end end their folder there too.
            const int64_t next = sector.offset + int64_t{kSectorBytes};
            const bool stops = next != g.OffsetOf(cluster + 1) && SectorAt(next) == kNoSector;
            c.endsDirectory = c.endsDirectory || sector.Has(FoundFatSector::kEnds) || stops;
            for (const FoundFatEntry& e : EntriesOf(sector)) {
                NoteEntry(g, e, cluster, links, c);
            }
        }
        for (const std::size_t f : v.voters) {
            const int64_t cluster = folders_[f].cluster;
            const auto it = std::lower_bound(
                links.clusters.begin(), links.clusters.end(), cluster,
                [](const DirectoryCluster& c, int64_t value) { return c.cluster < value; });
            if (it != links.clusters.end() && it->cluster == cluster) {
                it->owner = static_cast<uint64_t>(cluster);
            }
        }
        std::sort(links.namedClusters.begin(), links.namedClusters.end());
        std::sort(links.dataStarts.begin(), links.dataStarts.end(),
                  [](const DirectoryLinks::DataStart& a, const DirectoryLinks::DataStart& b) {
                      return a.first < b.first;
                  });
        return d;
    }

    static void NoteEntry(const ClusterGeometry& g, const FoundFatEntry& e, int64_t cluster,
                          DirectoryLinks& links, DirectoryCluster& c) {
        const int64_t first = e.firstCluster;
        if (first < kFirstCluster) {
            return;
        }
        links.namedClusters.push_back(first);
        if (c.firstData == 0) {
            c.firstData = first;
        }
        const int64_t clusters = e.IsDirectory() ? 0 : static_cast<int64_t>(g.ClustersFor(e.size));
        links.dataStarts.push_back({first, cluster, clusters});
        if (e.IsDirectory()) {
            c.trail.Note(first, 1);
        } else if (clusters > 0) {
            c.trail.Note(first, clusters);
        }
    }

    // Each folder's parent by its ".." entry: 0, or the FAT32 root's first cluster (where
    // its volume label lies, or as its boot sector says), is the root.
    static std::unordered_map<uint64_t, uint64_t> Parents(
        const Volume& v, const std::vector<FoundFatFolder>& folders, const DirectoryLinks& links) {
        std::vector<int64_t> roots;
        for (const DirectoryCluster& c : links.clusters) {
            if (c.owner == kRootKey) {
                roots.push_back(c.cluster);
            }
        }
        if (v.chosen.boot != nullptr && v.chosen.boot->bpb.IsFat32()) {
            roots.push_back(v.chosen.boot->bpb.RootDirFirstCluster);
        }
        std::unordered_map<uint64_t, uint64_t> parents;
        for (const std::size_t f : v.voters) {
            const int64_t parent = folders[f].parentCluster;
            const bool root = std::find(roots.begin(), roots.end(), parent) != roots.end();
            parents.emplace(folders[f].cluster, root ? kRootKey : static_cast<uint64_t>(parent));
        }
        return parents;
    }

    std::vector<FolderChain> Chains(const Volume& v, const DirectoryLinks& links) const {
        const std::unordered_map<uint64_t, uint64_t> parents = Parents(v, folders_, links);
        std::vector<FolderChain> chains;
        chains.reserve(parents.size());
        for (const auto& [key, parent] : parents) {
            chains.push_back({key, static_cast<int64_t>(key), links.defaultMaxClusters});
        }
        std::sort(chains.begin(), chains.end(), [](const FolderChain& a, const FolderChain& b) {
            return a.firstCluster < b.firstCluster;
        });
        for (const DirectoryCluster& c : links.clusters) {
            if (c.owner == kRootKey) {
                chains.push_back({kRootKey, c.cluster, links.defaultMaxClusters});
            }
        }
        OrderDeepestFirst(chains, parents, kRootKey);
        return chains;
    }

    // The sector before `s` in its folder: in its cluster, or the last of the cluster before.
    std::size_t SectorBefore(const Volume& v, const Directories& d, std::size_t s) const {
        const ClusterGeometry& g = v.chosen.geometry;
        const int64_t offset = sectors_[v.sectors[s]].offset;
        const std::size_t c = d.clusterOf[s];
        if (c == kNoSector || offset != g.OffsetOf(d.links.clusters[c].cluster)) {
            return SectorAt(offset - int64_t{kSectorBytes});
        }
        const int64_t previous = d.links.clusters[c].previous;
        return previous == 0 ? kNoSector
                             : SectorAt(g.OffsetOf(previous + 1) - int64_t{kSectorBytes});
    }

    // The long name of sector `s`'s first entry whose slots begin in the sector before it.
    std::optional<std::string> JoinedName(const Volume& v, const Directories& d,
                                          std::size_t s) const {
        const FoundFatSector& sector = sectors_[v.sectors[s]];
        const std::size_t before = SectorBefore(v, d, s);
        if (!sector.Has(FoundFatSector::kNameHead) || before == kNoSector ||
            !sectors_[before].Has(FoundFatSector::kNameTail)) {
            return std::nullopt;
        }
        const RawPiece* tail = finder_.Tails().At(sectors_[before].offset);
        const RawPiece* head = finder_.Heads().At(sector.offset);
        if (tail == nullptr || head == nullptr) {
            return std::nullopt;
        }
        const std::span<const uint8_t> end = finder_.Tails().BytesOf(*tail);
        const std::span<const uint8_t> start = finder_.Heads().BytesOf(*head);
        std::vector<uint8_t> slots(end.begin(), end.end());
        slots.insert(slots.end(), start.begin(), start.end());
        return WholeLongName(slots, slots.size() / volume::dir_entry::Size - 1);
    }

    scan::FoundFile FileOf(const ChosenGeometry& g, const FoundFatEntry& e) const {
        scan::FoundFile file;
        file.attributes = e.attributes & kReportedAttributes;
        file.modifiedTime = e.modifiedTime;
        file.createdTime = e.createdTime;
        file.accessedTime = e.accessedTime;
        file.mftOrCluster = e.firstCluster;
        file.foundBy = scan::FoundBy::Directory;
        // A file of one cluster is known whole; a longer one's chain went with the FAT.
        PlaceFile(file, g, e.firstCluster, e.size, false, scan::kPoor, current_);
        return file;
    }

    OldVolume Build(const Volume& v) const {
        const ClusterGeometry& g = v.chosen.geometry;
        Directories d = CollectClusters(v);
        LinkDirectoryClusters(d.links, Chains(v, d.links));

        OldVolume old;
        old.start =
            v.chosen.source == GeometrySource::Inferred ? g.heapStart : v.chosen.volumeStart;
        old.clusterBytes = g.clusterBytes;
        old.geometryInferred = v.chosen.source == GeometrySource::Inferred;
        old.rootKey = kRootKey;
        int64_t highest = 0;
        bool rootCluster = false;
        // A folder is named by the entry that gives its first cluster, best one in the
        // folder its ".." names.
        const std::unordered_map<uint64_t, uint64_t> parents = Parents(v, folders_, d.links);
        std::unordered_map<uint64_t, std::pair<std::string, bool>> names;
        for (std::size_t s = 0; s < v.sectors.size(); ++s) {
            const FoundFatSector& sector = sectors_[v.sectors[s]];
            const std::size_t c = d.clusterOf[s];
            const uint64_t owner = c == kNoSector ? kRootKey : d.links.clusters[c].owner;
            rootCluster = rootCluster || (c != kNoSector && owner == kRootKey);
            // The sector's first entry may take a name that began in the sector before.
            const std::optional<std::string> joined = JoinedName(v, d, s);
            for (const FoundFatEntry& e : EntriesOf(sector)) {
                highest = std::max<int64_t>(highest, e.firstCluster);
                std::string name = joined && &e == &entries_[sector.firstEntry] ? *joined : e.name;
                if (e.IsDirectory()) {
                    const auto parent = parents.find(e.firstCluster);
                    if (parent != parents.end()) {
                        const bool inParent = parent->second == owner;
                        auto [it, added] = names.try_emplace(e.firstCluster, name, inParent);
                        if (!added && inParent && !it->second.second) {
                            it->second = {std::move(name), true};
                        }
                    }
                    continue;
                }
                OldEntry file;
                file.name = std::move(name);
                file.parentKey = owner;
                file.file = FileOf(v.chosen, e);
                old.entries.push_back(std::move(file));
            }
        }
        for (const auto& [key, parent] : parents) {
            OldEntry folder;
            const auto name = names.find(key);
            folder.name = name != names.end() ? name->second.first
                                              : kMadeUpFolderPrefix + std::to_string(key);
            folder.key = key;
            folder.parentKey = parent;
            folder.isFolder = true;
            old.entries.push_back(std::move(folder));
        }
        old.kind = KindOf(v, current_, highest, rootCluster);
        NameFoldersFromScan(old);
        return old;
    }

    // Entries of no volume: their names are all that is left, under no folder.
    std::vector<OldEntry> LostFiles() const {
        std::vector<OldEntry> files;
        for (const std::size_t s : lost_) {
            for (const FoundFatEntry& e : EntriesOf(sectors_[s])) {
                if (!e.IsDirectory()) {
                    OldEntry file;
                    file.name = e.name;
                    file.file = FileOf({}, e);
                    files.push_back(std::move(file));
                }
            }
        }
        return files;
    }

    static constexpr std::size_t kNoSector = SIZE_MAX;

    const FatDirectoryFinder& finder_;
    const std::vector<FoundFatFolder>& folders_;
    const std::vector<FoundFatSector>& sectors_;
    const std::vector<FoundFatEntry>& entries_;
    const CurrentVolume& current_;
    std::vector<VouchedGeometry> vouched_;
    std::vector<Volume> volumes_;
    std::vector<std::size_t> lost_;  // sectors no volume holds
};

}  // namespace

std::vector<OldVolume> RebuildFatVolumes(const FatDirectoryFinder& finder,
                                         const std::vector<FoundBootSector>& boots,
                                         const CurrentVolume& current,
                                         std::vector<std::string>& notes) {
    return FatRebuild(finder, boots, current).Volumes(notes);
}

}  // namespace relicta::deep
