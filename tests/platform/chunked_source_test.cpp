// E01 and QCOW2 images read directly: every byte as the raw image holds it, whatever the
// chunk size, compression and segments; a damaged E01 table read from its copy; a damaged
// chunk a failed read.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "platform/ewf_layout.h"
#include "platform/image_source.h"
#include "platform/last_error.h"
#include "support/paths.h"
#include "bytes/le_bytes.h"

namespace relicta::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes Load(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void Store(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// Where the first section of type `type` begins in a segment file.
std::size_t SectionAt(const Bytes& segment, const std::string& type) {
    namespace section = platform::ewf::section;
    for (std::size_t at = platform::ewf::file_header::Bytes;
         at + section::Bytes <= segment.size();) {
        const char* name = reinterpret_cast<const char*>(segment.data() + at);
        if (type == std::string(name, strnlen(name, section::TypeBytes))) {
            return at;
        }
        const uint64_t next = bytes::U64(segment, at + section::Next);
        if (next <= at) {
            break;
        }
        at = static_cast<std::size_t>(next);
    }
    ADD_FAILURE() << "no " << type << " section";
    return 0;
}

// Flips a byte `into` bytes past the data of section `type`.
std::function<void(Bytes&)> Flip(const std::string& type, std::size_t into) {
    return [type, into](Bytes& segment) {
        segment[SectionAt(segment, type) + platform::ewf::section::Bytes + into] ^= 0x5A;
    };
}

TEST(ChunkedContainers, ReadEveryByteAsTheRawImageHoldsIt) {
    if (!HaveTool("ewfacquire") || !HaveTool("qemu-img")) {
        GTEST_SKIP() << "ewfacquire or qemu-img is not installed";
    }
    const fs::path work =
        fs::temp_directory_path() / ("relicta-chunked-" + std::to_string(::getpid()));
    fs::create_directories(work);
    const Bytes whole = Load(FixturePath("mbr.img"));
    struct Case {
        const char* what;
        const char* make;                    // writes d.E01 (or `first`) from disk.img
        std::function<void(Bytes&)> damage;  // done to the first segment
        bool chunksFail;                     // some reads fail; the others still match
        std::size_t trim = 0;                // bytes the disk lacks: its last chunk is short
        const char* first = "d.E01";
    };
    const std::size_t firstEntries = platform::ewf::table::HeaderBytes + 8;
    const char* const kQcow = "d.qcow2";
    const Case cases[] = {
        {"E01 deflated, one segment", "ewfacquire -c fast -S 100MiB", nullptr, false},
        {"E01 stored, in segments, 8 KiB chunks", "ewfacquire -c none -S 1MiB -b 16", nullptr,
         false},
        {"E01 with a damaged table, read from its copy", "ewfacquire -c fast -S 100MiB",
         Flip("table", firstEntries), false},
        {"E01 with a stored chunk damaged", "ewfacquire -c none -S 100MiB", Flip("sectors", 70000),
         true},
        {"E01 deflated, the last chunk short", "ewfacquire -c fast -S 100MiB", nullptr, false,
         1536},
        {"E01 stored, the last chunk short", "ewfacquire -c none -S 100MiB", nullptr, false, 1536},
        {"SMART: no checksum of the entries, chunks inside the table section",
         "ewfacquire -f smart -c fast -S 20MiB", nullptr, false, 0, "d.s01"},
        {"QCOW2", "qemu-img convert -O qcow2", nullptr, false, 0, kQcow},
        {"QCOW2 version 2, deflated, the last cluster short",
         "qemu-img convert -c -o compat=0.10 -O qcow2", nullptr, false, 1536, kQcow},
        {"QCOW2 of 512-byte clusters, metadata preallocated",
         "qemu-img convert -o cluster_size=512,preallocation=metadata -O qcow2", nullptr, false, 0,
         kQcow},
        {"QCOW2 deflated, 2 MiB clusters", "qemu-img convert -c -o cluster_size=2M -O qcow2",
         nullptr, false, 0, kQcow},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(work);
        fs::create_directories(work);
        const Bytes disk(whole.begin(), whole.end() - static_cast<std::ptrdiff_t>(c.trim));
        const std::string raw = (work / "disk.img").string();
        Store(raw, disk);
        std::string command = c.make;
        if (command.starts_with("ewfacquire")) {
            command += " -u -q -t '" + (work / "d").string() + "' '" + raw + "' >/dev/null";
        } else {
            command += " '" + raw + "' '" + (work / c.first).string() + "'";
        }
        const CommandResult made = RunCommand(command);
        ASSERT_EQ(made.status, 0) << made.err;
        if (c.damage) {
            Bytes segment = Load(work / c.first);
            c.damage(segment);
            Store(work / c.first, segment);
        }
        platform::OpenedImage image = platform::OpenImage((work / c.first).string());
        ASSERT_TRUE(image.source) << image.error;
        ASSERT_EQ(image.source->Size(), disk.size());
        // Reads of every size, none aligned to a chunk, and one across the disk's end.
        std::size_t failed = 0;
        std::size_t step = 1;
        for (std::size_t at = 0; at < disk.size(); at += step, step = step * 7 % 300007 + 1) {
            Bytes got(step);
            std::size_t n = 0;
            if (!image.source->ReadAt(at, got, n)) {
                EXPECT_EQ(platform::GetLastError(), EIO);
                ++failed;
                continue;
            }
            ASSERT_EQ(n, std::min(step, disk.size() - at)) << "at " << at;
            ASSERT_EQ(std::memcmp(got.data(), disk.data() + at, n), 0) << "at " << at;
        }
        EXPECT_EQ(failed != 0, c.chunksFail);
    }
    fs::remove_all(work);
}

}  // namespace
}  // namespace relicta::test
