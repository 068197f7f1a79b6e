#include "deep/folder_linking.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "scan/found_files.h"

namespace relicta::deep {
namespace {

constexpr std::size_t kNone = SIZE_MAX;

// Where a folder's clusters, followed so far, end.
struct ChainEnd {
    uint64_t key = 0;
    std::size_t last = kNone;
    scan::AllocationTrail trail;
    int64_t clusters = 0;
    int64_t maxClusters = 0;
    bool ended = false;

    bool Open() const { return !ended && clusters < maxClusters; }
};

class Linker {
  public:
    explicit Linker(DirectoryLinks& links) : links_(links), clusters_(links.clusters) {
        for (std::size_t i = 0; i < clusters_.size(); ++i) {
            if (clusters_[i].firstData != 0) {
                byFirstData_.emplace_back(clusters_[i].firstData, i);
            }
        }
        std::sort(byFirstData_.begin(), byFirstData_.end());
        for (std::size_t i = 0; i < links.dataStarts.size(); ++i) {
            if (links.dataStarts[i].clusters > 0) {
                byHolder_.emplace_back(links.dataStarts[i].holder, i);
            }
        }
        std::sort(byHolder_.begin(), byHolder_.end());
        // Every folder's first cluster is read before any is continued, as the normal scan does.
        for (const DirectoryCluster& c : clusters_) {
            if (c.owner != kNoParent) {
                KnowDataOf(c.cluster);
            }
        }
    }

    void FollowChains(std::span<const FolderChain> chains) {
        for (const FolderChain& chain : chains) {
            const std::size_t first = IndexOf(chain.firstCluster);
            if (first != kNone && clusters_[first].owner == chain.key) {
                Keep(Follow(chain.key, first, clusters_[first].trail, 1, chain.maxClusters));
            }
        }
    }

    // Clusters no folder took: each continues an open folder where allocation order says so
    // beyond doubt, else begins a folder of its own.
    void TakeTheRest() {
        for (std::size_t i = 0; i < clusters_.size(); ++i) {
            if (clusters_[i].owner != kNoParent) {
                continue;
            }
            const auto open = Bridged(i);
            if (open == openEnds_.end()) {
                // Nothing tells how long a folder known only from its clusters was: no
                // gap after it is bridged.
                const uint64_t key = static_cast<uint64_t>(clusters_[i].cluster);
                Claim(i, key, kNone);
                Follow(key, i, clusters_[i].trail, 1, links_.defaultMaxClusters);
                continue;
            }
            ChainEnd end = open->second;
            openEnds_.erase(open);
            // What lay between is gone: no name runs on from the cluster before the gap.
            Claim(i, end.key, kNone);
            end.trail.Follow(clusters_[i].trail);
            Keep(Follow(end.key, i, end.trail, end.clusters + 1, end.maxClusters));
        }
    }

  private:
    std::size_t IndexOf(int64_t cluster) const {
        const auto it = std::lower_bound(
            clusters_.begin(), clusters_.end(), cluster,
            [](const DirectoryCluster& c, int64_t value) { return c.cluster < value; });
        return it != clusters_.end() && it->cluster == cluster
                   ? static_cast<std::size_t>(it - clusters_.begin())
                   : kNone;
    }

    bool Named(int64_t cluster) const {
        return std::binary_search(links_.namedClusters.begin(), links_.namedClusters.end(),
                                  cluster);
    }

    // Free to be a folder's next cluster: no folder has it, and no entry names it as its first.
    bool Usable(std::size_t i) const {
        return i != kNone && clusters_[i].owner == kNoParent && !Named(clusters_[i].cluster);
    }

    // Its entries' data was given out after the data of the folder's entries so far.
    bool InOrder(std::size_t i, const scan::AllocationTrail& trail) const {
        const int64_t first = clusters_[i].firstData;
        return first == 0 || trail.lastDataStart == 0 || first > trail.lastDataStart;
    }

    // Its files' data is known from now on, as the normal scan knows the data of the files
    // it has walked: a folder's next cluster lies past it.
    void Claim(std::size_t i, uint64_t key, std::size_t previous) {
        clusters_[i].owner = key;
        clusters_[i].previous = previous == kNone ? 0 : clusters_[previous].cluster;
        KnowDataOf(clusters_[i].cluster);
    }

