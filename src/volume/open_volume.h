#pragma once
// Opening a volume for raw reads and deciding from its boot sector what it holds.

#include "platform/platform.h"

namespace relicta::volume {

// Opens drive `letter` (either case) and fills the Vcb. Returns the open handle; 0 when
// the volume is refused (not NTFS or FAT, more than two FATs); -1 when the open fails or
// the user cancels the not-ready prompt.
platform::Handle OpenVolume(char letter);

}  // namespace relicta::volume
