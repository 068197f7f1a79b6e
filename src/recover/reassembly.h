#pragma once
// A FAT or exFAT file whose cluster chain is gone lies, at a guess, in the clusters from its
// first on. When those fail its format's check, it may have lain in two fragments: the search
// for them gives the file that layout, to be checked and recovered like a deep scan's file.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "scan/found_files.h"

namespace relicta::recover {

// Whether found file `itemNum` (its drive's volume open) lies at a guess and its name promises
// a format whose structure can be checked.
bool MayReassemble(uint32_t itemNum);

// Where each drive's found files begin, gathered once for the reassembly of many of them: no
// other file's data begins in a file's second piece.
class FileStarts {
  public:
    // Where the found files of `drive` begin, sorted; gathered when first asked, while the
    // drive's volume is open. Stays valid while this lives.
    const std::vector<int64_t>& Of(char drive);
    // Whether a file other than the one beginning at `own` begins in [at, at + length).
    static bool AnyIn(const std::vector<int64_t>& firsts, int64_t at, int64_t length, int64_t own);

  private:
    std::map<char, std::vector<int64_t>> sorted_;  // gathered when first asked
};

// Gives found file `itemNum` the two fragments its whole checks out in, when its guessed data
// does not (already known with `guessFailed`); true when its layout changed to
// scan::DataLayout::Reassembled. Its drive's volume must be open. `starts`, when given, serves
// every file of one recovery or check.
bool ReassembleGuessedFile(uint32_t itemNum, bool guessFailed = false,
                           FileStarts* starts = nullptr);

// A content check's detail with what the file's layout adds to it: that it was reassembled.
std::string WithLayoutNote(const scan::FoundFile& file, std::string detail);

}  // namespace relicta::recover
