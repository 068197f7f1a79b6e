#pragma once
// A FAT or exFAT file whose cluster chain is gone lies, at a guess, in the clusters from its
// first on. When those fail its format's check, it may have lain in two fragments: the search
// for them gives the file that layout, to be checked and recovered like a deep scan's file.

#include <cstdint>
#include <string>

#include "scan/found_files.h"

namespace relicta::recover {

// Whether found file `itemNum` (its drive's volume open) lies at a guess and its name promises
// a format whose structure can be checked.
bool MayReassemble(uint32_t itemNum);

// Gives found file `itemNum` the two fragments its whole checks out in, when its guessed data
// does not (already known with `guessFailed`); true when its layout changed to
// scan::DataLayout::Reassembled. Its drive's volume must be open.
bool ReassembleGuessedFile(uint32_t itemNum, bool guessFailed = false);

// A content check's detail with what the file's layout adds to it: that it was reassembled.
std::string WithLayoutNote(const scan::FoundFile& file, std::string detail);

}  // namespace relicta::recover
