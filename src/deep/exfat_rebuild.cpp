#include "deep/exfat_rebuild.h"

#include <algorithm>
#include <iterator>
#include <unordered_map>

#include "deep/cluster_geometry.h"
#include "deep/folder_linking.h"
#include "volume/exfat_layout.h"
#include "volume/filetime.h"

namespace relicta::deep {
namespace {

constexpr uint64_t kRootKey = 0;
constexpr uint16_t kReportedAttributes = 0x27;                // read-only, hidden, system, archive
constexpr uint64_t kMaxDirectoryBytes = uint64_t{256} << 20;  // the largest exFAT allows
// Where cluster 2 may lie is found by pairing sampled folders with sectors that begin sets:
// about this many pairs per cluster size, from this many folders.
constexpr std::size_t kPairsPerSize = std::size_t{4} << 20;
constexpr std::size_t kMinSampled = 4;
constexpr std::size_t kMaxSampled = 64;
constexpr std::size_t kPlacesPerSize = 3;
// The share of folders (in tenths) whose lengths a cluster size must divide.
constexpr std::size_t kDividesTenths = 9;
constexpr std::size_t kNone = SIZE_MAX;
constexpr std::size_t kEntryBytes = volume::exfat_entry::Size;
constexpr std::size_t kMaxSetBytes = (volume::exfat_entry::MaxSecondaryCount + 1) * kEntryBytes;

int64_t SectorOf(int64_t offset) {
    return offset / static_cast<int64_t>(kSectorBytes);
}

// One old volume: its geometry, the folder entries that voted for it, and the sets it holds
// (in the finder's Sets(), by offset).
struct Volume : ChosenVolume {
    std::vector<std::size_t> sets;
};

uint64_t FileTimeOf(uint32_t timestamp) {
    return timestamp == 0 ? 0
                          : volume::FileTimeFromDos(static_cast<uint16_t>(timestamp >> 16),
                                                    static_cast<uint16_t>(timestamp));
}

class ExFatRebuild {
  public:
    ExFatRebuild(const ExFatEntrySetFinder& finder, const std::vector<FoundBootSector>& boots,
                 const CurrentVolume& current)
        : finder_(finder),
          sets_(finder.Sets()),
          rootMarks_(finder.RootMarks()),
          current_(current),
          vouched_(VouchedGeometries(boots, BootKind::ExFat, current, CurrentKind::ExFat)) {
        for (std::size_t i = 0; i < sets_.size(); ++i) {
            const FoundExFatSet& s = sets_[i];
            setSectors_.push_back(SectorOf(s.offset));
            if (s.offset % static_cast<int64_t>(kSectorBytes) == 0) {
                leading_.push_back(SectorOf(s.offset));
            }
            if (s.IsDirectory() && s.firstCluster >= kFirstCluster) {
                folders_.push_back(i);
            }
        }
        for (std::vector<int64_t>* v : {&setSectors_, &leading_}) {
            std::sort(v->begin(), v->end());
            v->erase(std::unique(v->begin(), v->end()), v->end());
        }
    }

    std::vector<OldVolume> Volumes(std::vector<std::string>& notes) {
        ChooseVolumes();
        std::vector<OldVolume> built;
        std::vector<ChosenGeometry> geometries;
        for (const Volume& v : volumes_) {
            built.push_back(Build(v));
            geometries.push_back(v.chosen);
        }
        std::vector<OldEntry> lost;
        for (const std::size_t i : lost_) {
            if (!sets_[i].IsDirectory()) {
                lost.push_back(FileEntry({}, sets_[i], kNoParent));
            }
        }
        return KeepVolumes(std::move(built), geometries, std::move(lost), "exFAT", notes);
    }

  private:
    // Whether sets begin in the sector where cluster `cluster` would begin.
    bool HoldsSets(const ClusterGeometry& g, int64_t cluster) const {
        const int64_t offset = g.OffsetOf(cluster);
        return offset >= 0 && offset < current_.length &&
               std::binary_search(setSectors_.begin(), setSectors_.end(), SectorOf(offset));
    }

