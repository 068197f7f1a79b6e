#pragma once
// The exFAT deleted-file scan: the directory tree from the root, live and deleted folders
// alike, deleted folders read past the length their entry still records.

#include "scan/scan_context.h"

namespace relicta::scan {

void ScanExFatVolume(ScanContext& context);

}  // namespace relicta::scan
