#pragma once
// The list as The Sleuth Kit's bodyfile, for `mactime -b` to build a timeline from:
// MD5|name|inode|mode|UID|GID|size|atime|mtime|ctime|crtime, Unix seconds.

#include <ostream>
#include <string>

#include "scan/found_files.h"
#include "view/saved_list.h"

namespace relicta::view {

// One line without its line end: the full path with " (deleted)", the record or first
// cluster as the inode, MD5 0 unless a check read the whole data.
std::string BodyfileLine(const scan::FoundFile& file);

// Every entry of `items`, one line each; false when the stream failed.
bool WriteBodyfile(std::ostream& out, const ItemList& items = AllItems());

}  // namespace relicta::view
