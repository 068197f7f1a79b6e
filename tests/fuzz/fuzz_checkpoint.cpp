// A deep scan's checkpoint read back from hostile bytes: the file as a whole (its header,
// sections, drive identities and hashes), and the finders' state as its sections hold it,
// which, when it reads as what the finders could have found, is rebuilt into old volumes
// and listed.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "deep/checkpoint.h"
#include "deep/checkpoint_io.h"
#include "deep/current_volume.h"
#include "deep/exfat_rebuild.h"
#include "deep/fat_rebuild.h"
#include "deep/ntfs_rebuild.h"
#include "deep/old_volume.h"
#include "fuzz/fuzz_rebuild.h"
#include "fuzz/fuzz_support.h"
#include "scan/filters.h"
#include "scan/found_files.h"
#include "scan/scan_context.h"
#include "view/found_file_list.h"

using namespace relicta;

namespace {

constexpr int64_t kDriveBytes = int64_t{1} << 30;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// The finders' state as a section holds it, rebuilt and listed when it loads.
void LoadAndRebuild(std::FILE* file, uint64_t size) {
    deep::CheckpointReader in(file, size, kDriveBytes);
    deep::BootSectorFinder boots;
    deep::NtfsRecordFinder records;
    deep::FatDirectoryFinder fatDirectories;
    deep::ExFatEntrySetFinder exFatSets;
    deep::Carver carver;
    if (!boots.Load(in) || !records.Load(in) || !fatDirectories.Load(in) || !exFatSets.Load(in) ||
        !carver.Load(in)) {
        return;
    }
    deep::CurrentVolume current;
    current.length = kDriveBytes;
    fuzz::RebuildAndList(boots, records, fatDirectories, exFatSets, current);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Session session;
    session.os.Drive('C').bytes.assign(64 * 1024, 0);
    char path[] = "/tmp/relicta-fuzz-checkpoint-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) {
        return 0;
    }
    const bool written = ::write(fd, data, size) == static_cast<ssize_t>(size);
    ::close(fd);
    if (written) {
        deep::DeepCheckpoint checkpoint(path);
        checkpoint.Resume();
        const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "rb"));
        if (file) {
            scan::ClearFoundFiles();
            LoadAndRebuild(file.get(), size);
            scan::ClearFoundFiles();
        }
    }
    ::unlink(path);
    return 0;
}
