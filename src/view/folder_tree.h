#pragma once
// The old folders of a scan's files as a tree: each folder with the count of listed files in
// it and below it, for the desktop program's folder view.

#include <cstdint>
#include <string>
#include <vector>

#include "view/saved_list.h"

namespace relicta::view {

struct FolderNode {
    std::string name;                   // "PHOTOS"; a drive's root is "C:"
    std::string path;                   // "C:\PHOTOS", as the files' folders are written
    uint32_t files = 0;                 // in this folder and below it
    std::vector<std::size_t> children;  // into FolderTree::nodes, by name
};

struct FolderTree {
    std::vector<FolderNode> nodes;  // nodes[0] is the tree's root, above the drives
};

// The folders of `items` (of the found-file table).
FolderTree BuildFolderTree(const ItemList& items);

}  // namespace relicta::view
