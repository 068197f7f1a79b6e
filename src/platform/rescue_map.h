#pragma once
// GNU ddrescue's map file: which bytes of a failing disk it copied into the image. What it did
// not copy (never tried, or tried and failed) holds zeros or older bytes in the image, never
// the disk's: such bytes are read as unreadable sectors.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unreadable.h"

namespace relicta::platform {

// A map file larger than this, or with more block lines, is not read: a real one, even of a
// disk with a bad sector every few megabytes, stays far below.
inline constexpr uint64_t kMaxRescueMapBytes = uint64_t{128} << 20;
inline constexpr std::size_t kMaxRescueMapBlocks = 2'000'000;

class RescueMap {
  public:
    // `notRescued` in bytes of the whole image, sorted and disjoint.
    RescueMap(std::string path, std::vector<ByteRun> notRescued);

    const std::string& Path() const { return path_; }
    const std::vector<ByteRun>& NotRescued() const { return notRescued_; }
    // Whether any of [offset, offset + length) of the image was not rescued.
    bool Touches(uint64_t offset, uint64_t length) const;
    // The bytes of [offset, offset + length) of the image not rescued.
    uint64_t NotRescuedBytes(uint64_t offset, uint64_t length) const;

  private:
    std::string path_;
    std::vector<ByteRun> notRescued_;
};

struct LoadedRescueMap {
    std::shared_ptr<const RescueMap> map;
    std::string error;  // names the file and the line; empty on success
};

// Parses `text`, the content of the map file `path`: what the image holds beyond the blocks
// marked rescued ('+') - the other blocks and any stretch the map does not list - is not
// rescued.
LoadedRescueMap ParseRescueMap(const std::string& path, std::string_view text);

LoadedRescueMap LoadRescueMap(const std::string& path);

}  // namespace relicta::platform
