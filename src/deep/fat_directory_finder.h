#pragma once
// Placeholder.

#include "deep/finder.h"

namespace relicta::deep {

class FatDirectoryFinder final : public Finder {
  public:
    void Feed(const Block& /*block*/) override {}
};

}  // namespace relicta::deep