    std::size_t Fits(const ClusterGeometry& g, const std::vector<std::size_t>& folders) const {
        return static_cast<std::size_t>(
            std::count_if(folders.begin(), folders.end(),
                          [&](std::size_t f) { return HoldsSets(g, sets_[f].firstCluster); }));
    }

    // A folder's length is whole clusters: the largest size that divides nearly all of them,
    // and half of it; and the sizes vouched for.
    std::vector<uint32_t> ClusterSizes(const std::vector<std::size_t>& folders) const {
        uint32_t largest = 0;
        for (uint32_t bytes = kMinClusterBytes; bytes <= kMaxExFatClusterBytes; bytes *= 2) {
            const auto divides = std::count_if(folders.begin(), folders.end(), [&](std::size_t f) {
                return sets_[f].dataLength >= bytes && sets_[f].dataLength % bytes == 0;
            });
            if (static_cast<std::size_t>(divides) * 10 >= folders.size() * kDividesTenths) {
                largest = bytes;
            }
        }
        std::vector<uint32_t> sizes;
        if (largest != 0) {
            sizes.push_back(largest);
            if (largest / 2 >= kMinClusterBytes) {
                sizes.push_back(largest / 2);
            }
        }
        for (const VouchedGeometry& v : vouched_) {
            if (std::find(sizes.begin(), sizes.end(), v.geometry.clusterBytes) == sizes.end()) {
                sizes.push_back(v.geometry.clusterBytes);
            }
        }
        return sizes;
    }

    // Where cluster 2 may lie for clusters of `bytes`: each sampled folder's first cluster
    // paired with every sector a set begins at says a place; the places said most.
    std::vector<int64_t> Places(uint32_t bytes, const std::vector<std::size_t>& folders) const {
        const std::size_t sampled = std::min(
            folders.size(), std::clamp(kPairsPerSize / std::max<std::size_t>(1, leading_.size()),
                                       kMinSampled, kMaxSampled));
        std::unordered_map<int64_t, std::size_t> said;
        for (std::size_t k = 0; k < sampled; ++k) {
            const FoundExFatSet& folder = sets_[folders[k * folders.size() / sampled]];
            const int64_t before = (int64_t{folder.firstCluster} - kFirstCluster) * int64_t{bytes};
            const auto from = std::lower_bound(leading_.begin(), leading_.end(),
                                               before / static_cast<int64_t>(kSectorBytes));
            for (auto it = from; it != leading_.end(); ++it) {
                ++said[*it * static_cast<int64_t>(kSectorBytes) - before];
            }
        }
        std::vector<std::pair<std::size_t, int64_t>> ranked;
        for (const auto& [place, count] : said) {
            if (count >= 2 || sampled == 1) {
                ranked.emplace_back(count, place);
            }
        }
        const std::size_t kept = std::min(kPlacesPerSize, ranked.size());
        std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(kept),
                          ranked.end(), std::greater<>());
        std::vector<int64_t> places;
        for (std::size_t i = 0; i < kept; ++i) {
            places.push_back(ranked[i].second);
        }
        return places;
    }

