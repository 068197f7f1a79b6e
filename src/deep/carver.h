#pragma once
// Files found by their content alone: the pass notes every sector of the free space where a
// file of a known format may begin; afterwards each is followed to where its structure ends,
// checked whole, and listed when it holds together and is no file the list holds already.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "content/formats/format.h"
#include "deep/boot_sector_finder.h"
#include "deep/checkpoint_io.h"
#include "deep/current_volume.h"
#include "deep/finder.h"
#include "platform/platform.h"
#include "scan/scan_context.h"

namespace relicta::deep {

// A sector where a file of format `format` (an index into content::CarvedFormats()) may begin.
struct CarveHeader {
    int64_t offset = 0;
    std::size_t format = 0;
    bool operator==(const CarveHeader&) const = default;
};

class Carver final : public Finder {
  public:
    Carver();
    void Feed(const Block& block) override;

    // In drive order; at one sector, in the formats' order.
    std::size_t Count() const { return headers_.size(); }
    CarveHeader At(std::size_t i) const;
    // Whether a header lies at `offset`.
    bool HasHeaderAt(int64_t offset) const;
    // Where headers stopped being noted, past the bound; -1 when none was left out.
    int64_t LeftOutFrom() const { return leftOutFrom_; }
    void Clear();
    // What was noted, for a checkpoint; Load reads it back, false (the carver then unusable)
    // when it is not what Feed could have noted.
    void Save(CheckpointWriter& out) const;
    bool Load(CheckpointReader& in);

  private:
    // A full disk of small text files and photos has a few million; past this it is noise.
    static constexpr std::size_t kMaxHeaders = std::size_t{1} << 23;
    static constexpr int kFormatBits = 8;

    void Note(int64_t offset, std::size_t format);
    // Whether format `i` is looked for.
    bool Carves(std::size_t i) const;

    std::span<const content::Format* const> formats_;
    // Per first byte, the formats (a bit each) whose files may begin with it.
    std::array<uint32_t, 256> byFirstByte_{};
    uint32_t byBox_ = 0;  // formats whose files begin with a box ("ftyp" at byte 4)
    std::size_t text_ = SIZE_MAX;
    bool textBefore_ = false;  // whether the sector before `next_` is text
    int64_t next_ = -1;        // the sector after the last one looked at
    // Sector number << kFormatBits | format index: 8 bytes a header.
    std::vector<uint64_t> headers_;
    int64_t leftOutFrom_ = -1;
};

// The drive the headers were found on.
struct CarveDrive {
    platform::Handle handle = platform::kNoHandle;
    char letter = 'C';
    int64_t length = 0;
    const CurrentVolume* current = nullptr;
    std::span<const FoundBootSector> boots;
};

// Follows every header of `carver` (on every core where the drive allows reads from any
// thread) and lists what checks out under "$Carved\<format>": not what lies in a file the
// list holds from `firstItem` on, nor what lies inside another carved file. Shows progress;
// StopScan ends it keeping what was accepted. Returns the number of files listed.
std::size_t CarveFiles(scan::ScanContext& context, Carver& carver, const CarveDrive& drive,
                       std::size_t firstItem, std::vector<std::string>& notes);

}  // namespace relicta::deep