    void KnowDataOf(int64_t cluster) {
        for (auto it = std::lower_bound(byHolder_.begin(), byHolder_.end(),
                                        std::pair<int64_t, std::size_t>{cluster, 0});
             it != byHolder_.end() && it->first == cluster; ++it) {
            const DirectoryLinks::DataStart& d = links_.dataStarts[it->second];
            knownData_.Add(d.first, d.first + d.clusters);
        }
    }

    void Keep(ChainEnd end) {
        if (end.Open()) {
            const int64_t last = clusters_[end.last].cluster;
            openEnds_.insert_or_assign(last, end);
        }
    }

    ChainEnd Follow(uint64_t key, std::size_t at, scan::AllocationTrail trail, int64_t clusters,
                    int64_t maxClusters) {
        while (!clusters_[at].endsDirectory && clusters < maxClusters) {
            const std::size_t next = Next(at, trail);
            if (next == kNone) {
                break;
            }
            Claim(next, key, at);
            trail.Follow(clusters_[next].trail);
            at = next;
            ++clusters;
        }
        return {key, at, trail, clusters, maxClusters, clusters_[at].endsDirectory};
    }

    // The folder's cluster after `at`: the one right after it, the first past its entries'
    // data, or the only one whose first file's data begins where the folder's left off.
    std::size_t Next(std::size_t at, const scan::AllocationTrail& trail) {
        const int64_t dataEnd = trail.dataEnd;
        const std::array<int64_t, 3> candidates = {clusters_[at].cluster + 1, dataEnd,
                                                   dataEnd != 0 ? knownData_.After(dataEnd) : 0};
        for (const int64_t candidate : candidates) {
            const std::size_t i = candidate != 0 ? IndexOf(candidate) : kNone;
            if (Usable(i) && InOrder(i, trail)) {
                return i;
            }
        }
        return dataEnd != 0 ? OnlyContinuing(knownData_.After(dataEnd)) : kNone;
    }

    // The one usable cluster whose first file's data begins at `expected`, or that lies at
    // `expected` itself with its first file's data right after it; none when two qualify.
    std::size_t OnlyContinuing(int64_t expected) {
        std::size_t found = kNone;
        const auto from = std::lower_bound(byFirstData_.begin(), byFirstData_.end(),
                                           std::pair<int64_t, std::size_t>{expected, 0});
        for (auto it = from; it != byFirstData_.end() && it->first == expected; ++it) {
            if (Usable(it->second)) {
                if (found != kNone) {
                    return kNone;
                }
                found = it->second;
            }
        }
        const std::size_t self = IndexOf(expected);
        if (Usable(self) && self != found &&
            clusters_[self].firstData == knownData_.After(expected + 1)) {
            return found == kNone ? self : kNone;
        }
        return found;
    }

    // The open folder that cluster `i` continues past a gap: the one whose last cluster holds
    // the entry given the data right before `i`'s first file's (so that nothing found was
    // given out between), when `i` lies past that cluster.
    std::unordered_map<int64_t, ChainEnd>::iterator Bridged(std::size_t i) {
        const int64_t first = clusters_[i].firstData;
        const auto after = std::lower_bound(
            links_.dataStarts.begin(), links_.dataStarts.end(), first,
            [](const DirectoryLinks::DataStart& d, int64_t value) { return d.first < value; });
        if (first == 0 || after == links_.dataStarts.begin()) {
            return openEnds_.end();
        }
        const DirectoryLinks::DataStart& before = *std::prev(after);
        const auto open = openEnds_.find(before.holder);
        if (open == openEnds_.end() || open->second.trail.lastDataStart != before.first ||
            before.holder >= clusters_[i].cluster) {
            return openEnds_.end();
        }
        return open;
    }

