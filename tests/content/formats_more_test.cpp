// TIFF and the raws built on it, HTML and XML, MP4/MOV and HEIC, plain text: where each file
// ends with other bytes after it, a file cut short refused, and what its metadata says. Real
// files are made at test time by ImageMagick, libtiff's tools, exiftool, ffmpeg and heif-enc;
// raws, markup and text are built in the test.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "content/formats/all_formats.h"
#include "support/paths.h"

namespace relicta::content {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes Of(std::string_view text) {
    return {text.begin(), text.end()};
}

Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes RandomBytes(std::size_t n) {
    std::mt19937 random(7);
    Bytes b(n);
    for (uint8_t& c : b) {
        c = static_cast<uint8_t>(random());
    }
    return b;
}

bool IsHeader(const Format& format, const Bytes& b) {
    return format.IsHeader(std::span(b).first(std::min(b.size(), kHeaderBytes)));
}

FileEnd EndOf(const Format& format, const Bytes& b) {
    MemoryReader reader(b);
    Window window(reader);
    return format.FindEnd(window);
}

StructureResult CheckOf(const Format& format, const Bytes& b) {
    MemoryReader reader(b);
    Window window(reader);
    return format.Check(window);
}

Metadata MetadataOf(const Format& format, const Bytes& b) {
    MemoryReader reader(b);
    Window window(reader);
    return format.ReadMetadata(window, b.size());
}

// Found where it ends, followed by another copy and random bytes; a file cut short refused.
void ExpectExactEnd(const Format& format, const Bytes& file) {
    const Bytes data = Join(Join(file, file), RandomBytes(4096));
    EXPECT_TRUE(IsHeader(format, data));
    const FileEnd end = EndOf(format, data);
    EXPECT_TRUE(end.found) << end.detail;
    EXPECT_EQ(end.end, file.size());
    EXPECT_TRUE(CheckOf(format, file).ok) << CheckOf(format, file).detail;
    const Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(file.size() * 2 / 3));
    EXPECT_FALSE(EndOf(format, cut).found);
    EXPECT_FALSE(CheckOf(format, cut).ok);
}

struct Expected {
    std::string camera;
    std::string extension;
    StatedTime time;
};

void ExpectMetadata(const Metadata& m, const Expected& e) {
    EXPECT_EQ(m.camera, e.camera);
    EXPECT_EQ(m.extension, e.extension);
    const StatedTime& t = m.time;
    EXPECT_EQ(std::vector({t.year, t.month, t.day, t.hour, t.minute, t.second}),
              std::vector({e.time.year, e.time.month, e.time.day, e.time.hour, e.time.minute,
                           e.time.second}));
    EXPECT_EQ(t.utc, e.time.utc);
}

constexpr StatedTime kTaken = {2024, 6, 1, 14, 3, 22, false};
constexpr StatedTime kTakenUtc = {2024, 6, 1, 14, 3, 22, true};

// ---- Files made by real tools.

class Scratch {
  public:
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "relicta-formats-XXXXXX").string();
        dir_ = mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    const std::string& Dir() const { return dir_; }

  private:
    std::string dir_;
};

Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// ImageMagick's own convert: /usr/local/bin may hold a stand-in.
constexpr const char* kConvert = "/usr/bin/convert -size 64x48 gradient:red-blue ";
constexpr const char* kExif =
    "exiftool -q -overwrite_original -Make=Canon '-Model=Canon EOS 80D' "
    "'-DateTimeOriginal=2024:06:01 14:03:22' ";
constexpr const char* kVideo =
    "ffmpeg -v error -f lavfi -i testsrc=duration=1:size=64x48:rate=5 "
    "-metadata creation_time=2024-06-01T14:03:22Z ";

struct MadeFile {
    const char* what;
    const Format& format;
    std::vector<std::string> tools;
    std::string commands;  // run in a scratch directory; they leave the file as "out"
    Expected metadata = {};
};

void PrintTo(const MadeFile& c, std::ostream* os) {
    *os << c.what;
}

class MadeFileTest : public testing::TestWithParam<MadeFile> {};

