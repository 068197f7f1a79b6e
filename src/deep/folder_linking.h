#pragma once
// Which folder each old directory cluster belonged to, once the FAT that chained them is gone.
// A folder's first cluster is known (a FAT "." entry, an exFAT folder's entry); its later ones
// are found by allocation order as the normal scan finds a deleted folder's: the cluster right
// after, the first one past its entries' data, or one whose first file's data begins where the
// folder's left off. A run of clusters a later file took is bridged where allocation order
// leaves no doubt; what no folder claims becomes a folder of its own, named by its cluster.

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "deep/old_volume.h"
#include "scan/folder_continuation.h"

namespace relicta::deep {

// One cluster of old directory entries as the rebuild sees it.
struct DirectoryCluster {
    int64_t cluster = 0;
    // The folder it belongs to: set beforehand for a folder's first cluster (and for clusters
    // its entry records whole), by LinkDirectoryClusters for the rest.
    uint64_t owner = kNoParent;
    int64_t previous = 0;         // the cluster before it in its folder; 0: none known
    int64_t firstData = 0;        // first cluster of its first entry that has one; 0: none
    scan::AllocationTrail trail;  // where its entries' data lies, in entry order
    bool endsDirectory = false;   // its folder's entries end in it
};

// A folder whose later clusters are to be looked for.
struct FolderChain {
    uint64_t key = 0;
    int64_t firstCluster = 0;
    int64_t maxClusters = 1;  // what its entry records, or the most a folder may take
};

struct DirectoryLinks {
    std::vector<DirectoryCluster> clusters;  // sorted by cluster, each once
    std::vector<int64_t> namedClusters;      // sorted: first clusters some entry names
    // The first cluster of every entry that names one, with the cluster that holds the entry
    // and the clusters a file's data takes from it (0 for a folder): sorted by the first.
    struct DataStart {
        int64_t first = 0;
        int64_t holder = 0;
        int64_t clusters = 0;
    };
    std::vector<DataStart> dataStarts;
    int64_t defaultMaxClusters = 1;  // for a folder that only its clusters tell of
};

// Gives every cluster of `links` its owner: the folders of `chains` (deepest first: a subfolder's
// later clusters were given out before its parent's next) take their later clusters; a cluster
// none takes becomes the first of a folder whose key is its own number.
void LinkDirectoryClusters(DirectoryLinks& links, std::span<const FolderChain> chains);

// `chains` deepest first by `parents` (a folder's key to its parent's), the root's last.
void OrderDeepestFirst(std::vector<FolderChain>& chains,
                       const std::unordered_map<uint64_t, uint64_t>& parents, uint64_t rootKey);

// Whether `name` is one made up for a folder whose own entry is gone.
bool IsMadeUpFolderName(const std::string& name);

// A folder whose own entry the pass cannot read (a deleted folder named in one the drive's
// file system still uses) takes the path the normal scan listed one of its files under.
void NameFoldersFromScan(OldVolume& volume);

}  // namespace relicta::deep
