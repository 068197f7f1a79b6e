#pragma once
// The metadata a TIFF structure holds: a TIFF file's or camera raw's own, and the EXIF block
// of a JPEG's APP1 segment, which is a TIFF structure too.

#include <cstdint>

#include "content/data_reader.h"
#include "content/formats/format.h"

namespace relicta::content {

// The date taken (DateTimeOriginal, else DateTime), the camera (Make and Model, the make not
// repeated when the model begins with it) and, for a raw, its extension, from the TIFF
// structure whose header ("II*\0" or "MM\0*") lies at `tiffStart` of `data`; its offsets count
// from there and reach at most `tiffEnd`. Nothing where the structure cannot be read.
Metadata ReadTiffMetadata(Window& data, uint64_t tiffStart, uint64_t tiffEnd);

}  // namespace relicta::content
