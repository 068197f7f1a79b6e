#pragma once
// The FAT deleted-file scan: the whole directory tree, live and deleted directories alike.

#include <cstdint>
#include <span>
#include <string>

#include "scan/scan_context.h"

namespace relicta::scan {

void ScanFatVolume(ScanContext& context);

// One directory's slots, then its subdirectories. `path` is "X:\" for the root, else
// "X:\DIR\SUB" without a trailing backslash.
void WalkFatDirectory(ScanContext& context, std::span<const uint8_t> directory,
                      const std::string& path, bool InDeletedDirectory);

}  // namespace relicta::scan
