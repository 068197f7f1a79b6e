#pragma once

#include <string>

#include "volume/vcb.h"

namespace relicta::cli {

// One line of what the volume open decided: file system and geometry.
std::string DescribeVolume(const volume::VCB& vcb);

}  // namespace relicta::cli
