// JPEG, PNG, GIF, PDF, ZIP (and the documents built on it), RIFF and MP3: where each file ends
// with other bytes after it, a file cut short or written over in the middle refused where its
// structure can tell, and what its metadata says. Real files are made at test time by
// ImageMagick, img2pdf, exiftool, ffmpeg and zip; what they do not make is built here.

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "content/formats/all_formats.h"
#include "format_test_support.h"
#include "support/paths.h"

namespace relicta::content {
namespace {

using namespace content::test;

// ImageMagick's own convert: /usr/local/bin may hold a stand-in.
#define CONVERT "/usr/bin/convert -seed 5 "
#define PLASMA "-size 320x240 plasma:fractal "
#define SINE "ffmpeg -v error -f lavfi -i sine=frequency=440:duration=3 "
// An MP3 with its ID3v2 tag cut off: ffmpeg writes an ID3v1 tag only beside one.
#define NO_ID3V2(from, to)         \
    "python3 -c \"d = open('" from \
    "', 'rb').read(); "            \
    "n = 10 + (d[6] << 21 | d[7] << 14 | d[8] << 7 | d[9]); open('" to "', 'wb').write(d[n:])\""

struct Made {
    const char* file;
    const Format& format;
    std::vector<std::string> tools;
    std::string commands;  // run in a scratch directory; they leave `file` there
    // Whether bytes written over in the middle break the structure: not where the middle is
    // samples or one compressed stream with no check of its own.
    bool overwriteBreaks;
};

const Made kMade[] = {
    {"photo.jpg", kJpegFormat, {"/usr/bin/convert"}, CONVERT PLASMA "-quality 90 photo.jpg", true},
    {"progressive.jpg",
     kJpegFormat,
     {"/usr/bin/convert"},
     CONVERT PLASMA "-interlace Plane progressive.jpg",
     true},
    {"picture.png", kPngFormat, {"/usr/bin/convert"}, CONVERT PLASMA "picture.png", true},
    {"anim.gif",
     kGifFormat,
     {"/usr/bin/convert"},
     CONVERT "-size 160x120 plasma:fractal plasma:fractal -loop 0 anim.gif",
     true},
    {"document.pdf",
     kPdfFormat,
     {"/usr/bin/convert", "img2pdf"},
     CONVERT PLASMA "in.jpg && img2pdf --title 'Holiday Report' "
                    "--creationdate 2023-05-04T10:11:12 -o document.pdf in.jpg",
     false},
    {"archive.zip",
     kZipFormat,
     {"/usr/bin/convert", "zip"},
     CONVERT PLASMA "a.bmp && seq 1 20000 > b.txt && zip -q archive.zip a.bmp b.txt",
     true},
    {"stored.zip", kZipFormat, {"zip"}, "seq 1 20000 > s.txt && zip -q -0 stored.zip s.txt", true},
    // Written from a pipe: sizes and CRC in a descriptor after the data.
    {"streamed.zip", kZipFormat, {"zip"}, "seq 1 30000 | zip -q streamed.zip -", true},
    {"streamstored.zip", kZipFormat, {"zip"}, "seq 1 30000 | zip -q -0 streamstored.zip -", true},
    // Encrypted: its lengths are all there is to follow.
    {"locked.zip",
     kZipFormat,
     {"zip"},
     "seq 1 30000 > l.txt && zip -q -P secret locked.zip l.txt",
     false},
    {"zip64.zip", kZipFormat, {"zip"}, "seq 1 30000 > w.txt && zip -q -fz zip64.zip w.txt", true},
    {"song.mp3",
     kMp3Format,
     {"ffmpeg"},
     SINE "-metadata 'title=Café Song' -metadata 'artist=Ærø Band' song.mp3",
     true},
    {"tagged.mp3",
     kMp3Format,
     {"ffmpeg", "python3"},
     SINE "-write_id3v1 1 -metadata title=Tagged -metadata artist=Old t.mp3 && " NO_ID3V2(
         "t.mp3", "tagged.mp3"),
     true},
    {"tone.wav", kRiffFormat, {"ffmpeg"}, SINE "tone.wav", false},
    {"clip.avi",
     kRiffFormat,
     {"ffmpeg"},
     "ffmpeg -v error -f lavfi -i testsrc=duration=3:size=64x48:rate=8 -c:v mpeg4 clip.avi",
     true},
    {"image.webp", kRiffFormat, {"/usr/bin/convert"}, CONVERT PLASMA "image.webp", false},
};

// What `commands` leave as `file` in a scratch directory; nullopt when a tool is missing.
std::optional<Bytes> MadeBy(const Scratch& scratch, const std::vector<std::string>& tools,
                            const std::string& commands, const std::string& file) {
    for (const std::string& tool : tools) {
        if (!relicta::test::HaveTool(tool)) {
            return std::nullopt;
        }
    }
    const relicta::test::CommandResult r =
        relicta::test::RunCommand("cd '" + scratch.Dir() + "' && " + commands);
    EXPECT_EQ(r.status, 0) << r.err;
    return ReadBytes(scratch.Dir() + "/" + file);
}

// A case's name: its file's.
template <typename Case>
std::string FileName(const ::testing::TestParamInfo<Case>& info) {
    std::string name = info.param.file;
    std::replace(name.begin(), name.end(), '.', '_');
    return name;
}

// A case's file, made by its tools in a scratch directory of the test's own.
template <typename Case>
class ToolMade : public ::testing::TestWithParam<Case> {
  protected:
    // nullopt when a tool is missing.
    std::optional<Bytes> Make() {
        const Case& c = this->GetParam();
        return MadeBy(scratch_, c.tools, c.commands, c.file);
    }
    Scratch scratch_;
};
using MadeFiles = ToolMade<Made>;

TEST_P(MadeFiles, EndFoundExactlyAndBreaksRefused) {
    const Made& made = GetParam();
    const std::optional<Bytes> madeFile = Make();
    if (!madeFile) {
        GTEST_SKIP() << "a tool is missing";
    }
    const Bytes& file = *madeFile;
    EXPECT_TRUE(IsHeader(made.format, file));
    EXPECT_TRUE(CheckOf(made.format, file).ok) << CheckOf(made.format, file).detail;
    // Followed by another file of its kind, by random bytes, by zeros.
    for (const Bytes& after : {file, RandomBytes(5000), Bytes(5000, 0)}) {
        const FileEnd end = EndOf(made.format, Join(file, after));
        EXPECT_TRUE(end.found) << end.detail;
        EXPECT_EQ(end.end, file.size());
        EXPECT_FALSE(end.guessed);
    }
    const Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(file.size() * 6 / 10));
    EXPECT_FALSE(EndOf(made.format, cut).found);
    if (made.overwriteBreaks) {
        // Another file's bytes where the middle was: found broken at or after where they begin,
        // followed by random bytes where the rest would be.
        Bytes overwritten = Join(file, RandomBytes(5000, 3));
        const std::size_t from = file.size() / 2;
        const Bytes other = RandomBytes(4096, 11);
        std::copy(other.begin(), other.end(),
                  overwritten.begin() + static_cast<std::ptrdiff_t>(from));
        const FileEnd end = EndOf(made.format, overwritten);
        EXPECT_FALSE(end.found) << "found at " << end.end;
        EXPECT_GE(end.end, from) << end.detail;
    }
    // libmagic names what the tool made as this format.
    if (relicta::test::HaveTool("file")) {
        const std::string described =
            relicta::test::RunCommand("file -b '" + scratch_.Dir() + "/" + made.file + "'").out;
        EXPECT_EQ(FamilyOfDescription(described), made.format.family) << described;
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, MadeFiles, ::testing::ValuesIn(kMade), FileName<Made>);

struct Said {
    const char* file;
    const Format& format;
    std::vector<std::string> tools;
    std::string commands;
    // What it says: when made, camera, title, artist, extension.
    StatedTime time;
    std::vector<std::string> says;
};

const Said kSaid[] = {
    {"exif.jpg",
     kJpegFormat,
     {"/usr/bin/convert", "exiftool"},
     CONVERT PLASMA "exif.jpg && exiftool -q -overwrite_original -Make=Canon "
                    "'-Model=Canon EOS 80D' '-DateTimeOriginal=2024:06:01 14:03:22' exif.jpg",
     {2024, 6, 1, 14, 3, 22, false},
     {"Canon EOS 80D", "", "", ""}},
    {"document.pdf",
     kPdfFormat,
     {"/usr/bin/convert", "img2pdf"},
     CONVERT PLASMA "in.jpg && img2pdf --title 'Holiday Report' "
                    "--creationdate 2023-05-04T10:11:12Z -o document.pdf in.jpg",
     {2023, 5, 4, 10, 11, 12, true},
     {"", "Holiday Report", "", ""}},
    {"song.mp3",
     kMp3Format,
     {"ffmpeg"},
     SINE "-metadata 'title=Café Song' -metadata 'artist=Ærø Band' song.mp3",
     {},
     {"", "Café Song", "Ærø Band", ""}},
    {"old.mp3",
     kMp3Format,
     {"ffmpeg"},
     SINE "-id3v2_version 3 -metadata 'title=Été' -metadata artist=Old old.mp3",
     {},
     {"", "Été", "Old", ""}},
    {"tagged.mp3",
     kMp3Format,
     {"ffmpeg", "python3"},
     SINE "-write_id3v1 1 -metadata title=Tagged -metadata artist=Old t.mp3 && " NO_ID3V2(
         "t.mp3", "tagged.mp3"),
     {},
     {"", "Tagged", "Old", ""}},
    {"report.docx",
     kZipFormat,
     {"zip"},
     "mkdir word && echo '<Types/>' > '[Content_Types].xml' && echo '<w/>' > word/document.xml "
     "&& zip -q report.docx '[Content_Types].xml' word/document.xml",
     {},
     {"", "", "", "docx"}},
    {"sheet.xlsx",
     kZipFormat,
     {"zip"},
     "mkdir xl && echo '<Types/>' > '[Content_Types].xml' && echo '<x/>' > xl/workbook.xml "
     "&& zip -q sheet.xlsx '[Content_Types].xml' xl/workbook.xml",
     {},
     {"", "", "", "xlsx"}},
    {"note.odt",
     kZipFormat,
     {"zip"},
     "printf application/vnd.oasis.opendocument.text > mimetype && echo '<d/>' > content.xml "
     "&& zip -q -0 -X note.odt mimetype && zip -q -X note.odt content.xml",
     {},
     {"", "", "", "odt"}},
    {"book.epub",
     kZipFormat,
     {"zip"},
     "printf application/epub+zip > mimetype && echo '<c/>' > c.xml "
     "&& zip -q -0 -X book.epub mimetype && zip -q -X book.epub c.xml",
     {},
     {"", "", "", "epub"}},
    {"app.jar",
     kZipFormat,
     {"zip"},
     "mkdir META-INF && echo 'Manifest-Version: 1.0' > META-INF/MANIFEST.MF && echo x > A.class "
     "&& zip -q app.jar META-INF/MANIFEST.MF A.class",
     {},
     {"", "", "", "jar"}},
    // Signed: a block between the entries and the central directory.
    {"app.apk",
     kZipFormat,
     {"zip", "python3"},
     "echo m > AndroidManifest.xml && echo d > classes.dex && "
     "zip -q a.zip AndroidManifest.xml classes.dex && python3 -c \"import struct; "
     "d = open('a.zip', 'rb').read(); e = d.rfind(b'PK\\x05\\x06'); "
     "cd = struct.unpack('<I', d[e + 16:e + 20])[0]; n = 8 + 12 + 8 + 16; "
     "b = struct.pack('<QQI8s', n, 12, 7, b'x' * 8) + struct.pack('<Q', n) + b'APK Sig Block 42'; "
     "open('app.apk', 'wb').write(d[:cd] + b + d[cd:e + 16] + struct.pack('<I', cd + len(b)) "
     "+ d[e + 20:])\"",
     {},
     {"", "", "", "apk"}},
    {"plain.zip",
     kZipFormat,
     {"zip"},
     "echo x > x.txt && zip -q plain.zip x.txt",
     {},
     {"", "", "", ""}},
    {"tone.wav", kRiffFormat, {"ffmpeg"}, SINE "tone.wav", {}, {"", "", "", "wav"}},
    {"clip.avi",
     kRiffFormat,
     {"ffmpeg"},
     "ffmpeg -v error -f lavfi -i testsrc=duration=1:size=64x48:rate=4 clip.avi",
     {},
     {"", "", "", "avi"}},
    {"image.webp",
     kRiffFormat,
     {"/usr/bin/convert"},
     CONVERT PLASMA "image.webp",
     {},
     {"", "", "", "webp"}},
};

using SaidFiles = ToolMade<Said>;

TEST_P(SaidFiles, MetadataRead) {
    const Said& said = GetParam();
    const std::optional<Bytes> made = Make();
    if (!made) {
        GTEST_SKIP() << "a tool is missing";
    }
    const Bytes& file = *made;
    const FileEnd end = EndOf(said.format, Join(file, RandomBytes(3000)));
    ASSERT_TRUE(end.found) << end.detail;
    ASSERT_EQ(end.end, file.size());
    const Metadata m = MetadataOf(said.format, file);
    EXPECT_EQ(std::vector({m.camera, m.title, m.artist, m.extension}), said.says);
    const StatedTime& t = m.time;
    const StatedTime& u = said.time;
    EXPECT_EQ(std::vector({t.year, t.month, t.day, t.hour, t.minute, t.second, int{t.utc}}),
              std::vector({u.year, u.month, u.day, u.hour, u.minute, u.second, int{u.utc}}));
}

INSTANTIATE_TEST_SUITE_P(Formats, SaidFiles, ::testing::ValuesIn(kSaid), FileName<Said>);

// ---- Built here: what the tools do not make.

// A baseline JPEG around `scan`: its entropy-coded data and what follows it.
Bytes Jpeg(std::string_view scan) {
    const std::string_view head{
        "\xFF\xD8"
        "\xFF\xDD\x00\x04\x00\x01"                              // restart every MCU
        "\xFF\xC0\x00\x0B\x08\x00\x08\x00\x08\x01\x01\x11\x00"  // 8x8, one component
        "\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00",             // the scan
        2 + 6 + 13 + 10};
    return Join(Of(head), Of(scan));
}

TEST(JpegEntropyData, BreaksWhereAPhotoCannotGoOn) {
    struct Case {
        const char* what;
        std::string_view scan;
        bool found;
        uint64_t at;  // in the scan: the end found, or where it breaks
    };
    const Case cases[] = {
        {"stuffed bytes and restarts in turn",
         {"\x12\xFF\x00\x34\xFF\xD0\x56\xFF\xD1\x78\xFF\xFF\xD9", 13},
         true,
         13},
        {"a second scan after its tables",
         {"\x12\xFF\xC4\x00\x02\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00\x34\xFF\xD9", 18},
         true,
         18},
        {"a restart out of turn", {"\x12\xFF\xD0\x34\xFF\xD2\x56\xFF\xD9", 9}, false, 5},
        {"another photo's start", {"\x12\x34\xFF\xD8\xFF\xE0\x00\x10", 8}, false, 3},
        {"a marker no scan is followed by", {"\x12\xFF\xC0\x00\x0B", 5}, false, 2},
        {"a segment where no marker follows",
         {"\x12\xFF\xFE\x00\x04\x00\x00\x33\x44", 9},
         false,
         7},
        {"cut short in the data", {"\x12\x34\x56", 3}, false, 3},
    };
    const std::size_t scanAt = Jpeg("").size();
    for (const Case& c : cases) {
        const Bytes jpeg = Jpeg(c.scan);
        const FileEnd end = EndOf(kJpegFormat, jpeg);
        EXPECT_EQ(end.found, c.found) << c.what << ": " << end.detail;
        EXPECT_EQ(end.end, scanAt + c.at) << c.what << ": " << end.detail;
        EXPECT_EQ(CheckOf(kJpegFormat, jpeg).ok, c.found) << c.what;
    }
}

// A PDF of `objects` (bodies of objects 1..n) with a table and a trailer naming object 1 the
// catalog and `info` the Info dictionary, written after `before` (an earlier revision).
std::string Pdf(const std::string& before, int first, const std::vector<std::string>& objects,
                const std::string& trailerExtra) {
    std::string pdf = before.empty() ? "%PDF-1.4\n" : before;
    std::string table =
        "xref\n" + std::to_string(first) + " " + std::to_string(objects.size()) + "\n";
    for (std::size_t i = 0; i < objects.size(); ++i) {
        char entry[32];
        std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", pdf.size());
        table += entry;
        pdf += std::to_string(first + static_cast<int>(i)) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const std::size_t xref = pdf.size();
    return pdf + table + "trailer\n<< /Size " + std::to_string(first + objects.size()) +
           " /Root 1 0 R " + trailerExtra + ">>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
}

TEST(PdfBuilt, EndsAtTheLastRevisionAndReadsItsInfo) {
    const std::string original =
        Pdf("", 1,
            {"<< /Type /Catalog >>",
             "<< /Title <FEFF00480069002000E9> /CreationDate (D:20220102030405+01'00') >>"},
            "/Info 2 0 R ");
    const std::string updated = Pdf(original, 3, {"<< /Producer (x) >>"}, "/Info 2 0 R /Prev 0 ");
    struct Case {
        const char* what;
        std::string pdf;
        std::string title;
    };
    const Case cases[] = {
        {"one revision", original, "Hi é"},
        {"updated in place", updated, "Hi é"},
        {"a literal title in PDFDocEncoding",
         Pdf("", 1, {"<< >>", "<< /Title (Caf\\351 \\(1\\)\x84) >>"}, "/Info 2 0 R "), "Café (1)—"},
    };
    for (const Case& c : cases) {
        const Bytes pdf = Of(c.pdf);
        // A stray %%EOF after it, with no cross-reference behind it, is not its end.
        const FileEnd end = EndOf(kPdfFormat, Join(pdf, Of("garbage\nstartxref\n9\n%%EOF\n")));
        EXPECT_TRUE(end.found) << c.what << ": " << end.detail;
        EXPECT_EQ(end.end, pdf.size()) << c.what;
        EXPECT_EQ(MetadataOf(kPdfFormat, pdf).title, c.title) << c.what;
    }
    const Metadata m = MetadataOf(kPdfFormat, Of(original));
    EXPECT_EQ(std::vector({m.time.year, m.time.month, m.time.day, m.time.hour, m.time.second}),
              std::vector({2022, 1, 2, 3, 5}));
    EXPECT_FALSE(m.time.utc);
    // An object the table lists written over: no end holds.
    std::string overwritten = original;
    overwritten.replace(overwritten.find("2 0 obj"), 7, "garbage");
    EXPECT_FALSE(EndOf(kPdfFormat, Of(overwritten)).found);
    // Another PDF beginning at a sector start ends the search: the first has no end of its own.
    Bytes cut = Of(original.substr(0, original.size() - 20));
    cut.resize(1024, ' ');
    const FileEnd next = EndOf(kPdfFormat, Join(cut, Of(original)));
    EXPECT_FALSE(next.found);
}

// An ID3v2 tag holding one text frame, then a frame of audio.
Bytes Id3(int major, std::string_view id, std::string_view text) {
    Bytes frame = Of(id);
    const std::size_t size = text.size();
    if (major == 2) {
        frame.insert(frame.end(), {0, 0, static_cast<uint8_t>(size)});
    } else {
        frame.insert(frame.end(), {0, 0, 0, static_cast<uint8_t>(size), 0, 0});
    }
    frame = Join(frame, Of(text));
    Bytes tag = {'I', 'D', '3', static_cast<uint8_t>(major),       0, 0,
                 0,   0,   0,   static_cast<uint8_t>(frame.size())};
    return Join(tag, frame);
}

TEST(Mp3Built, TitleInEveryEncoding) {
    struct Case {
        const char* what;
        Bytes tag;
        std::string title;
    };
    const Case cases[] = {
        {"2.3, UTF-16 little-endian", Id3(3, "TIT2", {"\x01\xFF\xFEH\0i\0\xE9\0\0\0", 11}), "Hié"},
        {"2.4, UTF-16 big-endian", Id3(4, "TIT2", {"\x02\0H\0i", 5}), "Hi"},
        {"2.4, UTF-8", Id3(4, "TIT2", "\x03Gr\xC3\xBC\xC3\x9F"), "Grüß"},
        {"2.3, Latin-1", Id3(3, "TIT2", {"\x00Gr\xFC\xDF", 5}), "Grüß"},
        {"2.2", Id3(2, "TT2", {"\x00Old", 4}), "Old"},
        {"no title", Id3(3, "TALB", {"\x00Album", 6}), ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MetadataOf(kMp3Format, c.tag).title, c.title) << c.what;
    }
}

TEST(FormatTables, NamesAndOrder) {
    const std::span<const Format* const> carved = CarvedFormats();
    ASSERT_FALSE(carved.empty());
    EXPECT_EQ(carved.back()->family, Family::Text);
    for (const Format* f : carved) {
        EXPECT_EQ(FormatOf(f->family), f);
        EXPECT_STREQ(FamilyName(f->family), std::string(f->name).c_str());
    }
    struct Name {
        const char* name;
        Family family;
    };
    for (const Name& n : {Name{"a.CR2", Family::Tiff},
                          {"b.heif", Family::Heic},
                          {"c.xhtml", Family::Html},
                          {"d.svg", Family::Xml},
                          {"e.webp", Family::Riff},
                          {"f.txt", Family::Text},
                          {"g.dat", Family::Unknown},
                          {"noextension", Family::Unknown}}) {
        EXPECT_EQ(FamilyOfName(n.name), n.family) << n.name;
    }
}

}  // namespace
}  // namespace relicta::content
