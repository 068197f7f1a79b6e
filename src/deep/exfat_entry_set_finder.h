#pragma once
// Placeholder.

#include "deep/finder.h"

namespace relicta::deep {

class ExFatEntrySetFinder final : public Finder {
  public:
    void Feed(const Block& /*block*/) override {}
};

}  // namespace relicta::deep