    DirectoryLinks& links_;
    std::vector<DirectoryCluster>& clusters_;
    std::vector<std::pair<int64_t, std::size_t>> byFirstData_;
    std::vector<std::pair<int64_t, std::size_t>> byHolder_;  // files' data starts, by holder
    scan::KnownData knownData_;  // data of the files in the clusters linked so far
    std::unordered_map<int64_t, ChainEnd> openEnds_;  // by their last cluster
};

// A file as the normal scan lists it.
struct ListedFile {
    uint32_t cluster = 0;
    int64_t size = 0;
    std::string_view name;
    bool operator==(const ListedFile&) const = default;
};

struct ListedFileHash {
    std::size_t operator()(const ListedFile& f) const {
        return std::hash<std::string_view>()(f.name) ^ (std::hash<int64_t>()(f.size) << 1) ^
               (std::hash<uint32_t>()(f.cluster) << 2);
    }
};

// "X:\A\B" (or "X:\A\B\") as "A\B": the folder's path below its drive's root.
std::string BelowRoot(std::string_view dir) {
    constexpr std::string_view kRoot = ":\\";
    if (dir.size() < 1 + kRoot.size() || dir.compare(1, kRoot.size(), kRoot) != 0) {
        return {};
    }
    std::string path(dir.substr(1 + kRoot.size()));
    while (!path.empty() && path.back() == '\\') {
        path.pop_back();
    }
    return path;
}

}  // namespace

void OrderDeepestFirst(std::vector<FolderChain>& chains,
                       const std::unordered_map<uint64_t, uint64_t>& parents, uint64_t rootKey) {
    // Each folder's depth once: the path up to a known depth, the root or the limit is
    // walked, then every folder on it gets its own.
    std::unordered_map<uint64_t, int> depths{{rootKey, -1}};
    const auto depth = [&](uint64_t key) {
        std::vector<uint64_t> path;
        int above = 0;
        for (uint64_t at = key;;) {
            if (const auto known = depths.find(at); known != depths.end()) {
                above = known->second + 1;
                break;
            }
            const auto up = parents.find(at);
            if (up == parents.end() || path.size() >= static_cast<std::size_t>(kMaxFolderDepth)) {
                break;
            }
            path.push_back(at);
            at = up->second;
        }
        for (auto it = path.rbegin(); it != path.rend(); ++it) {
            depths.emplace(*it, above++);
        }
        return depths.contains(key) ? depths.at(key) : 0;
    };
    std::vector<std::pair<int, FolderChain>> byDepth;
    byDepth.reserve(chains.size());
    for (const FolderChain& chain : chains) {
        byDepth.emplace_back(depth(chain.key), chain);
    }
    std::stable_sort(byDepth.begin(), byDepth.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    for (std::size_t i = 0; i < chains.size(); ++i) {
        chains[i] = byDepth[i].second;
    }
}

bool IsMadeUpFolderName(const std::string& name) {
    return name.starts_with(kMadeUpFolderPrefix);
}

void NameFoldersFromScan(OldVolume& volume) {
    std::unordered_map<uint64_t, std::size_t> folders;
    for (std::size_t i = 0; i < volume.entries.size(); ++i) {
        if (volume.entries[i].isFolder) {
            folders.emplace(volume.entries[i].key, i);
        }
    }
    const auto unnamed = [&](uint64_t key) {
        if (key == volume.rootKey || key == kNoParent) {
            return false;
        }
        const auto it = folders.find(key);
        return it == folders.end() || IsMadeUpFolderName(volume.entries[it->second].name);
    };
    std::unordered_map<ListedFile, const scan::Text*, ListedFileHash> listed;
    for (const scan::FoundFile& f : scan::foundFiles) {
        if (f.Deep() == nullptr) {
            listed.emplace(ListedFile{f.mftOrCluster, f.size, f.name}, &f.dir);
        }
    }
    std::unordered_map<uint64_t, std::string> paths;
    for (const OldEntry& e : volume.entries) {
        if (e.isFolder || listed.empty() || !unnamed(e.parentKey) || paths.contains(e.parentKey)) {
            continue;
        }
        const auto it = listed.find({e.file.mftOrCluster, e.file.size, e.name});
        if (it != listed.end()) {
            if (std::string path = BelowRoot(*it->second); !path.empty()) {
                paths.emplace(e.parentKey, std::move(path));
            }
        }
    }
    for (auto& [key, path] : paths) {
        const auto it = folders.find(key);
        if (it == folders.end()) {
            OldEntry folder;
            folder.key = key;
            folder.isFolder = true;
            volume.entries.push_back(std::move(folder));
        }
        OldEntry& folder = it == folders.end() ? volume.entries.back() : volume.entries[it->second];
        folder.name = std::move(path);
        folder.parentKey = volume.rootKey;
    }
}

void LinkDirectoryClusters(DirectoryLinks& links, std::span<const FolderChain> chains) {
    Linker linker(links);
    linker.FollowChains(chains);
    linker.TakeTheRest();
}

}  // namespace relicta::deep
