#pragma once

#include "cli/options.h"

namespace relicta::cli {

int RunDrives(const Options& options);

// Attaches every --volume; false (with the reason on stderr) when one cannot be.
bool AttachVolumes(const Options& options);

}  // namespace relicta::cli