TEST_P(MadeFileTest, EndsExactlyAndStatesItsMetadata) {
    const MadeFile& c = GetParam();
    for (const std::string& tool : c.tools) {
        if (access(tool.c_str(), X_OK) != 0 && !test::HaveTool(tool)) {
            GTEST_SKIP() << tool << " is not installed";
        }
    }
    Scratch scratch;
    const test::CommandResult made =
        test::RunCommand("cd '" + scratch.Dir() + "' && " + c.commands);
    ASSERT_EQ(made.status, 0) << made.err;
    const Bytes file = ReadBytes(scratch.Dir() + "/out");
    ASSERT_FALSE(file.empty());
    ExpectExactEnd(c.format, file);
    ExpectMetadata(MetadataOf(c.format, file), c.metadata);
}

const std::string kTiff = std::string(kConvert) + "a.tif && ";

INSTANTIATE_TEST_SUITE_P(
    Formats, MadeFileTest,
    testing::Values(
        MadeFile{"TiffLittleEndian", kTiffFormat, {"/usr/bin/convert"}, kTiff + "mv a.tif out"},
        MadeFile{"TiffBigEndian",
                 kTiffFormat,
                 {"/usr/bin/convert"},
                 std::string(kConvert) + "-endian MSB a.tif && mv a.tif out"},
        MadeFile{"TiffLzwStripPerRow",
                 kTiffFormat,
                 {"/usr/bin/convert", "tiffcp"},
                 kTiff + "tiffcp -c lzw -r 1 a.tif out"},
        MadeFile{"TiffTiled",
                 kTiffFormat,
                 {"/usr/bin/convert", "tiffcp"},
                 kTiff + "tiffcp -t -w 16 -l 16 a.tif out"},
        MadeFile{
            "TiffMultiPageJpeg",
            kTiffFormat,
            {"/usr/bin/convert"},
            kTiff + "/usr/bin/convert a.tif a.tif -depth 8 -compress jpeg b.tif && mv b.tif out"},
        MadeFile{"TiffWithExif",
                 kTiffFormat,
                 {"/usr/bin/convert", "exiftool"},
                 kTiff + kExif + "a.tif && mv a.tif out",
                 {"Canon EOS 80D", "", kTaken}},
        MadeFile{"Dng",
                 kTiffFormat,
                 {"/usr/bin/convert", "exiftool"},
                 kTiff + kExif + "-DNGVersion=1.4.0.0 a.tif && mv a.tif out",
                 {"Canon EOS 80D", "dng", kTaken}},
        MadeFile{
            "Mp4", kMp4Format, {"ffmpeg"}, std::string(kVideo) + "-f mp4 out", {"", "", kTakenUtc}},
        MadeFile{"Mp4MovieFirst",
                 kMp4Format,
                 {"ffmpeg"},
                 std::string(kVideo) + "-movflags +faststart -f mp4 out",
                 {"", "", kTakenUtc}},
        MadeFile{"Mp4Fragmented",
                 kMp4Format,
                 {"ffmpeg"},
                 std::string(kVideo) + "-movflags frag_keyframe+empty_moov -g 2 -f mp4 out",
                 {"", "", kTakenUtc}},
        MadeFile{"Mov",
                 kMp4Format,
                 {"ffmpeg"},
                 std::string(kVideo) + "-f mov out",
                 {"", "mov", kTakenUtc}},
        MadeFile{"Heic",
                 kHeicFormat,
                 {"/usr/bin/convert", "exiftool", "heif-enc"},
                 std::string(kConvert) + "a.jpg && " + kExif + "a.jpg && heif-enc -o out a.jpg",
                 {"Canon EOS 80D", "", kTaken}}),
    [](const testing::TestParamInfo<MadeFile>& info) { return info.param.what; });

TEST(IsoMediaTest, HeifAndMovieHeadersApart) {
    const Bytes heic =
        Of({"\0\0\0\x18"
            "ftypmif1\0\0\0\0mif1heic",
            24});
    const Bytes mp4 =
        Of({"\0\0\0\x18"
            "ftypisom\0\0\x02\0isomiso2",
            24});
    EXPECT_TRUE(IsHeader(kHeicFormat, heic));
    EXPECT_FALSE(IsHeader(kMp4Format, heic));
    EXPECT_TRUE(IsHeader(kMp4Format, mp4));
    EXPECT_FALSE(IsHeader(kHeicFormat, mp4));
    // A file-type box too large to be one.
    EXPECT_FALSE(IsHeader(kMp4Format, Of({"\x7F\0\0\x18"
                                          "ftypisom\0\0\x02\0isomiso2",
                                          24})));
}

