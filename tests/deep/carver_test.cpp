// Carving: which sectors the pass notes as headers, which followed headers are files of their
// own, the names they get, and a drive carved whole (photos made by ImageMagick and exiftool
// at test time, skipped without them).

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/scan_state.h"
#include "content/formats/all_formats.h"
#include "content/formats/jpeg_decode.h"
#include "deep/carve_resolve.h"
#include "deep/carved_names.h"
#include "deep/carver.h"
#include "deep/deep_pass.h"
#include "deep/extent_reader.h"
#include "platform/scripted_platform.h"
#include "scan/found_files.h"
#include "support/paths.h"
#include "view/found_file_list.h"

namespace relicta::deep {
namespace {

constexpr int64_t kSector = kSectorBytes;

std::size_t IndexOf(const content::Format& format) {
    const auto formats = content::CarvedFormats();
    return static_cast<std::size_t>(std::find(formats.begin(), formats.end(), &format) -
                                    formats.begin());
}

void Put(std::vector<uint8_t>& drive, int64_t sector, std::string_view bytes) {
    std::memcpy(drive.data() + sector * kSector, bytes.data(), bytes.size());
}

constexpr std::string_view kJpegHead("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00", 11);
constexpr std::string_view kPngHead("\x89PNG\r\n\x1A\n\x00\x00\x00\x0DIHDR", 16);
const std::string kText(kSectorBytes, 'a');

std::vector<CarveHeader> Headers(const Carver& carver) {
    std::vector<CarveHeader> headers;
    for (std::size_t i = 0; i < carver.Count(); ++i) {
        headers.push_back(carver.At(i));
    }
    return headers;
}

TEST(CarverHeaders, SignaturesAtSectorStartsAndTextOnlyAfterWhatIsNot) {
    std::vector<uint8_t> drive(16 * kSectorBytes, 0x01);  // binary, no format's first byte
    Put(drive, 0, kJpegHead);
    Put(drive, 1, std::string(5, 'x') + std::string(kJpegHead));  // not at the sector's start
    Put(drive, 2, kText);                                         // text after binary: a header
    Put(drive, 3, kText);                                         // text after text: the same file
    Put(drive, 4, kPngHead);
    Put(drive, 5, kText);
    Put(drive, 8, kText);  // after the gap below: nothing came before
    Put(drive, 9, kText);
    Carver carver;
    const auto block = [&](int64_t first, int64_t sectors) {
        const std::span<const uint8_t> bytes(drive.data() + first * kSector,
                                             static_cast<std::size_t>(sectors * kSector));
        carver.Feed({first * kSector, bytes, bytes.size()});
    };
    block(0, 2);
    block(2, 4);  // follows on: sector 3's text continues sector 2's
    block(8, 2);  // sectors 6 and 7 are not read
    const std::size_t jpeg = IndexOf(content::kJpegFormat);
    const std::size_t png = IndexOf(content::kPngFormat);
    const std::size_t text = IndexOf(content::kTextFormat);
    const std::vector<CarveHeader> expected{{0, jpeg},
                                            {2 * kSector, text},
                                            {4 * kSector, png},
                                            {5 * kSector, text},
                                            {8 * kSector, text}};
    EXPECT_EQ(Headers(carver), expected);
    EXPECT_TRUE(carver.HasHeaderAt(4 * kSector));
    EXPECT_FALSE(carver.HasHeaderAt(3 * kSector));
    EXPECT_EQ(carver.LeftOutFrom(), -1);
}

CarvedFile Followed(int64_t sector, const content::Format& format, int64_t sectors,
                    bool good = true) {
    CarvedFile c;
    c.offset = sector * kSector;
    c.format = IndexOf(format);
    c.accepted = sectors > 0;
    c.good = good;
    c.size = static_cast<uint64_t>(sectors * kSector);
    if (sectors > 0) {
        c.extents = {{c.offset, c.size}};
    }
    return c;
}

TEST(CarveResolve, FilesListedOrHeldByAnotherAreNotListedAgain) {
    using Fate = CarveResolver::Fate;
    ListedFiles listed;
    listed.known.Add(100 * kSector, 10 * kSector);
    listed.guessed.Add(200 * kSector, 50 * kSector, 0);
    listed.guessedFamilies = {content::Family::Jpeg};
    CarveResolver resolver(listed);
    struct Case {
        const char* what;
        CarvedFile carved;
        bool decided;  // before it is followed
        Fate fate;
    };
    const Case cases[] = {
        {"a sound over a listed file", Followed(95, content::kRiffFormat, 10), false, Fate::Kept},
        {"in a listed file's known bytes", Followed(105, content::kPngFormat, 4), true,
         Fate::Listed},
        {"in a guessed run, of the kind its name promises", Followed(210, content::kJpegFormat, 4),
         true, Fate::Listed},
        {"in a guessed run, another kind whole", Followed(220, content::kPngFormat, 4), false,
         Fate::Kept},
        {"in a guessed run, another kind but a guess",
         Followed(230, content::kTextFormat, 4, false), false, Fate::Listed},
        {"a ZIP", Followed(300, content::kZipFormat, 100), false, Fate::Kept},
        {"a photo in the ZIP", Followed(310, content::kJpegFormat, 10), true, Fate::Embedded},
        {"a video", Followed(500, content::kMp4Format, 100), false, Fate::Kept},
        {"a photo in the video", Followed(550, content::kJpegFormat, 10), false, Fate::Embedded},
        {"another photo in the video", Followed(560, content::kJpegFormat, 10), true,
         Fate::Embedded},
        {"nothing that checks out", Followed(700, content::kJpegFormat, 0), false, Fate::Refused},
        {"a page", Followed(800, content::kHtmlFormat, 4), false, Fate::Kept},
        {"the page read as another format", Followed(800, content::kXmlFormat, 4), true,
         Fate::Embedded},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(resolver.Decided(c.carved.offset, c.carved.format), c.decided) << c.what;
        EXPECT_EQ(resolver.Take(c.carved), c.fate) << c.what;
    }
    // A checksummed ZIP holds the photo; a video cannot show it does not run over one.
    const std::vector<CarvedFile>& kept = resolver.Kept();
    ASSERT_EQ(kept.size(), 5U);
    EXPECT_FALSE(kept[0].good);  // the sound over the listed file
    EXPECT_TRUE(kept[2].good);   // the ZIP
    EXPECT_FALSE(kept[3].good);  // the video
    EXPECT_TRUE(kept[4].good);   // the page
}

TEST(CarvedNames, FromMetadataFitForFatAndNewInTheFolder) {
    content::Metadata photo;
    photo.time = {2024, 6, 1, 14, 3, 22, false};
    photo.camera = "Canon EOS 80D";
    content::Metadata song;
    song.artist = "The Band";
    song.title = "Who? / What: \"Now\"";
    content::Metadata noDate;
    noDate.time = {0, 0, 0, 0, 0, 0, false};
    noDate.title = "  ...  ";
    content::Metadata longTitle;
    longTitle.title = std::string(300, 'T');
    struct Case {
        content::Metadata metadata;
        std::string_view extension;
        uint64_t sector;
        std::string name;
    };
    const Case cases[] = {
        {photo, "jpg", 10, "2024-06-01 14-03-22 Canon EOS 80D.jpg"},
        {photo, "jpg", 99, "2024-06-01 14-03-22 Canon EOS 80D (sector 99).jpg"},
        {song, "mp3", 11, "The Band - Who_ _ What_ _Now_.mp3"},
        {noDate, "txt", 12, "Sector 12.txt"},
        {{}, "JPG", 13, "Sector 13.JPG"},
        {longTitle, "pdf", 14, std::string(120, 'T') + ".pdf"},
    };
    CarvedNames names;
    for (const Case& c : cases) {
        EXPECT_EQ(names.Give("C:\\$Carved\\X", NameFromMetadata(c.metadata), c.extension, c.sector),
                  c.name);
    }
    // Another folder has names of its own.
    EXPECT_EQ(names.Give("C:\\$Carved\\Y", "", "jpg", 10), "Sector 10.jpg");
    EXPECT_EQ(FileTimeOfStated(noDate.time), 0U);
    EXPECT_NE(FileTimeOfStated(photo.time), 0U);
}

class CarveDriveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        app::ResetScanState();
        scan::ClearFoundFiles();
        drive_.bytes.assign(std::size_t{8} << 20, 0);
    }
    void TearDown() override { scan::ClearFoundFiles(); }