    // A folder's entry says where its first cluster's sets lie: the geometry that puts most
    // of them where sets were found is a volume's. Each set then goes to the volume it lies in.
    void ChooseVolumes() {
        GeometryVoting voting;
        voting.voters = folders_.size();
        voting.scores = [this](const std::vector<std::size_t>& voters) {
            std::vector<std::size_t> folders;
            folders.reserve(voters.size());
            for (const std::size_t i : voters) {
                folders.push_back(folders_[i]);
            }
            std::vector<GeometryScore> scores;
            for (const uint32_t bytes : ClusterSizes(folders)) {
                for (const int64_t place : Places(bytes, folders)) {
                    const ClusterGeometry g{bytes, place};
                    scores.push_back({g, Fits(g, folders)});
                }
            }
            for (const VouchedGeometry& v : vouched_) {
                scores.push_back({v.geometry, Fits(v.geometry, folders)});
            }
            return scores;
        };
        voting.fits = [this](const ClusterGeometry& g, std::size_t i) {
            return HoldsSets(g, sets_[folders_[i]].firstCluster);
        };
        voting.anyFound = !sets_.empty();
        for (ChosenVolume& v : deep::ChooseVolumes(voting, vouched_, current_.length)) {
            volumes_.push_back({std::move(v), {}});
        }
        std::vector<int64_t> offsets;
        for (const FoundExFatSet& s : sets_) {
            offsets.push_back(s.offset);
        }
        const std::vector<ChosenVolume> chosen(volumes_.begin(), volumes_.end());
        Assignment assignment = AssignToVolumes(offsets, chosen, [this](std::size_t folder) {
            return int64_t{sets_[folders_[folder]].firstCluster};
        });
        for (std::size_t v = 0; v < volumes_.size(); ++v) {
            volumes_[v].sets = std::move(assignment.held[v]);
        }
        lost_ = std::move(assignment.lost);
    }

    static std::size_t ClusterIndex(const DirectoryLinks& links, int64_t cluster) {
        const auto it = std::lower_bound(
            links.clusters.begin(), links.clusters.end(), cluster,
            [](const DirectoryCluster& c, int64_t value) { return c.cluster < value; });
        return it != links.clusters.end() && it->cluster == cluster
                   ? static_cast<std::size_t>(it - links.clusters.begin())
                   : kNone;
    }

    // The volume's directory clusters with what their sets name and where their files' data
    // lies; `clusterOf` gets each set's cluster in them.
    DirectoryLinks CollectClusters(const Volume& v, std::vector<std::size_t>& clusterOf) const {
        const ClusterGeometry& g = v.chosen.geometry;
        DirectoryLinks links;
        links.defaultMaxClusters =
            std::max<int64_t>(1, static_cast<int64_t>(g.ClustersFor(kMaxDirectoryBytes)));
        for (const std::size_t i : v.sets) {
            const FoundExFatSet& s = sets_[i];
            const int64_t cluster = g.ClusterAt(s.offset);
            if (cluster < kFirstCluster) {
                clusterOf.push_back(kNone);
                continue;
            }
            if (links.clusters.empty() || links.clusters.back().cluster != cluster) {
                DirectoryCluster c;
                c.cluster = cluster;
                links.clusters.push_back(c);
            }
            clusterOf.push_back(links.clusters.size() - 1);
            // An end mark right after a set that ends before its cluster does: the folder
            // ends there (past the cluster's end the next one on the drive may be anyone's).
            const int64_t setEnd = s.offset + int64_t{s.entries} * int64_t{kEntryBytes};
            links.clusters.back().endsDirectory |=
                s.endsDirectory && setEnd < g.OffsetOf(cluster + 1);
            const int64_t first = s.firstCluster;
            if (first < kFirstCluster) {
                continue;
            }
            links.namedClusters.push_back(first);
            if (!s.IsDirectory() && s.dataLength > 0) {
                DirectoryCluster& c = links.clusters.back();
                const int64_t clusters = static_cast<int64_t>(
                    std::min<uint64_t>(g.ClustersFor(s.dataLength), INT64_MAX / 2));
                c.firstData = c.firstData == 0 ? first : c.firstData;
                c.trail.Note(first, clusters);
                links.dataStarts.push_back({first, cluster, clusters});
            }
        }
        std::sort(links.namedClusters.begin(), links.namedClusters.end());
        std::sort(links.dataStarts.begin(), links.dataStarts.end(),
                  [](const DirectoryLinks::DataStart& a, const DirectoryLinks::DataStart& b) {
                      return a.first < b.first;
                  });
        return links;
    }

