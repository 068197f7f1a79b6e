// Disk images in containers, made at test time from the committed fixtures with real tools
// (qemu-img, ewfacquire, split): every format must give the list and the recovered files of
// the raw image; a damaged container one message that names it, and no crash or hang.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/paths.h"

namespace relicta::test {
namespace {

namespace fs = std::filesystem;

struct Format {
    const char* name;
    const char* make;   // a shell command: $RAW is the raw image, $OUT the container's stem
    const char* open;   // the file relicta is given, below $OUT's directory
    const char* shown;  // what the drives list says of it
};

const Format kFormats[] = {
    {"QCOW2", "qemu-img convert -O qcow2 $RAW $OUT.qcow2", "$OUT.qcow2", "(QCOW2)"},
    {"QCOW2 compressed", "qemu-img convert -c -O qcow2 $RAW $OUT.qcow2", "$OUT.qcow2", "(QCOW2)"},
    {"VHD dynamic", "qemu-img convert -O vpc $RAW $OUT.vhd", "$OUT.vhd", "(VHD)"},
    {"VHD fixed", "qemu-img convert -O vpc -o subformat=fixed $RAW $OUT.vhd", "$OUT.vhd", "(VHD)"},
    {"VHDX", "qemu-img convert -O vhdx $RAW $OUT.vhdx", "$OUT.vhdx", "(VHDX)"},
    {"VMDK sparse", "qemu-img convert -O vmdk $RAW $OUT.vmdk", "$OUT.vmdk", "(VMDK)"},
    {"VMDK streamOptimized", "qemu-img convert -O vmdk -o subformat=streamOptimized $RAW $OUT.vmdk",
     "$OUT.vmdk", "(VMDK)"},
    {"VMDK descriptor and flat extent",
     "qemu-img convert -O vmdk -o subformat=monolithicFlat $RAW $OUT.vmdk", "$OUT.vmdk", "(VMDK)"},
    {"E01 in segments", "ewfacquire -u -q -c fast -S 1MiB -t $OUT $RAW >/dev/null", "$OUT.E01",
     "(E01, "},
    {"split raw", "split -b 7000000 -d -a 3 --numeric-suffixes=1 $RAW $OUT.", "$OUT.001",
     "(split raw, "},
};

const char* const kImages[] = {"mbr.img", "exfatmbr.img"};

// `text` with $RAW and $OUT replaced; quoted for the shell when `quote`.
std::string Substitute(std::string text, const std::string& raw, const std::string& out,
                       bool quote = true) {
    const std::string q = quote ? "'" : "";
    for (const auto& [key, value] :
         {std::pair<std::string, std::string>{"$RAW", q + raw + q}, {"$OUT", q + out + q}}) {
        for (std::size_t at; (at = text.find(key)) != std::string::npos;) {
            text.replace(at, key.size(), value);
        }
    }
    return text;
}

std::string Relicta(const std::string& args) {
    const CommandResult r = RunCommand("TZ=UTC " + RelictaBinary() + " " + args);
    EXPECT_EQ(r.status, 0) << args << "\n" << r.err;
    return r.out;
}

// The recovered tree: every file's path and SHA-256.
std::string Recovered(const std::string& image, const fs::path& to) {
    Relicta("recover --all --yes --keep-paths --to '" + to.string() + "' '" + image + "'");
    return RunCommand("cd '" + to.string() +
                      "' && find . -type f -print0 | sort -z | xargs -0r sha256sum")
        .out;
}

class ContainersTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HaveTool("qemu-img") || !HaveTool("ewfacquire")) {
            GTEST_SKIP() << "qemu-img or ewfacquire is not installed";
        }
        work = fs::temp_directory_path() / ("relicta-containers-" + std::to_string(::getpid()));
        fs::remove_all(work);
        fs::create_directories(work);
    }
    void TearDown() override { fs::remove_all(work); }
    fs::path work;
};

