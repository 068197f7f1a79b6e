// The NTFS reader against volumes written by mkntfs and ntfs-3g, with The Sleuth Kit as
// the independent reader.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

#include "app/recording_dialogs.h"
#include "ntfs/attribute.h"
#include "ntfs/attribute_data.h"
#include "ntfs/bitmaps.h"
#include "ntfs/mft_layout.h"
#include "ntfs/ntfs_volume.h"
#include "platform/drive_table.h"
#include "platform/linux_platform.h"
#include "support/corpus.h"
#include "support/paths.h"
#include "volume/vcb.h"

namespace relicta::ntfs {
namespace {

using test::FixturePath;
using test::RunCommand;

// Compares two byte strings, reporting sizes and the first difference instead of the bytes.
::testing::AssertionResult SameBytes(const std::string& ours, const std::string& theirs) {
    const auto mismatch = std::mismatch(ours.begin(), ours.end(), theirs.begin(), theirs.end());
    if (ours.size() == theirs.size() && mismatch.first == ours.end()) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "ours " << ours.size() << " bytes, theirs " << theirs.size()
           << " bytes, first difference at " << (mismatch.first - ours.begin());
}

struct NtfsFixture {
    const char* image;
    char letter;  // which drive of the image holds the NTFS volume
};

const NtfsFixture kFixtures[] = {
    {"ntfs512.img", 'C'}, {"ntfs4k.img", 'C'}, {"ntfs4ksec.img", 'C'},
    {"mbr.img", 'D'},     {"gpt.img", 'D'},
};

class NtfsFixtureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::HaveTool("icat")) {
            GTEST_SKIP() << "The Sleuth Kit is not installed";
        }
    }
    void TearDown() override {
        if (DefragInProgress) {
            CloseNtfsVolume(volume::Vcb->hVolume);
        }
    }

    platform::Handle Open(const NtfsFixture& f) {
        drives.Clear();
        EXPECT_TRUE(drives.Attach(FixturePath(f.image), std::nullopt).ok());
        const std::optional<platform::Handle> h = OpenNtfsVolume(f.letter);
        EXPECT_TRUE(h && platform::IsOpenHandle(*h));
        EXPECT_TRUE(dialogs.shown.empty())
            << dialogs.shown[0].caption << ": " << dialogs.shown[0].text;
        offsetSectors = drives.Find(f.letter)->offset / 512;
        return h.value_or(platform::kNoHandle);
    }

    std::string Icat(const NtfsFixture& f, const std::string& address) {
        return RunCommand("icat -o " + std::to_string(offsetSectors) + " '" + FixturePath(f.image) +
                          "' " + address)
            .out;
    }

    std::string Read(platform::Handle h, uint32_t number, uint32_t type, bool raw) {
        const MftRecordPtr record = ReadMftRecord(h, number, true);
        EXPECT_TRUE(record) << number;
        const std::optional<Attribute> a = FindAttribute(h, record, type);
        EXPECT_TRUE(a) << number;
        if (!a)
            return {};
        std::optional<AttributeData> data = ReadAttributeData(h, *a, 0, Get_Attr_Datasize(a), raw);
        const bytes::Bytes bytes = data->Data();
        return std::string(bytes.begin(), bytes.end());
    }

    // Record numbers whose $FILE_NAME is `name`, in use or not.
    std::vector<uint32_t> RecordsNamed(platform::Handle h, const std::u16string& name) {
        std::vector<uint32_t> found;
        for (uint32_t n = 16; n < MftRecordCount(); ++n) {
            MftRecordPtr r = ReadMftRecord(h, n, true);
            if (!r)
                continue;
            for (int i = 0; i < 4; ++i) {
                const std::optional<Attribute> fn = FindAttribute(h, r, kFileName, std::nullopt, i);
                if (!fn)
                    break;
                const bytes::Bytes v = ResidentValue(*fn);
                if (v.size() < 66)
                    continue;
                std::u16string n16;
                for (std::size_t c = 0; c < v[64] && 66 + 2 * c + 1 < v.size(); ++c) {
                    n16.push_back(static_cast<char16_t>(v[66 + 2 * c] | (v[67 + 2 * c] << 8)));
                }
                if (n16 == name) {
                    found.push_back(n);
                    break;
                }
            }
            if (n >= kCachedLowRecords)
                ReleaseMftRecord(r);
        }
        return found;
    }

    platform::DriveTable drives;
    platform::LinuxPlatform os{drives};
    platform::ScopedPlatform installed{os};
    app::RecordingDialogs dialogs;
    app::ScopedDialogs installedDialogs{dialogs};
    uint64_t offsetSectors = 0;
};

