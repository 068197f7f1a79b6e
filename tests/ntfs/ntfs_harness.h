#pragma once
// A crafted NTFS volume on the scripted platform, opened the way a scan opens it.

#include "ntfs/ntfs_volume.h"
#include "support/boot_sectors.h"
#include "support/ntfs_builder.h"
#include "volume/volume_harness.h"

namespace relicta::test {

class NtfsHarness : public VolumeHarness {
  protected:
    void TearDown() override {
        if (ntfs::DefragInProgress) {
            ntfs::CloseNtfsVolume(volume::Vcb != nullptr ? volume::Vcb->hVolume
                                                         : platform::kNoHandle);
        }
        VolumeHarness::TearDown();
    }

    // Opens `image` as drive C.
    platform::Handle Open(const NtfsImage& image) {
        AddDrive('C', image.bytes, 0, "NTFS");
        const std::optional<platform::Handle> h = ntfs::OpenNtfsVolume('C');
        return h ? *h : platform::kNoHandle;
    }
};

}  // namespace relicta::test
