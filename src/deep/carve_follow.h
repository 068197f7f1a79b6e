#pragma once
// One header followed: where its file ends, whether the whole checks out (as one piece, or
// as two with a gap between them), and what it says of itself.

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "content/data_reader.h"
#include "content/formats/format.h"
#include "deep/boot_sector_finder.h"
#include "deep/carver.h"
#include "deep/current_volume.h"
#include "platform/platform.h"
#include "scan/found_files.h"

namespace relicta::deep {

// What following one header gave.
struct CarvedFile {
    int64_t offset = 0;
    std::size_t format = 0;  // index into content::CarvedFormats()
    bool accepted = false;   // its bytes check out whole
    // Every byte in one piece, its end written in the file: nothing about it is a guess.
    bool good = false;
    bool reassembled = false;  // from two pieces
    uint64_t size = 0;
    std::vector<scan::DeepExtent> extents;
    content::Metadata metadata;
};

// The drive the headers lie on, and which of its blocks may hold a file's second piece.
struct FollowDrive {
    platform::Handle handle = platform::kNoHandle;
    int64_t length = 0;
    const CurrentVolume* current = nullptr;
    std::span<const FoundBootSector> boots;
    std::function<bool(int64_t blockOffset)> mayHold;
};

// Blocks a file's pieces begin and end on around `offset`: the clusters of the volume it lay
// in when its start is on one (the current volume's, else an old one a boot sector
// describes), else sectors.
struct BlockGeometry {
    int64_t origin = 0;
    uint32_t bytes = 512;
};
BlockGeometry GeometryAt(const CurrentVolume& current, std::span<const FoundBootSector> boots,
                         int64_t offset);

// Whether `data` is a whole file of `format`: its structure check, and a JPEG's decode.
bool ChecksWhole(const content::Format& format, content::DataReader& data);

// Follows the header at `offset`; reads go to the drive's handle only, so several threads may
// follow headers at once. `buffer` is the caller's, reused from one header to the next.
CarvedFile FollowHeader(const FollowDrive& drive, int64_t offset, std::size_t format,
                        std::vector<uint8_t>& buffer);

}  // namespace relicta::deep