TEST_F(NtfsFixtureTest, MftAndBitmapsReadLikeIcat) {
    for (const NtfsFixture& f : kFixtures) {
        SCOPED_TRACE(f.image);
        const platform::Handle h = Open(f);
        EXPECT_TRUE(SameBytes(Read(h, MASTER_FILE_TABLE_NUMBER, kData, true), Icat(f, "0")));
        EXPECT_TRUE(SameBytes(Read(h, MASTER_FILE_TABLE_NUMBER, kBitmap, true), Icat(f, "0-176")));
        EXPECT_TRUE(SameBytes(Read(h, kVolumeBitmapRecord, kData, true), Icat(f, "6")));
        const std::string bitmap = Icat(f, "6");
        EXPECT_TRUE(SameBytes(std::string(VolumeBitmap.begin(), VolumeBitmap.end()),
                              bitmap.substr(0, VolumeBitmap.size())));
        CloseNtfsVolume(h);
    }
}

TEST_F(NtfsFixtureTest, CompressedFilesExpandToTheirContent) {
    for (const NtfsFixture& f : kFixtures) {
        SCOPED_TRACE(f.image);
        const platform::Handle h = Open(f);
        if (volume::Vcb->BytesPerCluster > 4096) {
            continue;  // NTFS compresses only up to 4 KiB clusters
        }
        int compressed = 0;
        for (const char16_t* name : {u"live.txt", u"gone.txt", u"noise.bin"}) {
            for (uint32_t n : RecordsNamed(h, name)) {
                const MftRecordPtr r = ReadMftRecord(h, n, true);
                const std::optional<Attribute> data = FindAttribute(h, r, kData, u"");
                ASSERT_TRUE(data);
                compressed += data->AttributeFlags() != 0 ? 1 : 0;
                EXPECT_TRUE(SameBytes(Read(h, n, kData, false), Icat(f, std::to_string(n))))
                    << "record " << n;
            }
        }
        EXPECT_EQ(compressed, 3);
        CloseNtfsVolume(h);
    }
}

TEST_F(NtfsFixtureTest, DeletedCompressedFilesMatchTheManifest) {
    std::ifstream manifest(test::SourcePath("tests/data/manifest.tsv"));
    std::map<std::string, std::string> sums;  // "volume/name" -> sha256
    std::string line;
    while (std::getline(manifest, line)) {
        std::vector<std::string> fields;
        std::stringstream in(line);
        for (std::string field; std::getline(in, field, '\t');)
            fields.push_back(field);
        if (fields.size() >= 7 && fields[6].find("compressed") != std::string::npos) {
            sums[fields[0] + "/" + fields[2]] = fields[5];
        }
    }
    const NtfsFixture f = {"ntfs512.img", 'C'};
    const platform::Handle h = Open(f);
    for (const auto& [name, sum] : std::map<std::string, std::string>{
             {"gone.txt", sums["ntfs512/gone.txt"]}, {"noise.bin", sums["ntfs512/noise.bin"]}}) {
        ASSERT_FALSE(sum.empty()) << name;
        const std::vector<uint32_t> records =
            RecordsNamed(h, std::u16string(name.begin(), name.end()));
        ASSERT_EQ(records.size(), 1u);
        EXPECT_FALSE(BitSet(mftbitmapptr, records[0]));  // deleted: its record is free
        const std::string content = Read(h, records[0], kData, false);
        char path[] = "/tmp/relicta-content-XXXXXX";
        const int fd = ::mkstemp(path);
        ASSERT_EQ(::write(fd, content.data(), content.size()),
                  static_cast<ssize_t>(content.size()));
        ::close(fd);
        EXPECT_EQ(RunCommand(std::string("sha256sum ") + path).out.substr(0, 64), sum) << name;
        std::remove(path);
    }
}

