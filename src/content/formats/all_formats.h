#pragma once
// The formats, one file each.

#include "content/formats/format.h"

namespace relicta::content {

extern const Format kJpegFormat;
extern const Format kPngFormat;
extern const Format kGifFormat;
extern const Format kPdfFormat;
extern const Format kZipFormat;
extern const Format kMp4Format;
extern const Format kHeicFormat;
extern const Format kRiffFormat;
extern const Format kMp3Format;
extern const Format kTiffFormat;
extern const Format kHtmlFormat;
extern const Format kXmlFormat;
extern const Format kTextFormat;

}  // namespace relicta::content