TEST_F(ContainersTest, EveryFormatGivesTheRawImagesListAndFiles) {
    for (const char* image : kImages) {
        const std::string raw = FixturePath(image);
        const std::string list = Relicta("scan --format json '" + raw + "'");
        const std::string files = Recovered(raw, work / "raw");
        ASSERT_FALSE(list.empty());
        for (const Format& f : kFormats) {
            SCOPED_TRACE(std::string(image) + " as " + f.name);
            const fs::path dir = work / f.name;
            fs::create_directories(dir);
            const std::string out = (dir / "disk").string();
            const CommandResult made = RunCommand(Substitute(f.make, raw, out));
            ASSERT_EQ(made.status, 0) << made.err;
            const std::string path = Substitute(f.open, raw, out, false);
            EXPECT_NE(Relicta("drives --volume '" + path + "'").find(f.shown), std::string::npos);
            EXPECT_EQ(Relicta("scan --format json '" + path + "'"), list);
            EXPECT_EQ(Recovered(path, dir / "recovered"), files);
            fs::remove_all(dir);
        }
        fs::remove_all(work / "raw");
    }
}

TEST_F(ContainersTest, ADamagedContainerIsNamedWithItsReason) {
    const std::string raw = FixturePath("mbr.img");
    const std::string out = (work / "disk").string();
    struct Case {
        const char* what;
        const char* make;
        const char* open;
        const char* says;  // in the one message; nullptr: the container opens, reads may fail
    };
    const Case cases[] = {
        {"QCOW2 truncated",
         "qemu-img convert -O qcow2 $RAW $OUT.qcow2 && truncate -s 100000 $OUT.qcow2", "$OUT.qcow2",
         "cannot read the QCOW2 image: "},
        {"VHDX truncated",
         "qemu-img convert -O vhdx $RAW $OUT.vhdx && truncate -s 3000000 $OUT.vhdx", "$OUT.vhdx",
         "cannot read the VHDX image: "},
        {"E01 with a segment removed",
         "ewfacquire -u -q -c none -S 1MiB -t $OUT $RAW >/dev/null && rm $OUT.E03", "$OUT.E01",
         "cannot read the E01 image: "},
        {"E01 truncated",
         "ewfacquire -u -q -c fast -S 100MiB -t $OUT $RAW >/dev/null && truncate -s 300000 "
         "$OUT.E01",
         "$OUT.E01", "cannot read the E01 image: "},
        {"E01 section header corrupted",
         "ewfacquire -u -q -c fast -S 100MiB -t $OUT $RAW >/dev/null && printf XXXX | dd "
         "of=$OUT.E01 bs=1 seek=40 conv=notrunc status=none",
         "$OUT.E01", "cannot read the E01 image: "},
        {"split raw with a piece removed",
         "split -b 7000000 -d -a 3 --numeric-suffixes=1 $RAW $OUT. && rm $OUT.004", "$OUT.001",
         "piece "},
        {"VHD block table zeroed",
         "qemu-img convert -O vpc $RAW $OUT.vhd && dd if=/dev/zero of=$OUT.vhd bs=512 seek=3 "
         "count=4 conv=notrunc status=none",
         "$OUT.vhd", nullptr},
        {"VMDK grain tables corrupted",
         "qemu-img convert -O vmdk $RAW $OUT.vmdk && dd if=/dev/urandom of=$OUT.vmdk bs=512 "
         "seek=21 count=64 conv=notrunc status=none",
         "$OUT.vmdk", nullptr},
        {"E01 chunk data corrupted",
         "ewfacquire -u -q -c none -S 1MiB -t $OUT $RAW >/dev/null && dd if=/dev/urandom "
         "of=$OUT.E02 bs=4096 seek=20 count=8 conv=notrunc status=none",
         "$OUT.E01", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const fs::path& p : fs::directory_iterator(work)) {
            fs::remove_all(p);
        }
        const CommandResult made = RunCommand(Substitute(c.make, raw, out));
        ASSERT_EQ(made.status, 0) << made.err;
        const std::string path = Substitute(c.open, raw, out, false);
        const CommandResult r =
            RunCommand("timeout 20 " + RelictaBinary() + " scan --on-check=ignore '" + path + "'");
        if (c.says != nullptr) {
            EXPECT_EQ(r.status, 2) << r.err;
            EXPECT_NE(r.err.find(path + ": "), std::string::npos) << r.err;
            EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        } else {
            // 5: the container's unreadable chunks were read as unreadable sectors.
            EXPECT_TRUE(r.status == 0 || r.status == 2 || r.status == 3 || r.status == 5)
                << r.status << r.err;
        }
    }
}

}  // namespace
}  // namespace relicta::test