// ---- Raws built in the test: the layouts Canon's, Nikon's and others' cameras write.

class TiffBuilder {
  public:
    struct Field {
        uint16_t tag;
        uint16_t type;
        uint32_t count;
        Bytes value;  // already in the file's byte order
    };

    explicit TiffBuilder(bool bigEndian, std::size_t headerBytes = 8) : big_(bigEndian) {
        bytes_ = Of(bigEndian ? std::string_view("MM\0*", 4) : std::string_view("II*\0", 4));
        bytes_.resize(headerBytes);
    }

    Bytes U16(uint32_t v) const { return Number(v, 2); }
    Bytes U32(uint32_t v) const { return Number(v, 4); }
    Field Ascii(uint16_t tag, std::string_view text) const {
        Bytes value = Of(text);
        value.push_back(0);
        return {tag, 2, static_cast<uint32_t>(value.size()), value};
    }
    Field Long(uint16_t tag, uint32_t v) const { return {tag, 4, 1, U32(v)}; }

    // Appends bytes at an even offset; where they went.
    uint32_t Append(const Bytes& b) {
        bytes_.resize(bytes_.size() + bytes_.size() % 2);
        const auto at = static_cast<uint32_t>(bytes_.size());
        bytes_.insert(bytes_.end(), b.begin(), b.end());
        return at;
    }
    // Appends an IFD, its long values first; where it went.
    uint32_t Ifd(std::vector<Field> fields, uint32_t next = 0) {
        for (Field& f : fields) {
            if (f.value.size() > 4) {
                f.value = U32(Append(f.value));
            }
            f.value.resize(4);
        }
        Bytes ifd = U16(static_cast<uint32_t>(fields.size()));
        for (const Field& f : fields) {
            ifd = Join(Join(Join(Join(ifd, U16(f.tag)), U16(f.type)), U32(f.count)), f.value);
        }
        return Append(Join(ifd, U32(next)));
    }
    // Sets the value of an IFD's entry laid out already: in the entry, or where it points.
    void SetValue(uint32_t ifd, std::size_t index, const Bytes& value) {
        const std::size_t field = ifd + 2 + index * 12 + 8;
        std::size_t at = field;
        if (value.size() > 4) {
            at = 0;
            for (int i = 0; i < 4; ++i) {
                at = at << 8 | bytes_[field + static_cast<std::size_t>(big_ ? i : 3 - i)];
            }
        }
        Put(at, value);
    }
    void Put(std::size_t at, const Bytes& b) { std::copy(b.begin(), b.end(), bytes_.begin() + at); }
    void FirstIfd(uint32_t offset) { Put(4, U32(offset)); }
    const Bytes& Data() const { return bytes_; }

  private:
    Bytes Number(uint32_t v, int n) const {
        Bytes b(static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            b[static_cast<std::size_t>(big_ ? n - 1 - i : i)] = static_cast<uint8_t>(v >> (8 * i));
        }
        return b;
    }
    bool big_;
    Bytes bytes_;
};

constexpr uint16_t kStripOffsets = 0x0111;
constexpr uint16_t kStripByteCounts = 0x0117;
constexpr uint16_t kSubIfds = 0x014A;
constexpr uint16_t kJpegOffset = 0x0201;
constexpr uint16_t kJpegLength = 0x0202;
constexpr uint16_t kExifIfd = 0x8769;

// Canon's CR2: "CR" after the header; a preview strip in IFD0, the raw in IFD3 at the end.
Bytes Cr2() {
    TiffBuilder t(false, 16);
    t.Put(8, Of({"CR\x02\0", 4}));
    const uint32_t preview = t.Append(RandomBytes(3000));
    const uint32_t exif = t.Ifd({t.Ascii(0x9003, "2024:06:01 14:03:22")});
    const uint32_t ifd3 = t.Ifd({t.Long(kStripOffsets, 0), t.Long(kStripByteCounts, 20000)});
    const uint32_t ifd0 = t.Ifd({t.Ascii(0x010F, "Canon"), t.Ascii(0x0110, "Canon EOS 80D"),
                                 t.Long(kStripOffsets, preview), t.Long(kStripByteCounts, 3000),
                                 t.Ascii(0x0132, "2024:06:02 00:00:00"), t.Long(kExifIfd, exif)},
                                ifd3);
    t.FirstIfd(ifd0);
    t.SetValue(ifd3, 0, t.U32(t.Append(RandomBytes(20000))));
    return t.Data();
}

