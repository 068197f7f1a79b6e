#include "support/large_fat.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <vector>

#include "support/paths.h"

namespace relicta::test {
namespace {

constexpr uint32_t kSectorBytes = 512;
constexpr uint32_t kClusterBytes = 4096;
constexpr uint32_t kEntryBytes = 32;
constexpr std::size_t kEntriesPerDirectory = 65536;
constexpr uint32_t kClustersPerDirectory =
    static_cast<uint32_t>(kEntriesPerDirectory * kEntryBytes / kClusterBytes);
constexpr uint32_t kEndOfChain = 0x0FFFFFFF;
constexpr uint8_t kDeleted = 0xE5;

void Put16(std::vector<uint8_t>& b, std::size_t at, uint16_t v) {
    b[at] = v & 0xFF;
    b[at + 1] = v >> 8;
}

// `name83`: the 11 bytes of an 8.3 name, blank padded.
std::vector<uint8_t> Entry(const char* name83, uint8_t attributes, uint32_t cluster) {
    std::vector<uint8_t> e(kEntryBytes, 0);
    std::copy(name83, name83 + 11, e.begin());
    e[11] = attributes;
    Put16(e, 20, static_cast<uint16_t>(cluster >> 16));
    Put16(e, 26, static_cast<uint16_t>(cluster & 0xFFFF));
    Put16(e, 24, (42 << 9) | (1 << 5) | 2);  // 2022-01-02
    return e;
}

}  // namespace

bool MakeLargeFat32(const std::string& path) {
    std::remove(path.c_str());
    const CommandResult made =
        RunCommand("mkfs.fat -F 32 -s 8 -S 512 -C '" + path + "' 1048576 >/dev/null");
    std::fstream image(path, std::ios::in | std::ios::out | std::ios::binary);
    if (made.status != 0 || !image) {
        return false;
    }
    std::vector<uint8_t> boot(kSectorBytes);
    image.read(reinterpret_cast<char*>(boot.data()), kSectorBytes);
    const uint32_t reserved = boot[14] | boot[15] << 8;
    const uint32_t fats = boot[16];
    const uint32_t fatSectors =
        boot[36] | boot[37] << 8 | boot[38] << 16 | uint32_t{boot[39]} << 24;
    const uint64_t fatOffset = uint64_t{reserved} * kSectorBytes;
    const uint64_t dataOffset = (uint64_t{reserved} + uint64_t{fats} * fatSectors) * kSectorBytes;
    const auto clusterOffset = [&](uint32_t c) {
        return dataOffset + uint64_t{c - 2} * kClusterBytes;
    };

    // Root (cluster 2) lists the directories; each directory is one chain of clusters.
    std::vector<uint32_t> fat(3 + kLargeFat32Directories * kClustersPerDirectory, 0);
    fat[0] = 0x0FFFFFF8;
    fat[1] = kEndOfChain;
    fat[2] = kEndOfChain;
    for (std::size_t d = 0; d < kLargeFat32Directories; ++d) {
        const uint32_t first = 3 + static_cast<uint32_t>(d) * kClustersPerDirectory;
        char name[12];
        std::snprintf(name, sizeof name, "DIR%05zu   ", d);
        image.seekp(static_cast<std::streamoff>(clusterOffset(2) + d * kEntryBytes));
        const std::vector<uint8_t> dirEntry = Entry(name, 0x10, first);
        image.write(reinterpret_cast<const char*>(dirEntry.data()), kEntryBytes);

        std::vector<uint8_t> entries;
        entries.reserve(kEntriesPerDirectory * kEntryBytes);
        const std::vector<uint8_t> dot = Entry(".          ", 0x10, first);
        const std::vector<uint8_t> dotdot = Entry("..         ", 0x10, 0);
        entries.insert(entries.end(), dot.begin(), dot.end());
        entries.insert(entries.end(), dotdot.begin(), dotdot.end());
        std::vector<uint8_t> file = Entry("XFILE   TXT", 0x20, 0);
        file[0] = kDeleted;
        while (entries.size() < kEntriesPerDirectory * kEntryBytes) {
            entries.insert(entries.end(), file.begin(), file.end());
        }
        image.seekp(static_cast<std::streamoff>(clusterOffset(first)));
        image.write(reinterpret_cast<const char*>(entries.data()),
                    static_cast<std::streamsize>(entries.size()));
        for (uint32_t c = first; c < first + kClustersPerDirectory; ++c) {
            fat[c] = c + 1 == first + kClustersPerDirectory ? kEndOfChain : c + 1;
        }
    }
    std::vector<uint8_t> fatBytes(fat.size() * 4);
    for (std::size_t i = 0; i < fat.size(); ++i) {
        for (int k = 0; k < 4; ++k) {
            fatBytes[i * 4 + k] = static_cast<uint8_t>(fat[i] >> (8 * k));
        }
    }
    for (uint32_t copy = 0; copy < fats; ++copy) {
        image.seekp(
            static_cast<std::streamoff>(fatOffset + uint64_t{copy} * fatSectors * kSectorBytes));
        image.write(reinterpret_cast<const char*>(fatBytes.data()),
                    static_cast<std::streamsize>(fatBytes.size()));
    }
    return static_cast<bool>(image);
}

}  // namespace relicta::test
