// The formats together: which the carver looks for and in what order, and the content check's
// words for them (a name's extension, libmagic's descriptions).
#include <algorithm>
#include <cctype>
#include <iterator>
#include <utility>
#include <vector>

#include "content/formats/all_formats.h"
#include "content/formats/walk.h"

namespace relicta::content {
namespace {

// In the order headers are tried: a signature before a looser one it overlaps (HEIF's file
// type before other ISO media, markup before plain text), text last.
const Format* const kFormats[] = {
    &kJpegFormat, &kPngFormat,  &kGifFormat, &kPdfFormat,  &kZipFormat, &kHeicFormat, &kMp4Format,
    &kRiffFormat, &kTiffFormat, &kMp3Format, &kHtmlFormat, &kXmlFormat, &kTextFormat,
};

struct Extension {
    std::string_view extension;
    Family family;
};
constexpr Extension kExtensions[] = {
    {"jpg", Family::Jpeg},   {"jpeg", Family::Jpeg}, {"jpe", Family::Jpeg},  {"jfif", Family::Jpeg},
    {"png", Family::Png},    {"gif", Family::Gif},   {"pdf", Family::Pdf},   {"zip", Family::Zip},
    {"docx", Family::Zip},   {"xlsx", Family::Zip},  {"pptx", Family::Zip},  {"odt", Family::Zip},
    {"ods", Family::Zip},    {"odp", Family::Zip},   {"jar", Family::Zip},   {"epub", Family::Zip},
    {"apk", Family::Zip},    {"mp4", Family::Mp4},   {"m4v", Family::Mp4},   {"m4a", Family::Mp4},
    {"mov", Family::Mp4},    {"3gp", Family::Mp4},   {"heic", Family::Heic}, {"heif", Family::Heic},
    {"wav", Family::Riff},   {"avi", Family::Riff},  {"webp", Family::Riff}, {"mp3", Family::Mp3},
    {"tif", Family::Tiff},   {"tiff", Family::Tiff}, {"cr2", Family::Tiff},  {"nef", Family::Tiff},
    {"arw", Family::Tiff},   {"dng", Family::Tiff},  {"html", Family::Html}, {"htm", Family::Html},
    {"xhtml", Family::Html}, {"xml", Family::Xml},   {"svg", Family::Xml},   {"txt", Family::Text},
    {"csv", Family::Text},   {"log", Family::Text},  {"md", Family::Text},   {"ini", Family::Text},
    {"json", Family::Text},
};

// libmagic's descriptions, by how they begin; the first that matches counts.
constexpr std::pair<std::string_view, Family> kDescriptions[] = {
    {"JPEG image", Family::Jpeg},
    {"PNG image", Family::Png},
    {"GIF image", Family::Gif},
    {"PDF document", Family::Pdf},
    {"Zip archive", Family::Zip},
    {"Microsoft Word 2007+", Family::Zip},
    {"Microsoft Excel 2007+", Family::Zip},
    {"Microsoft PowerPoint 2007+", Family::Zip},
    {"Microsoft OOXML", Family::Zip},
    {"OpenDocument", Family::Zip},
    {"Java archive", Family::Zip},
    {"EPUB document", Family::Zip},
    {"Android package", Family::Zip},
    {"ISO Media, HEIF", Family::Heic},
    {"ISO Media", Family::Mp4},
    {"RIFF", Family::Riff},
    {"Audio file with ID3", Family::Mp3},
    {"MPEG ADTS, layer III", Family::Mp3},
    {"TIFF image", Family::Tiff},
    {"Canon CR2", Family::Tiff},
    {"HTML document", Family::Html},
    {"XML", Family::Xml},
    {"SVG Scalable Vector Graphics", Family::Xml},
};

}  // namespace

std::span<const Format* const> CarvedFormats() {
    static const std::vector<const Format*> carved = [] {
        std::vector<const Format*> formats;
        std::copy_if(std::begin(kFormats), std::end(kFormats), std::back_inserter(formats),
                     [](const Format* f) { return f->IsHeader != nullptr; });
        return formats;
    }();
    return carved;
}

const Format* FormatOf(Family family) {
    const auto it = std::find_if(std::begin(kFormats), std::end(kFormats),
                                 [family](const Format* f) { return f->family == family; });
    return it != std::end(kFormats) ? *it : nullptr;
}

Family FamilyOfName(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos) {
        return Family::Unknown;
    }
    std::string extension(name.substr(dot + 1));
    for (char& c : extension) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (const Extension& e : kExtensions) {
        if (e.extension == extension) {
            return e.family;
        }
    }
    return Family::Unknown;
}

Family FamilyOfDescription(std::string_view description) {
    // An Apple phone's photo: "ISO Media, HEIF Image ..." or a brand that names HEIC.
    if (description.starts_with("ISO Media") &&
        description.find("HEIC") != std::string_view::npos) {
        return Family::Heic;
    }
    for (const auto& [prefix, family] : kDescriptions) {
        if (description.starts_with(prefix)) {
            return family;
        }
    }
    // libmagic's texts: "ASCII text", "UTF-8 Unicode text, with CRLF line terminators",
    // "JSON text data", "CSV text".
    return description.find(" text") != std::string_view::npos ? Family::Text : Family::Unknown;
}

const char* FamilyName(Family family) {
    const Format* format = FormatOf(family);
    // Every format's name is a literal.
    return format != nullptr ? format->name.data() : "unknown";
}

StructureResult CheckStructure(Family family, Window& data) {
    const Format* format = FormatOf(family);
    if (format == nullptr || format->Check == nullptr) {
        return Broken("no check for this type");
    }
    return format->Check(data);
}

}  // namespace relicta::content
