// The deep scan's finders and rebuilds over a hostile drive: the input after a 16-byte head
// is handed to every finder as the pass hands a drive, in two blocks whose split and carried
// bytes the head chooses, at a drive offset it chooses; then the old volumes are rebuilt
// against a current file system the head describes, and listed.
//   head: [0] where block one ends, [1] how much of it the next one carries, [2] the current
//   file system's kind, cluster size and record size, [3] the drive offset of the bytes,
//   [4..7] where its clusters or MFT begin, [8..15] four stretches it uses.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "bytes/le_bytes.h"
#include "deep/boot_sector_finder.h"
#include "deep/current_volume.h"
#include "deep/exfat_rebuild.h"
#include "deep/fat_rebuild.h"
#include "deep/ntfs_rebuild.h"
#include "deep/old_volume.h"
#include "fuzz/fuzz_rebuild.h"
#include "fuzz/fuzz_support.h"
#include "scan/file_list.h"
#include "scan/filters.h"
#include "scan/found_files.h"
#include "scan/scan_context.h"
#include "view/found_file_list.h"

using namespace relicta;

namespace {

constexpr std::size_t kHeadBytes = 16;
constexpr int64_t kSector = static_cast<int64_t>(deep::kSectorBytes);

int64_t SectorsIn(int64_t bytes) {
    return bytes / kSector * kSector;
}

// A file system as DescribeCurrentVolume leaves it: sizes that a boot sector allowed, stretches
// sorted and inside the drive.
deep::CurrentVolume Current(std::span<const uint8_t> head, int64_t base, int64_t length) {
    deep::CurrentVolume current;
    current.length = base + length;
    current.kind = static_cast<deep::CurrentKind>(head[2] & 3);
    if (current.kind == deep::CurrentKind::None) {
        return current;
    }
    current.clusterBytes = 512u << ((head[2] >> 2) & 7);
    const int64_t start = SectorsIn(bytes::U32(head, 4) % current.length);
    if (current.kind == deep::CurrentKind::Ntfs) {
        current.mftOffset = start;
        current.recordBytes = (head[2] & 0x20) != 0 ? 4096 : 1024;
    } else {
        current.clusterAreaOffset = start;
    }
    current.totalClusters = (current.length - current.clusterAreaOffset) / current.clusterBytes;
    std::vector<deep::ByteRange> used;
    for (std::size_t i = 8; i < kHeadBytes; i += 2) {
        used.push_back({current.length / 256 * head[i], current.length / 512 * head[i + 1]});
    }
    current.used = deep::NormalizeRanges(std::move(used), current.length);
    return current;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kHeadBytes) {
        return 0;
    }
    const std::span<const uint8_t> head(data, kHeadBytes);
    // Whole sectors, as the pass reads them.
    const std::span<const uint8_t> drive(
        data + kHeadBytes,
        static_cast<std::size_t>(SectorsIn(static_cast<int64_t>(size - kHeadBytes))));
    const int64_t length = static_cast<int64_t>(drive.size());
    if (length == 0) {
        return 0;
    }
    const int64_t base = int64_t{head[3]} << 32;
    const int64_t end = std::min(length, SectorsIn(length / 256 * (head[0] + 1)) + kSector);
    const int64_t held = std::min(end, kSector * head[1]);

    deep::BootSectorFinder boots;
    deep::NtfsRecordFinder records;
    deep::FatDirectoryFinder fatDirectories;
    deep::ExFatEntrySetFinder exFatSets;
    deep::Finder* const finders[] = {&boots, &records, &fatDirectories, &exFatSets};
    const bool split = end < length;
    const deep::Block blocks[] = {
        {base, drive.first(static_cast<std::size_t>(end)),
         static_cast<std::size_t>(split ? end - held : end)},
        {base + end - held, drive.subspan(static_cast<std::size_t>(end - held)),
         static_cast<std::size_t>(length - end + held)},
    };
    for (const deep::Block& block : std::span(blocks, split ? 2 : 1)) {
        for (deep::Finder* finder : finders) {
            finder->Feed(block);
        }
    }

    fuzz::Session session;
    scan::ClearFoundFiles();
    const deep::CurrentVolume current = Current(head, base, length);
    fuzz::RebuildAndList(boots, records, fatDirectories, exFatSets, current);
    scan::ClearFoundFiles();
    return 0;
}
