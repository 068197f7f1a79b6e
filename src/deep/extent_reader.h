#pragma once
// A file's bytes as extents of the drive laid end to end: a carved candidate while it is
// checked, a deep scan's file when it is read back. Reads go straight to the drive's handle,
// so that several threads may check candidates at once where the platform allows.

#include <cstdint>
#include <span>
#include <vector>

#include "content/data_reader.h"
#include "platform/platform.h"
#include "scan/found_files.h"

namespace relicta::deep {

class ExtentReader final : public content::DataReader {
  public:
    // `size` bytes from `extents` in order (kZeros extents read as zeros); past what the
    // extents hold, reads fail.
    ExtentReader(platform::Handle drive, std::vector<scan::DeepExtent> extents, uint64_t size);
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, std::span<uint8_t> out) override;
    bool Locate(std::size_t n, std::vector<content::StoredRange>& ranges) override;

  private:
    platform::Handle drive_;
    std::vector<scan::DeepExtent> extents_;
    std::vector<uint64_t> starts_;  // each extent's offset in the file
    uint64_t size_ = 0;
};

}  // namespace relicta::deep
