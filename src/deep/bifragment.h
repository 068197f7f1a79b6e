#pragma once
// Files in two pieces: the commonest fragmentation, put back together by trying where the
// first piece ends and where the second begins until the whole checks out (bifragment gap
// carving).

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "content/data_reader.h"
#include "content/formats/format.h"
#include "platform/platform.h"
#include "scan/found_files.h"

namespace relicta::deep {

// Gaps of up to this many blocks between the two pieces are tried.
inline constexpr int64_t kMaxGapBlocks = 2048;

// Whether bytes put together are the whole file: the format's structure check, and for a
// JPEG a decode without a warning.
using WholeCheck = std::function<bool(content::DataReader& data)>;

struct GapSearch {
    int64_t start = 0;    // the file's first byte on the drive
    int64_t breakAt = 0;  // where its structure, read on from `start`, breaks
    // Pieces begin and end on whole blocks from `blockOrigin` on: clusters of the volume the
    // file lay in, else sectors.
    int64_t blockOrigin = 0;
    uint32_t blockBytes = 512;
    int64_t driveLength = 0;
    // The file's size where its entry still gives it (a FAT file whose chain is gone); else the
    // format's end finder tells it.
    std::optional<uint64_t> knownSize;
    // Whether the block at a drive offset may hold the second piece: not in use by a live file,
    // not another found file's, not where another file's header was found.
    std::function<bool(int64_t blockOffset)> mayHold;
};

// The two extents, in file order, whose bytes check out whole; nullopt when no split within
// kMaxGapBlocks does. Bounded: at most a few thousand whole checks, most ruled out cheaply.
std::optional<std::vector<scan::DeepExtent>> ReassembleTwoFragments(platform::Handle drive,
                                                                    const content::Format& format,
                                                                    const GapSearch& search,
                                                                    const WholeCheck& whole);

}  // namespace relicta::deep
