#include "deep/old_volume.h"

#include "deep/finder.h"

#include <algorithm>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace relicta::deep {
namespace {

struct FileIdentity {
    std::string_view name;
    int64_t size = 0;
    uint32_t number = 0;
    bool operator==(const FileIdentity&) const = default;
};

struct IdentityHash {
    std::size_t operator()(const FileIdentity& id) const {
        return std::hash<std::string_view>()(id.name) ^ (std::hash<int64_t>()(id.size) << 1) ^
               (std::hash<uint32_t>()(id.number) << 2);
    }
};

// The paths of one volume's folders, each made once.
class FolderPaths {
  public:
    FolderPaths(const OldVolume& volume, std::string root)
        : volume_(volume), root_(std::move(root)) {
        for (std::size_t i = 0; i < volume.entries.size(); ++i) {
            const OldEntry& e = volume.entries[i];
            if (e.isFolder && e.key != volume.rootKey) {
                folders_.emplace(e.key, i);  // the first found stands
            }
        }
    }

    // The path of the folder `key`, ending in a backslash.
    const std::string& Of(uint64_t key) {
        if (const auto known = paths_.find(key); known != paths_.end()) {
            return known->second;
        }
        // Up to a folder whose path is known, the root, or a folder whose entry is gone.
        std::vector<uint64_t> chain;
        std::unordered_set<uint64_t> seen;
        std::string base;
        uint64_t at = key;
        for (;;) {
            if (const auto known = paths_.find(at); known != paths_.end()) {
                base = known->second;
                break;
            }
            if (at == volume_.rootKey) {
                base = root_;
                break;
            }
            const auto folder = folders_.find(at);
            if (at == kNoParent) {
                base = root_ + kLostFilesFolder + '\\';
                break;
            }
            if (!seen.insert(at).second) {
                // A loop: its folders' true places are unknown; the one it closes at stands
                // for them at the top.
                chain.erase(std::find(chain.begin(), chain.end(), at), chain.end());
                base = MadeUp(at);
                break;
            }
            if (folder == folders_.end() || chain.size() >= kMaxFolderDepth) {
                base = MadeUp(at);
                break;
            }
            chain.push_back(at);
            at = volume_.entries[folder->second].parentKey;
        }
        paths_.emplace(at, base);
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            base += volume_.entries[folders_.at(*it)].name + '\\';
            paths_.emplace(*it, base);
        }
        return paths_.at(key);
    }

  private:
    std::string MadeUp(uint64_t key) const {
        return root_ + kMadeUpFolderPrefix + std::to_string(key & kKeyNumberMask) + '\\';
    }

    const OldVolume& volume_;
    std::string root_;
    std::unordered_map<uint64_t, std::size_t> folders_;
    std::unordered_map<uint64_t, std::string> paths_;
};

// With files of more than one volume listed, each volume's go below "$Volume<start sector>".
// `firstOfVolume`: where each volume's files begin in the table.
void PutVolumesApart(scan::FileListControl& listCtrl,
                     const std::vector<std::pair<std::size_t, const OldVolume*>>& firstOfVolume,
                     std::size_t rootLength) {
    const auto endOf = [&](std::size_t v) {
        return v + 1 < firstOfVolume.size() ? firstOfVolume[v + 1].first : scan::foundFiles.size();
    };
    // Pieces of one volume (an MFT found in parts) share its start: they are one volume here.
    std::set<int64_t> holding;
    for (std::size_t v = 0; v < firstOfVolume.size(); ++v) {
        if (endOf(v) > firstOfVolume[v].first) {
            holding.insert(firstOfVolume[v].second->start);
        }
    }
    if (holding.size() < 2) {
        return;
    }
    std::vector<std::size_t> moved;
    for (std::size_t v = 0; v < firstOfVolume.size(); ++v) {
        const OldVolume& volume = *firstOfVolume[v].second;
        const std::string prefix =
            kMadeUpVolumePrefix + std::to_string(volume.start / int64_t{kSectorBytes});
        const bool ntfs = std::string_view(volume.kind) == "NTFS";
        for (std::size_t i = firstOfVolume[v].first; i < endOf(v); ++i) {
            scan::SharedText& dir = scan::foundFiles[i].dir;
            // A FAT or exFAT folder has no trailing backslash, the drive's root has.
            const bool atRoot = dir.size() == rootLength;
            std::string moved = dir;
            moved.insert(rootLength, prefix + (ntfs || !atRoot ? "\\" : ""));
            dir = moved;
            moved.push_back(i);
        }
    }
    scan::RefreshCells(listCtrl, moved);
}

}  // namespace

std::size_t AddOldVolumeFiles(scan::ScanContext& context, std::vector<OldVolume>& volumes,
                              char drive, std::size_t firstItem) {
    // The table's files never move as it grows: `listed` may view their names.
    const std::size_t before = scan::foundFiles.size();
    std::unordered_set<FileIdentity, IdentityHash> listed;
    for (std::size_t i = firstItem; i < scan::foundFiles.size(); ++i) {
        const scan::FoundFile& f = scan::foundFiles[i];
        listed.insert({f.name, f.size, f.mftOrCluster});
    }
    const std::string driveRoot = std::string(1, drive) + ":\\";
    std::vector<std::pair<std::size_t, const OldVolume*>> firstOfVolume;
    for (OldVolume& volume : volumes) {
        FolderPaths paths(volume, driveRoot);
        const bool ntfs = std::string_view(volume.kind) == "NTFS";
        firstOfVolume.emplace_back(scan::foundFiles.size(), &volume);
        for (OldEntry& e : volume.entries) {
            if (e.isFolder) {
                continue;
            }
            std::string dir = paths.Of(e.parentKey);
            if (!ntfs && dir.size() > driveRoot.size()) {
                dir.pop_back();  // as the FAT and exFAT scans list a folder
            }
            if (!context.filters.Accepts(dir, e.name) ||
                listed.contains({e.name, e.file.size, e.file.mftOrCluster})) {
                continue;  // filtered, or the normal scan or another copy of the entry has it
            }
            e.file.name = std::move(e.name);
            e.file.dir = std::move(dir);
            scan::AddFoundFile(context.listCtrl, std::move(e.file));
            const scan::FoundFile& added = scan::foundFiles.back();
            listed.insert({added.name, added.size, added.mftOrCluster});
        }
        // What the volume's entries held is in the table now.
        std::vector<OldEntry>().swap(volume.entries);
    }
    PutVolumesApart(context.listCtrl, firstOfVolume, driveRoot.size());
    return scan::foundFiles.size() - before;
}

}  // namespace relicta::deep