// Nikon's NEF, big-endian: IFD0 and its JPEG preview first, the raw behind a SubIFD at the end,
// in two strips whose offsets and counts lie out of line.
Bytes Nef() {
    TiffBuilder t(true);
    const uint32_t preview = t.Append(RandomBytes(2000));
    const uint32_t sub = t.Ifd({{kStripOffsets, 4, 2, Bytes(8)},
                                {kStripByteCounts, 4, 2, Join(t.U32(10000), t.U32(20000))}});
    const uint32_t ifd0 =
        t.Ifd({t.Ascii(0x010F, "NIKON CORPORATION"), t.Ascii(0x0110, "NIKON D750"),
               t.Long(kSubIfds, sub), t.Long(kJpegOffset, preview), t.Long(kJpegLength, 2000)});
    t.FirstIfd(ifd0);
    const uint32_t raw = t.Append(RandomBytes(30000));
    t.SetValue(sub, 0, Join(t.U32(raw), t.U32(raw + 10000)));
    return t.Data();
}

// An IFD whose chain comes back to itself.
Bytes Looping() {
    TiffBuilder t(false);
    const uint32_t strip = t.Append(RandomBytes(500));
    const uint32_t ifd = static_cast<uint32_t>(t.Data().size());
    t.Ifd({t.Long(kStripOffsets, strip), t.Long(kStripByteCounts, 500)}, ifd);
    t.FirstIfd(ifd);
    return t.Data();
}

struct Raw {
    const char* what;
    Bytes (*build)();
    Expected metadata;
};

void PrintTo(const Raw& c, std::ostream* os) {
    *os << c.what;
}

class RawTest : public testing::TestWithParam<Raw> {};

TEST_P(RawTest, EndsAfterTheRawImageAndNamesTheCamera) {
    const Bytes file = GetParam().build();
    ExpectExactEnd(kTiffFormat, file);
    ExpectMetadata(MetadataOf(kTiffFormat, file), GetParam().metadata);
}

INSTANTIATE_TEST_SUITE_P(Tiff, RawTest,
                         testing::Values(Raw{"Cr2", Cr2, {"Canon EOS 80D", "cr2", kTaken}},
                                         Raw{"Nef", Nef, {"NIKON D750", "nef", {}}},
                                         Raw{"LoopingChain", Looping, {}}),
                         [](const testing::TestParamInfo<Raw>& info) { return info.param.what; });

TEST(TiffTest, RefusesWhatPointsOutside) {
    TiffBuilder past(false);
    const uint32_t ifd =
        past.Ifd({past.Long(kStripOffsets, 8), past.Long(kStripByteCounts, 1u << 30)});
    past.FirstIfd(ifd);
    TiffBuilder nowhere(false);
    nowhere.FirstIfd(1u << 20);
    for (const Bytes& b : {past.Data(), nowhere.Data()}) {
        EXPECT_FALSE(EndOf(kTiffFormat, b).found);
        EXPECT_FALSE(CheckOf(kTiffFormat, b).ok);
    }
    EXPECT_FALSE(IsHeader(kTiffFormat, Of({"II*\0\x04\0\0\0", 8})));  // first IFD in the header
    EXPECT_FALSE(IsHeader(kTiffFormat, Of({"II+\0\x08\0\0\0", 8})));  // BigTIFF
}

// ---- Markup.

struct Markup {
    const char* what;
    const Format& format;
    std::string document;  // followed by other bytes in the data
    bool ends;             // whether its end is found: just past the whole document
    std::string title;
};

void PrintTo(const Markup& c, std::ostream* os) {
    *os << c.what;
}

class MarkupTest : public testing::TestWithParam<Markup> {};

