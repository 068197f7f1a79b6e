#pragma once
// The texts that take the list out of the program: full paths and saved-list lines.

#include <string>

#include "scan/found_files.h"

namespace relicta::view {

// Directory and name joined with one backslash.
std::string FullPath(const scan::FoundFile& file);

// One line of the saved list, without its line end: name, directory, size, date,
// condition and number, tab-separated.
std::string SavedListLine(const scan::FoundFile& file);

}  // namespace relicta::view
