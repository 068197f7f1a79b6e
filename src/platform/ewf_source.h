#pragma once
// EnCase E01 images (EWF version 1) read directly: the chunk tables say where each chunk of
// the disk lies in which segment and whether it is deflated.

#include <string>

#include "platform/image_source.h"

namespace relicta::platform {

// Opens the E01 image whose first segment is `first`; the others are found beside it by name
// (.E02 ... .E99, .EAA ... .ZZZ). The error names the file and the reason.
OpenedImage OpenEwfImage(const std::string& first);

}  // namespace relicta::platform
