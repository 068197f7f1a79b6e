#pragma once
// What Relicta knows of one file format, in one place for the content check and the carver:
// where a file of it may begin, whether its structure holds, where it ends, and what it says
// of itself (a photo's date and camera, a song's title) to name a file found by content alone.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "content/data_reader.h"
#include "content/structure_checks.h"

namespace relicta::content {

// How many bytes of a sector a header test is shown: enough for every signature, and for
// text to be told from binary.
inline constexpr std::size_t kHeaderBytes = 512;

// Where a file that begins at byte 0 of a window ends, by its structure.
struct FileEnd {
    bool found = false;
    uint64_t end = 0;  // the file's length; valid when found
    // The end is inferred (where text stops), not written in the file: a carved file of it is
    // at most Poor.
    bool guessed = false;
    std::string detail;  // where and why no end was found
};

// A date and time as a file's own metadata states it.
struct StatedTime {
    int year = 0;  // 0: none stated
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    bool utc = false;  // true: UTC (MP4, PDF with Z); false: the camera's local time (EXIF)
};

// What a file says of itself, for the name a carved file is given.
struct Metadata {
    StatedTime time;     // when taken or made
    std::string camera;  // "Canon EOS 80D"
    std::string title;   // a document's or song's title
    std::string artist;  // a song's artist
    // The extension the bytes call for where it differs from the format's usual one: "cr2",
    // "nef", "arw", "dng" for TIFF-built raws, "docx" for a ZIP holding a Word document.
    std::string extension;
};

struct Format {
    Family family = Family::Unknown;
    std::string_view name;       // "JPEG": the words of the content check and the folder
    std::string_view extension;  // "jpg": the usual extension of a carved file
    // Whether a file of this format may begin with `head`: the first bytes of a sector (up to
    // kHeaderBytes, fewer at the end of the data). Called on every sector of the free space:
    // it must refuse most on a byte or two.
    bool (*IsHeader)(std::span<const uint8_t> head) = nullptr;
    // The content check's structure check of a whole file.
    StructureResult (*Check)(Window& data) = nullptr;
    // Where a file that begins at the window's first byte ends; the window's size is the most
    // the file may hold. Reads only what its walk needs.
    FileEnd (*FindEnd)(Window& data) = nullptr;
    // What the file's first `end` bytes say of it; nullptr for formats that say nothing.
    Metadata (*ReadMetadata)(Window& data, uint64_t end) = nullptr;
    uint64_t maxBytes = 0;  // the largest file the carver follows
};

// Every format the carver looks for, in the order headers are tried.
std::span<const Format* const> CarvedFormats();
// The format of `family`; nullptr for Unknown.
const Format* FormatOf(Family family);

}  // namespace relicta::content