    // The JPEG a shell command line writes as "out" in a fresh directory; empty when the tools
    // are missing.
    static std::vector<uint8_t> Made(const std::string& commands) {
        const std::filesystem::path dir = std::filesystem::path(test::BuildDir()) / "carver_test";
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        if (test::RunCommand("cd '" + dir.string() + "' && " + commands).status != 0) {
            return {};
        }
        std::ifstream in(dir / "out", std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    void Place(const std::vector<uint8_t>& bytes, int64_t sector) {
        std::copy(bytes.begin(), bytes.end(), drive_.bytes.begin() + sector * kSector);
    }

    // The pass and the carving over the whole drive.
    void Carve() {
        const platform::ScopedPlatform scoped(os_);
        const platform::Handle h = os_.OpenVolume('C');
        Carver carver;
        Finder* const finders[] = {&carver};
        const int64_t length = static_cast<int64_t>(drive_.bytes.size());
        RunPass(h, {{0, length}}, finders);
        scan::CompiledPattern pattern("*");
        scan::ScanContext context{list_, scan::ScanFilters{"*", &pattern, false}};
        CurrentVolume current;
        current.length = length;
        std::vector<std::string> notes;
        CarveFiles(context, carver, {h, 'C', length, &current, {}}, 0, notes);
        os_.CloseHandle(h);
    }

    platform::ScriptedPlatform os_;
    platform::ScriptedDrive& drive_ = os_.Drive('C');
    view::MemoryFileList list_;
};

TEST_F(CarveDriveTest, PhotosNamedFromExifTheirCopiesApartWhatIsListedLeftOut) {
    const std::vector<uint8_t> photo = Made(
        "/usr/bin/convert -seed 3 -size 160x120 plasma: -quality 85 p.jpg && exiftool -q "
        "-overwrite_original -Make=Canon '-Model=Canon EOS 80D' "
        "'-DateTimeOriginal=2024:06:01 14:03:22' p.jpg && mv p.jpg out");
    if (photo.empty()) {
        GTEST_SKIP() << "needs ImageMagick and exiftool";
    }
    Place(photo, 16);
    Place(photo, 4096);
    Place(photo, 8192);
    // The third copy is a file the list holds already (an old directory's entry, say).
    scan::FoundFile listed;
    listed.name = "mine.jpg";
    listed.size = static_cast<int64_t>(photo.size());
    listed.foundBy = scan::FoundBy::Directory;
    listed.SetDeep({{{8192 * kSector, photo.size()}}, {}, false});
    scan::AddFoundFile(list_, std::move(listed));
    Carve();
    ASSERT_EQ(scan::foundFiles.size(), 3U);
    const std::string stem = "2024-06-01 14-03-22 Canon EOS 80D";
    const std::pair<std::string, int64_t> expected[] = {{stem + ".jpg", 16},
                                                        {stem + " (sector 4096).jpg", 4096}};
    for (std::size_t i = 0; i < 2; ++i) {
        const scan::FoundFile& f = scan::foundFiles[i + 1];
        EXPECT_EQ(f.name, expected[i].first);
        EXPECT_EQ(f.dir, "C:\\$Carved\\JPEG");
        EXPECT_EQ(f.size, static_cast<int64_t>(photo.size()));
        EXPECT_EQ(f.condition, scan::kGood);
        EXPECT_EQ(f.foundBy, scan::FoundBy::Carved);
        EXPECT_EQ(f.mftOrCluster, static_cast<uint32_t>(expected[i].second));
        ASSERT_NE(f.Deep(), nullptr);
        EXPECT_EQ(f.Deep()->extents.front().offset, expected[i].second * kSector);
    }
}

TEST_F(CarveDriveTest, APhotoCutShortOrOverwrittenIsNoFile) {
    const std::vector<uint8_t> photo = Made(
        "/usr/bin/convert -seed 4 -size 320x240 plasma: -quality 90 out.jpg && mv out.jpg out");
    if (photo.empty()) {
        GTEST_SKIP() << "needs ImageMagick";
    }
    ASSERT_TRUE(content::DecodesCleanly(photo));
    std::vector<uint8_t> cut(photo.begin(),
                             photo.begin() + static_cast<std::ptrdiff_t>(photo.size() / 2));
    EXPECT_FALSE(content::DecodesCleanly(cut));
    std::vector<uint8_t> overwritten = photo;
    // Bytes that keep the markers whole (no 0xFF) but are not the photo's, nor text.
    std::fill(overwritten.begin() + 2048, overwritten.begin() + 4096, 0x83);
    EXPECT_FALSE(content::DecodesCleanly(overwritten));
    Place(cut, 16);
    Place(overwritten, 4096);
    Carve();
    EXPECT_TRUE(scan::foundFiles.empty());
}

TEST(ExtentReaderTest, ReadsExtentsEndToEndZerosWhereSparseFailsPastThem) {
    platform::ScriptedPlatform os;
    platform::ScriptedDrive& drive = os.Drive('C');
    drive.bytes.resize(4096);
    for (std::size_t i = 0; i < drive.bytes.size(); ++i) {
        drive.bytes[i] = static_cast<uint8_t>(i / 16);
    }
    const platform::ScopedPlatform scoped(os);
    const platform::Handle h = os.OpenVolume('C');
    ExtentReader reader(h, {{1024, 16}, {scan::DeepExtent::kZeros, 8}, {0, 0}, {4000, 96}}, 100);
    std::vector<uint8_t> out(28);
    ASSERT_TRUE(reader.Read(4, out));
    EXPECT_EQ(out[0], 64);    // drive byte 1028
    EXPECT_EQ(out[11], 64);   // the first extent's last byte
    EXPECT_EQ(out[12], 0);    // the sparse one
    EXPECT_EQ(out[20], 250);  // drive byte 4000
    std::vector<uint8_t> past(10);
    EXPECT_FALSE(reader.Read(95, past));  // beyond the size
    ExtentReader beyondDrive(h, {{4090, 100}}, 100);
    EXPECT_FALSE(beyondDrive.Read(0, past));  // the drive ends first
    std::vector<content::StoredRange> ranges;
    ASSERT_TRUE(reader.Locate(30, ranges));
    ASSERT_EQ(ranges.size(), 3U);
    EXPECT_EQ(ranges[1].volumeOffset, content::StoredRange::kZeros);
    EXPECT_EQ(ranges[2].volumeOffset, 4000);
    EXPECT_EQ(ranges[2].length, 6U);
    os.CloseHandle(h);
}

}  // namespace
}  // namespace relicta::deep
