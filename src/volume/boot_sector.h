#pragma once
// Recognisers that tell a FAT boot sector from an NTFS one.

#include "bytes/le_bytes.h"

namespace relicta::volume {

using bytes::Bytes;

bool IsFatBootSector(Bytes bootSector);
bool IsNtfsBootSector(Bytes bootSector);

// The OEM name at offset 3 begins with "NTFS ".
bool HasNtfsOemPrefix(Bytes bootSector);

}  // namespace relicta::volume
