#pragma once
// The texts that take the list out of the program: the saved list, the clipboard text and
// the printed pages. All read the found-file table in the order of discovery, of every file
// or of the items a filter let through.

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "scan/found_files.h"

namespace relicta::view {

// Item numbers into the found-file table.
using ItemList = std::vector<uint32_t>;
// Every item, in the order of discovery.
ItemList AllItems();

// Directory and name joined with one backslash.
std::string FullPath(const scan::FoundFile& file);

// One line of the saved list, without its line end: name, directory, size, date,
// condition and number, tab-separated.
std::string SavedListLine(const scan::FoundFile& file);

// Every entry as a saved-list line ending in CR LF; false when the stream failed.
bool WriteSavedList(std::ostream& out, const ItemList& items = AllItems());

// The clipboard's block: paths are added while each (with its CR LF) takes at most half
// of the bytes still free, so a long list is cut at the first path that does not fit.
inline constexpr std::size_t kClipboardBlockBytes = 2'000'000;
std::string ClipboardText(const ItemList& items = AllItems(),
                          std::size_t blockBytes = kClipboardBlockBytes);

// The printout in device units of a 600 dpi page: 20 entries a page under a dated header.
inline constexpr int kEntriesPerPage = 20;
inline constexpr int kPrintWidth = 4800;  // the layout's extent, for scaling to a page
inline constexpr int kPrintHeight = 6400;

struct PrintedText {
    int x = 0;
    int y = 0;  // the top of the text
    std::string text;
};

int PrintPageCount(std::size_t entries);
// Page `page` (from 1) dated year/month/day.
std::vector<PrintedText> PrintPage(int page, int year, int month, int day,
                                   const ItemList& items = AllItems());

}  // namespace relicta::view
