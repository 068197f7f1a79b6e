#include "deep/old_volume.h"

#include "deep/finder.h"

#include <algorithm>
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

bool HoldsFiles(const OldVolume& volume) {
    for (const OldEntry& e : volume.entries) {
        if (!e.isFolder) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::size_t AddOldVolumeFiles(scan::ScanContext& context, std::vector<OldVolume>& volumes,
                              char drive, std::size_t firstItem) {
    std::unordered_set<FileIdentity, IdentityHash> listed;
    for (std::size_t i = firstItem; i < scan::foundFiles.size(); ++i) {
        const scan::FoundFile& f = scan::foundFiles[i];
        listed.insert({f.name, f.size, f.mftOrCluster});
    }
    std::size_t withFiles = 0;
    for (const OldVolume& v : volumes) {
        withFiles += HoldsFiles(v) ? 1 : 0;
    }
    const std::string driveRoot = std::string(1, drive) + ":\\";
    std::size_t added = 0;
    std::vector<scan::FoundFile> accepted;
    for (OldVolume& volume : volumes) {
        if (!HoldsFiles(volume)) {
            continue;
        }
        std::string root = driveRoot;
        if (withFiles > 1) {
            root +=
                kMadeUpVolumePrefix + std::to_string(volume.start / int64_t{kSectorBytes}) + '\\';
        }
        FolderPaths paths(volume, root);
        const bool ntfs = std::string_view(volume.kind) == "NTFS";
        for (OldEntry& e : volume.entries) {
            if (e.isFolder) {
                continue;
            }
            std::string dir = paths.Of(e.parentKey);
            if (!ntfs && dir.size() > driveRoot.size()) {
                dir.pop_back();  // as the FAT and exFAT scans list a folder
            }
            if (!context.filters.Accepts(dir, e.name)) {
                continue;
            }
            if (!listed.insert({e.name, e.file.size, e.file.mftOrCluster}).second) {
                continue;  // the normal scan, or another copy of the same entry, has it
            }
            e.file.name = e.name;
            e.file.dir = std::move(dir);
            accepted.push_back(std::move(e.file));
        }
    }
    scan::ReserveFoundFiles(accepted.size());
    for (scan::FoundFile& f : accepted) {
        scan::AddFoundFile(context.listCtrl, std::move(f));
        ++added;
    }
    return added;
}

}  // namespace relicta::deep