    // Each folder's first cluster is its own, and so is the run its entry records whole; the
    // root's first cluster holds its bitmap's entry. Returns the folders whose later clusters
    // are to be looked for, and each folder's parent.
    std::vector<FolderChain> OwnClusters(const Volume& v, DirectoryLinks& links,
                                         const std::vector<std::size_t>& clusterOf,
                                         std::unordered_map<uint64_t, uint64_t>& parents) const {
        const ClusterGeometry& g = v.chosen.geometry;
        std::vector<FolderChain> chains;
        for (std::size_t k = 0; k < v.sets.size(); ++k) {
            const FoundExFatSet& s = sets_[v.sets[k]];
            if (!s.IsDirectory() || s.firstCluster < kFirstCluster) {
                continue;
            }
            const uint64_t key = s.firstCluster;
            const int64_t clusters = std::clamp<int64_t>(
                static_cast<int64_t>(std::min<uint64_t>(g.ClustersFor(s.dataLength), INT64_MAX)), 1,
                links.defaultMaxClusters);
            if (clusterOf[k] != kNone) {
                parents.emplace(key, links.clusters[clusterOf[k]].owner);
            }
            // A run its entry records whole is the folder's, found from its first or not.
            auto it = std::lower_bound(
                links.clusters.begin(), links.clusters.end(), s.firstCluster,
                [](const DirectoryCluster& c, int64_t value) { return c.cluster < value; });
            const int64_t end = s.noFatChain ? s.firstCluster + clusters : s.firstCluster + 1;
            for (; it != links.clusters.end() && it->cluster < end; ++it) {
                if (it->owner == kNoParent) {
                    it->owner = key;
                    it->previous = it->cluster == s.firstCluster ? 0 : it->cluster - 1;
                }
            }
            if (!s.noFatChain) {
                chains.push_back({key, s.firstCluster, clusters});
            }
        }
        for (const int64_t mark : rootMarks_) {
            const std::size_t at = ClusterIndex(links, g.ClusterAt(mark));
            if (at != kNone && links.clusters[at].owner == kNoParent) {
                links.clusters[at].owner = kRootKey;
                chains.push_back({kRootKey, links.clusters[at].cluster, links.defaultMaxClusters});
            }
        }
        OrderDeepestFirst(chains, parents, kRootKey);
        return chains;
    }

    scan::FoundFile FileOf(const ChosenGeometry& g, const FoundExFatSet& s) const {
        scan::FoundFile file;
        file.attributes = s.attributes & kReportedAttributes;
        file.modifiedTime = s.modifiedTime;
        file.createdTime = FileTimeOf(s.createdTimestamp);
        file.accessedTime = FileTimeOf(s.accessedTimestamp);
        if (s.hasUtcOffset) {
            file.utcOffsetMinutes = s.utcOffsetMinutes;
        }
        if (s.validDataLength < s.dataLength) {
            file.SetValidLength(
                static_cast<int64_t>(std::min<uint64_t>(s.validDataLength, INT64_MAX)));
        }
        file.mftOrCluster = s.firstCluster;
        file.foundBy = scan::FoundBy::Directory;
        // A run recorded whole is known; a chain the format erased is a guess.
        PlaceFile(file, g, s.firstCluster, s.dataLength, s.noFatChain, scan::kGood, current_);
        return file;
    }

    OldEntry FileEntry(const ChosenGeometry& g, const FoundExFatSet& s, uint64_t parent) const {
        OldEntry e;
        e.name = s.name;
        e.parentKey = parent;
        e.file = FileOf(g, s);
        return e;
    }

