#pragma once
// Placeholder: NTFS FILE records anywhere on the drive.

#include "deep/finder.h"

namespace relicta::deep {

class NtfsRecordFinder final : public Finder {
  public:
    void Feed(const Block& /*block*/) override {}
};

}  // namespace relicta::deep
