#include "view/folder_tree.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "scan/found_files.h"

namespace relicta::view {
namespace {

constexpr char kSeparator = '\\';

class TreeBuilder {
  public:
    TreeBuilder() { tree_.nodes.push_back({}); }

    // Counts `files` in `dir` and in every folder above it.
    void Add(std::string_view dir, uint32_t files) {
        while (!dir.empty() && dir.back() == kSeparator) {
            dir.remove_suffix(1);
        }
        std::size_t node = 0;
        tree_.nodes[node].files += files;
        for (std::size_t start = 0; start <= dir.size();) {
            std::size_t end = dir.find(kSeparator, start);
            if (end == std::string_view::npos) {
                end = dir.size();
            }
            if (end > start) {
                node = Child(node, dir.substr(0, end), dir.substr(start, end - start));
                tree_.nodes[node].files += files;
            }
            start = end + 1;
        }
    }

    FolderTree Take() {
        for (FolderNode& node : tree_.nodes) {
            std::sort(node.children.begin(), node.children.end(),
                      [this](std::size_t a, std::size_t b) {
                          return tree_.nodes[a].name < tree_.nodes[b].name;
                      });
        }
        return std::move(tree_);
    }

  private:
    std::size_t Child(std::size_t parent, std::string_view path, std::string_view name) {
        const auto [it, added] = byPath_.try_emplace(std::string(path), tree_.nodes.size());
        if (added) {
            tree_.nodes.push_back({std::string(name), std::string(path), 0, {}});
            tree_.nodes[parent].children.push_back(it->second);
        }
        return it->second;
    }

    FolderTree tree_;
    std::unordered_map<std::string, std::size_t> byPath_;
};

}  // namespace

FolderTree BuildFolderTree(const ItemList& items) {
    // Files by folder first: a million files lie in far fewer folders, each path shared by
    // its files.
    std::unordered_map<uintptr_t, std::pair<std::string_view, uint32_t>> filesIn;
    for (uint32_t item : items) {
        if (item < scan::foundFiles.size()) {
            const scan::SharedText& dir = scan::foundFiles[item].dir;
            auto& [path, files] = filesIn[dir.Identity()];
            path = dir;
            ++files;
        }
    }
    TreeBuilder builder;
    for (const auto& [identity, folder] : filesIn) {
        builder.Add(folder.first, folder.second);
    }
    return builder.Take();
}

}  // namespace relicta::view
