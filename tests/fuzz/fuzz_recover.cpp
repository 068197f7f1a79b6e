// Recovery of every file a scan lists, over a FAT, exFAT or NTFS volume whose directories or MFT
// records come from the input, into a scratch directory that must hold everything written.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>

#include "fuzz/fuzz_support.h"
#include "recover/recover_command.h"
#include "scan/found_files.h"
#include "support/fat_builder.h"
#include "support/ntfs_builder.h"
#include "view/found_file_list.h"

using namespace relicta;

namespace {

class ScratchPrompts : public recover::RecoverPrompts {
  public:
    explicit ScratchPrompts(std::string dir) : dir_(std::move(dir)) {}
    std::optional<std::string> SaveAs(const std::string&) override { return std::nullopt; }
    std::optional<std::string> RecoverToPath(const std::string&) override { return dir_; }

  private:
    std::string dir_;
};

void RecoverEverything(bool keepPaths) {
    namespace fs = std::filesystem;
    static const fs::path scratch =
        fs::temp_directory_path() / ("relicta-fuzz-recover-" + std::to_string(::getpid()));
    const fs::path destination = scratch / "to";
    view::MemoryFileList list = fuzz::ScanDriveC();
    try {
        for (view::MemoryFileList::Row& row : list.rows) {
            row.selected = true;
        }
        ScratchPrompts prompts(destination.string());
        recover::RecoverCommand command(prompts, {true, keepPaths, ""});
        command.RecoverSelected(list);
    } catch (const app::ProcessExit&) {
    }
    for (const auto& entry : fs::directory_iterator(scratch)) {
        if (entry.path() != destination) {
            std::abort();  // something was written outside the destination
        }
    }
    fs::remove_all(destination);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    std::filesystem::create_directories(std::filesystem::temp_directory_path() /
                                        ("relicta-fuzz-recover-" + std::to_string(::getpid())));
    const bool ntfs = (data[0] & 1) != 0;
    const bool keepPaths = (data[0] & 2) != 0;
    const bool exfat = (data[0] & 4) != 0;
    ++data;
    --size;
    // Each patch outlives the session that lends its image to the drive.
    if (ntfs) {
        static test::NtfsImage image(64, 512);
        const fuzz::Patch records = fuzz::PatchUserRecords(image.bytes, data, size);
        fuzz::Session session;
        session.Lend(image.bytes, "NTFS");
        RecoverEverything(keepPaths);
        return 0;
    }
    if (exfat) {
        static test::ExFatImage image;
        const fuzz::ExFatPatches patches(image, data, size);
        fuzz::Session session;
        session.Lend(image.bytes, "exFAT");
        RecoverEverything(keepPaths);
        return 0;
    }
    static test::FatImage image;
    const size_t root = test::FatImage::kRootSector * 512;
    const fuzz::Patch directories(
        image.bytes, root, data,
        std::min<size_t>(size, 16384 + 16 * test::FatImage::kClusterBytes));
    fuzz::Session session;
    session.Lend(image.bytes, "FAT");
    RecoverEverything(keepPaths);
    return 0;
}
