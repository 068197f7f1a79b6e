#pragma once
// QCOW2 images (versions 2 and 3) read directly: the L1 and L2 tables say where each cluster
// of the disk lies and whether it is deflated.

#include <optional>
#include <string>

#include "platform/image_source.h"

namespace relicta::platform {

// Opens the QCOW2 image `path`; the error names the file and the reason. nullopt for an image
// whose features this reader leaves to libqcow: a backing file, encryption, zstd, an external
// data file, extended L2 entries.
std::optional<OpenedImage> OpenQcowImage(const std::string& path);

}  // namespace relicta::platform
