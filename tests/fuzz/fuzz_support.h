#pragma once
// What every fuzz target shares: dialogs that answer Ignore without keeping anything, an
// exit that unwinds instead of ending the process, and a scripted drive.

#include <algorithm>
#include <cstdint>
#include <vector>

#include "app/consistency.h"
#include "app/console_dialogs.h"
#include "app/dialogs.h"
#include "app/process_exit.h"
#include "ntfs/ntfs_volume.h"
#include "platform/scripted_platform.h"
#include "scan/scan_driver.h"
#include "support/exfat_builder.h"
#include "support/ntfs_builder.h"
#include "view/found_file_list.h"
#include "volume/vcb.h"

namespace relicta::fuzz {

class IgnoringDialogs : public app::Dialogs {
  public:
    app::MbResult Show(const app::MessageBoxRequest& request) override {
        return app::UnattendedAnswer(request.buttons, app::CheckPolicy::Ignore);
    }
};

// Installed for one input; closes whatever the input left open.
class Session {
  public:
    Session() {
        app::SetExitHook([](int status) { throw app::ProcessExit{status}; });
        platform::SetCurrentPlatform(&os);
        app::SetDialogs(&dialogs);
    }
    ~Session() {
        if (ntfs::DefragInProgress) {
            ntfs::CloseNtfsVolume(volume::Vcb != nullptr ? volume::Vcb->hVolume
                                                         : platform::kNoHandle);
        }
        volume::CloseVolume();
        if (lent_ != nullptr) {
            os.Drive('C').bytes.swap(*lent_);
        }
        app::SetDialogs(nullptr);
        platform::SetCurrentPlatform(nullptr);
        app::SetExitHook(nullptr);
    }

    // Lends `bytes` to drive C for the session, without copying them.
    void Lend(std::vector<uint8_t>& bytes, const char* fsName) {
        lent_ = &bytes;
        platform::ScriptedDrive& d = os.Drive('C');
        d.bytes.swap(bytes);
        d.fileSystemName = fsName;
    }

    platform::ScriptedDrive& Drive(std::vector<uint8_t> bytes, const char* fsName) {
        platform::ScriptedDrive& d = os.Drive('C');
        d.bytes = std::move(bytes);
        d.fileSystemName = fsName;
        return d;
    }

    platform::ScriptedPlatform os;
    IgnoringDialogs dialogs;

  private:
    std::vector<uint8_t>* lent_ = nullptr;
};

// One single-drive scan of drive C, as the scan driver runs it; the list it filled.
inline view::MemoryFileList ScanDriveC() {
    scan::ScanSettings settings;
    settings.scanDrive = "C:\\";
    scan::CompileScanPattern(settings);
    view::MemoryFileList list;
    try {
        scan::RunScan(settings, list);
    } catch (const app::ProcessExit&) {
    }
    return list;
}

// Overwrites part of an image for one input and puts the original bytes back afterwards.
class Patch {
  public:
    Patch(std::vector<uint8_t>& image, std::size_t offset, const uint8_t* data, std::size_t size)
        : image_(image),
          offset_(offset),
          saved_(image.begin() + static_cast<std::ptrdiff_t>(offset),
                 image.begin() + static_cast<std::ptrdiff_t>(offset + size)) {
        std::copy(data, data + size, image.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    ~Patch() {
        std::copy(saved_.begin(), saved_.end(),
                  image_.begin() + static_cast<std::ptrdiff_t>(offset_));
    }

  private:
    std::vector<uint8_t>& image_;
    std::size_t offset_;
    std::vector<uint8_t> saved_;
};

// The user records 16 to 63 of a crafted NTFS image overwritten by the input.
inline Patch PatchUserRecords(std::vector<uint8_t>& image, const uint8_t* data, std::size_t size) {
    const std::size_t mftUser = test::NtfsImage::kMftLcn * test::NtfsImage::kClusterBytes +
                                16 * test::NtfsImage::kRecordBytes;
    return Patch(image, mftUser, data,
                 std::min<std::size_t>(size, 48 * test::NtfsImage::kRecordBytes));
}

// A crafted exFAT image's root directory and the clusters after it overwritten by the
// input, and the start of its FAT and allocation bitmap by the input's tail.
struct ExFatPatches {
    static constexpr std::size_t kDirectoryBytes = 64 * test::ExFatImage::kSectorBytes;
    static constexpr std::size_t kTableBytes = 1024;

    ExFatPatches(test::ExFatImage& image, const uint8_t* data, std::size_t size)
        : directories(image.bytes, image.ClusterOffset(test::ExFatImage::kRootCluster), data,
                      std::min(size, kDirectoryBytes)),
          fat(image.bytes, std::size_t{test::ExFatImage::kFatSector} * 512 + 8,
              data + size - std::min(size / 4, kTableBytes), std::min(size / 4, kTableBytes)),
          bitmap(image.bytes, image.ClusterOffset(test::ExFatImage::kBitmapCluster),
                 data + size / 2, std::min(size / 8, std::size_t{64})) {}

    Patch directories;
    Patch fat;
    Patch bitmap;
};

}  // namespace relicta::fuzz