    // Sets whose cluster's end cut them off, read on in their folder's next cluster where
    // that lies elsewhere; each with the cluster that holds its File entry.
    std::vector<std::pair<FoundExFatSet, std::size_t>> JoinedSets(
        const ClusterGeometry& g, const DirectoryLinks& links) const {
        std::vector<std::pair<FoundExFatSet, std::size_t>> joined;
        for (const DirectoryCluster& c : links.clusters) {
            if (c.previous == 0 || c.previous + 1 == c.cluster) {
                continue;
            }
            const int64_t end = g.OffsetOf(c.previous + 1);
            const RawPiece* cut = finder_.Cuts().LastIn(end - int64_t{kMaxSetBytes}, end);
            const RawPiece* head = finder_.Heads().At(g.OffsetOf(c.cluster));
            if (cut == nullptr || head == nullptr || cut->offset + int64_t{cut->bytes} < end) {
                continue;
            }
            const std::span<const uint8_t> before =
                finder_.Cuts().BytesOf(*cut).first(static_cast<std::size_t>(end - cut->offset));
            std::vector<uint8_t> bytes(before.begin(), before.end());
            const std::span<const uint8_t> after = finder_.Heads().BytesOf(*head);
            bytes.insert(bytes.end(), after.begin(), after.end());
            if (std::optional<FoundExFatSet> set = ReadFoundExFatSet(bytes, cut->offset)) {
                joined.emplace_back(std::move(*set), ClusterIndex(links, c.previous));
            }
        }
        return joined;
    }

    OldVolume Build(const Volume& v) const {
        const ClusterGeometry& g = v.chosen.geometry;
        std::vector<std::size_t> clusterOf;
        DirectoryLinks links = CollectClusters(v, clusterOf);
        std::unordered_map<uint64_t, uint64_t> parents;
        const std::vector<FolderChain> chains = OwnClusters(v, links, clusterOf, parents);
        LinkDirectoryClusters(links, chains);

        OldVolume old;
        old.kind = "exFAT";
        old.start =
            v.chosen.source == GeometrySource::Inferred ? g.heapStart : v.chosen.volumeStart;
        old.clusterBytes = g.clusterBytes;
        old.geometryInferred = v.chosen.source == GeometrySource::Inferred;
        old.rootKey = kRootKey;
        // A folder is named by its entry; a live one stands before deleted ones.
        std::unordered_map<uint64_t, std::pair<std::size_t, bool>> folders;  // entry, live
        const auto add = [&](const FoundExFatSet& s, std::size_t cluster) {
            const uint64_t parent = cluster == kNone ? kNoParent : links.clusters[cluster].owner;
            if (!s.IsDirectory()) {
                old.entries.push_back(FileEntry(v.chosen, s, parent));
                return;
            }
            if (s.firstCluster < kFirstCluster) {
                return;
            }
            const auto [it, added] =
                folders.try_emplace(s.firstCluster, old.entries.size(), !s.deleted);
            if (added) {
                old.entries.emplace_back();
            } else if (s.deleted || it->second.second) {
                return;
            }
            it->second.second = !s.deleted;
            OldEntry& folder = old.entries[it->second.first];
            folder.name = s.name;
            folder.key = s.firstCluster;
            folder.parentKey = parent;
            folder.isFolder = true;
        };
        for (std::size_t k = 0; k < v.sets.size(); ++k) {
            add(sets_[v.sets[k]], clusterOf[k]);
        }
        for (const auto& [set, cluster] : JoinedSets(g, links)) {
            add(set, cluster);
        }
        NameFoldersFromScan(old);
        return old;
    }

    const ExFatEntrySetFinder& finder_;
    const std::vector<FoundExFatSet>& sets_;
    const std::vector<int64_t>& rootMarks_;
    const CurrentVolume& current_;
    std::vector<VouchedGeometry> vouched_;
    std::vector<std::size_t> folders_;  // sets of folders that name a first cluster
    std::vector<int64_t> setSectors_;   // sectors sets begin in, sorted
    std::vector<int64_t> leading_;      // sectors whose first slot begins a set, sorted
    std::vector<Volume> volumes_;
    std::vector<std::size_t> lost_;  // sets no volume holds
};

}  // namespace

std::vector<OldVolume> RebuildExFatVolumes(const ExFatEntrySetFinder& finder,
                                           const std::vector<FoundBootSector>& boots,
                                           const CurrentVolume& current,
                                           std::vector<std::string>& notes) {
    return ExFatRebuild(finder, boots, current).Volumes(notes);
}

}  // namespace relicta::deep