TEST_P(MarkupTest, EndsAfterTheRootElement) {
    const Markup& c = GetParam();
    const Bytes document = Of(c.document);
    const Bytes data =
        Join(Join(document, Bytes(1, 0)), Of("<html></html>\n<?xml version='1.0'?><r/>"));
    EXPECT_TRUE(IsHeader(c.format, data));
    const FileEnd end = EndOf(c.format, data);
    EXPECT_EQ(end.found, c.ends) << end.detail;
    if (c.ends) {
        EXPECT_EQ(end.end, document.size());
        EXPECT_FALSE(end.guessed);
        EXPECT_TRUE(CheckOf(c.format, document).ok);
    }
    if (c.format.ReadMetadata != nullptr) {
        EXPECT_EQ(MetadataOf(c.format, document).title, c.title);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, MarkupTest,
    testing::Values(
        Markup{"Html", kHtmlFormat,
               "<!DOCTYPE html>\n<html><head><title>\n  Caf\xC3\xA9 &amp; bar </title></head>"
               "<body><p>x</p></body></html>\n",
               true, "Caf\xC3\xA9 & bar"},
        Markup{"HtmlUpperCaseAfterBom", kHtmlFormat,
               "\xEF\xBB\xBF  \r\n<HTML><BODY>a</BODY></HTML >\r\n", true, ""},
        Markup{"HtmlCutShort", kHtmlFormat, "<html><body>never closed", false, ""},
        Markup{"HtmlNotUtf8", kHtmlFormat, "<html><body>\xE9t\xE9</body></html>", false, ""},
        Markup{"Xml", kXmlFormat,
               "<?xml version=\"1.0\"?>\n<!-- a > and </r> -->\n"
               "<!DOCTYPE r [<!ENTITY e \"x>\">]>\n"
               "<r a=\"1>2\"><r><x/></r><![CDATA[</r>]]><?pi </r>?></r>\n",
               true, ""},
        Markup{"XmlEmptyRoot", kXmlFormat, "\xEF\xBB\xBF<?xml version='1.0'?><svg a='b'/>", true,
               ""},
        Markup{"XmlCutShort", kXmlFormat, "<?xml version='1.0'?><r><s></s>", false, ""},
        Markup{"XmlTextOutsideRoot", kXmlFormat, "<?xml version='1.0'?>junk<r/>", false, ""}),
    [](const testing::TestParamInfo<Markup>& info) { return info.param.what; });

// ---- Plain text.

struct TextHead {
    const char* what;
    Bytes sector;
    bool header;
};

Bytes Sector(std::string_view text, uint8_t fill = 0) {
    Bytes b = Of(text);
    b.resize(512, fill);
    return b;
}

void PrintTo(const TextHead& c, std::ostream* os) {
    *os << c.what;
}

class TextHeaderTest : public testing::TestWithParam<TextHead> {};

TEST_P(TextHeaderTest, StartsText) {
    EXPECT_EQ(IsHeader(kTextFormat, GetParam().sector), GetParam().header);
}

INSTANTIATE_TEST_SUITE_P(
    Text, TextHeaderTest,
    testing::Values(
        TextHead{"AllText", Sector("", 'a'), true},
        TextHead{"TextThenZeros", Sector("line one\r\nline two\tend\n"), true},
        TextHead{"Utf8", Sector("\xC3\xA9t\xC3\xA9 \xE2\x82\xAC", 'x'), true},
        TextHead{"TooShortBeforeZeros", Sector("a name"), false},
        TextHead{"ZerosThenText",
                 Sector("some text before zeros" + std::string(100, '\0') + "more", 'a'), false},
        TextHead{"ControlByte", Sector("text with \x01 a control byte", 'a'), false},
        TextHead{"ContinuationFirst", Sector("\x80 text", 'a'), false},
        TextHead{"Zeros", Sector(""), false}),
    [](const testing::TestParamInfo<TextHead>& info) { return info.param.what; });

TEST(TextTest, EndsAtTheLastWholeCharacterBeforeOtherBytes) {
    const struct {
        std::string data;
        uint64_t end;
    } cases[] = {
        {"hello\nworld\n" + std::string(100, '\0'), 12},
        {"caf\xC3\xA9\xE2\x82" + std::string(1, '\0'), 5},  // a character cut by a NUL
        {"text\x1B[0m", 4},
        {std::string(70000, 'a'), 70000},
    };
    for (const auto& c : cases) {
        const FileEnd end = EndOf(kTextFormat, Of(c.data));
        EXPECT_TRUE(end.found);
        EXPECT_TRUE(end.guessed);
        EXPECT_EQ(end.end, c.end);
    }
    EXPECT_FALSE(EndOf(kTextFormat, Of({"\0text", 5})).found);
}

}  // namespace
}  // namespace relicta::content