// Every compressed file of the real volumes (written by Windows and others) expands to what
// icat gives.
TEST_F(NtfsFixtureTest, CorpusCompressedFilesExpandLikeIcat) {
    int compared = 0;
    for (const char* name : {"ntfs-gontfs-compressed", "ntfs-msuhanov-ramslack"}) {
        const std::optional<test::CorpusVolume> entry = test::FindCorpusVolume(name);
        if (!entry) {
            continue;
        }
        SCOPED_TRACE(name);
        const std::string image = test::UnpackedCorpusImage(*entry);
        ASSERT_FALSE(image.empty());
        drives.Clear();
        ASSERT_TRUE(drives.Attach(image, std::nullopt).ok());
        const std::optional<platform::Handle> h = OpenNtfsVolume('C');
        ASSERT_TRUE(h && platform::IsOpenHandle(*h));
        offsetSectors = drives.Find('C')->offset / 512;
        for (uint32_t n = 16; n < MftRecordCount(); ++n) {
            const MftRecordPtr r = ReadMftRecord(*h, n, true);
            const std::optional<Attribute> data =
                r ? FindAttribute(*h, r, kData, u"") : std::nullopt;
            const bool extension =
                r && bytes::U64(r->View(), 32) != 0;  // holds part of another record
            if (!data || extension || !data->IsCompressed() || !BitSet(mftbitmapptr, n))
                continue;
            const std::string theirs = RunCommand("icat -o " + std::to_string(offsetSectors) +
                                                  " '" + image + "' " + std::to_string(n))
                                           .out;
            EXPECT_TRUE(SameBytes(Read(*h, n, kData, false), theirs)) << "record " << n;
            ++compared;
        }
        EXPECT_TRUE(dialogs.shown.empty());
        CloseNtfsVolume(*h);
    }
    if (compared == 0) {
        GTEST_SKIP() << "no corpus";
    }
}

TEST(InfoCommand, AgreesWithFsstatAndBlkls) {
    if (!test::HaveTool("fsstat")) {
        GTEST_SKIP() << "The Sleuth Kit is not installed";
    }
    const std::regex field(R"(^([a-zA-Z ()]+?)\s{2,}(.*)$)");
    for (const char* image :
         {"ntfs512.img", "ntfs4k.img", "ntfs4ksec.img", "fat12.img", "fat16.img", "fat32.img"}) {
        SCOPED_TRACE(image);
        const test::CommandResult r =
            RunCommand(test::RelictaBinary() + " info " + FixturePath(image));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        std::map<std::string, std::string> info;
        std::stringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
            std::smatch m;
            if (std::regex_match(line, m, field))
                info[m[1]] = m[2];
        }
        const std::string fsstat = RunCommand(std::string("fsstat ") + FixturePath(image)).out;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(fsstat, m, std::regex(R"(Cluster Size: (\d+))")));
        EXPECT_EQ(info["bytes per cluster"], m[1]);
        ASSERT_TRUE(
            std::regex_search(fsstat, m, std::regex(R"(Total Cluster Range: (\d+) - (\d+))")));
        EXPECT_EQ(std::stoll(info["total clusters"]), std::stoll(m[2]) - std::stoll(m[1]) + 1);
        if (info["file system"] == "NTFS") {
            ASSERT_TRUE(std::regex_search(fsstat, m, std::regex(R"(Size of MFT Entries: (\d+))")));
            EXPECT_EQ(info["MFT record size"], m[1]);
            const std::string allocated =
                RunCommand(std::string("blkls -a -l ") + FixturePath(image) + " | grep -c '|a$'")
                    .out;
            EXPECT_EQ(std::stoll(info["clusters in use"]), std::stoll(allocated));
            const std::string bitmap =
                RunCommand(std::string("icat ") + FixturePath(image) + " 0-176").out;
            int64_t inUse = 0;
            const int64_t records = std::stoll(info["MFT records"]);
            for (int64_t i = 0; i < records; ++i)
                inUse += (bitmap[i / 8] >> (i % 8)) & 1;
            EXPECT_EQ(std::stoll(info["MFT records in use"]), inUse);
        } else {
            // fsstat lists the FAT's chains in sectors.
            int64_t sectors = 0;
            const std::string chains = fsstat.substr(fsstat.find("FAT CONTENTS"));
            const std::regex chain(R"(\((\d+)\) ->)");
            for (std::sregex_iterator it(chains.begin(), chains.end(), chain), end; it != end;
                 ++it) {
                sectors += std::stoll((*it)[1]);
            }
            ASSERT_TRUE(std::regex_search(fsstat, m, std::regex(R"(Sector Size: (\d+))")));
            EXPECT_EQ(std::stoll(info["clusters in use"]),
                      sectors * std::stoll(m[1]) / std::stoll(info["bytes per cluster"]));
        }
    }
}

}  // namespace
}  // namespace relicta::ntfs
