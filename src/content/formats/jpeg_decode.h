#pragma once
// Whether a JPEG's entropy-coded data decodes without libjpeg-turbo seeing it corrupt: the
// structure walk cannot tell a photo's bytes from another file's once the markers line up.

#include <cstdint>
#include <span>

namespace relicta::content {

// Decodes `jpeg` (the whole file, SOI to EOI) scaled down as far as the library allows, which
// still reads every entropy-coded segment; false on an error or any warning, and where the
// entropy-coded data holds a sector of zeros.
bool DecodesCleanly(std::span<const uint8_t> jpeg);

}  // namespace relicta::content
