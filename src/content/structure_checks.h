#pragma once
// Relicta's own checks of the structure of the formats users lose most: small, bounded, and
// reading only what each needs (a video's box tree, not the video).

#include <string>
#include <string_view>

#include "content/data_reader.h"

namespace relicta::content {

enum class Family {
    Unknown,
    Jpeg,
    Png,
    Gif,
    Pdf,
    Zip,
    Mp4,
    Heic,
    Riff,
    Mp3,
    Tiff,  // and the camera raws built on it: CR2, NEF, ARW, DNG
    Html,
    Xml,
    Text,
};

// What a name's extension promises ("photo.JPG" -> Jpeg); Unknown when no check exists.
Family FamilyOfName(std::string_view name);
// What a type's description (libmagic's, or a signature's) says the bytes are: "PNG image
// data, 640 x 480" -> Png; Unknown for "data" and anything without a check.
Family FamilyOfDescription(std::string_view description);
const char* FamilyName(Family family);

struct StructureResult {
    bool ok = false;
    bool signatureMissing = false;  // not even the format's first bytes are there
    std::string detail;             // where and how the structure breaks
    uint64_t at = 0;                // where it breaks, for text
};

StructureResult CheckStructure(Family family, Window& data);

}  // namespace relicta::content
