#include "volume/open_volume.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <string>

#include "app/consistency.h"
#include "app/dialogs.h"
#include "app/system_error.h"
#include "platform/last_error.h"
#include "volume/boot_sector.h"
#include "volume/boot_sector_layout.h"
#include "volume/exfat_boot.h"
#include "volume/exfat_layout.h"
#include "volume/raw_io.h"
#include "volume/vcb.h"

namespace relicta::volume {

using bytes::S64;
using bytes::S8;
using bytes::U16;
using bytes::U64;
using bytes::U8;
namespace {

using app::MessageBox;
using platform::CurrentPlatform;
using platform::Handle;

constexpr unsigned kNotReadyRetryMs = 1000;
constexpr uint32_t kMaxBytesPerSector = 4096;
constexpr uint32_t kMinBytesPerSector = 128;
constexpr int64_t kMinVolumeSectors = 100;
constexpr int kMaxFats = 2;

const char* const kInvalidBootSector = "Invalid Boot Sector";

// The file-system name, asking again while the drive is not ready. nullopt when the user
// cancels. Sets lenient mode when the platform cannot name the file system.
std::optional<std::string> QueryFileSystemName(VCB& vcb) {
    for (;;) {
        if (std::optional<std::string> name =
                CurrentPlatform().GetFileSystemName(vcb.DriveLetter())) {
            return name;
        }
        const int error = platform::GetLastError();
        if (error == platform::kErrorNotReady) {
            const app::MbResult answer = MessageBox(
                "The device is not ready.  Make sure there is a disk in the drive and then click "
                "on OK",
                "System Error", app::MbButtons::OkCancel);
            if (answer == app::MbResult::Cancel) {
                return std::nullopt;
            }
            CurrentPlatform().Sleep(kNotReadyRetryMs);
            continue;
        }
        if (error != platform::kErrorWrongDisk) {
            app::ShowSystemError();
        }
        vcb.IsRawFileSystem = true;
        return "RAW";
    }
}

bool IsAcceptedName(const std::string& name) {
    return name == "NTFS" || name == "FAT" || name == "FAT32" || name == "exFAT" || name == "RAW";
}

// Decides FAT (true) or NTFS (false) from the two recognisers.
bool DecideIsFat(VCB& vcb, Bytes sector) {
    const bool fat = IsFatBootSector(sector);
    const bool ntfs = IsNtfsBootSector(sector);
    if (fat && ntfs) {
        if (vcb.IsRawFileSystem) {
            MessageBox("This is an unknown or raw file system, trying to interpret it as NTFS",
                       "RAW");
        }
        return false;
    }
    if (fat || ntfs) {
        return fat;
    }
    if (vcb.IsRawFileSystem) {
        MessageBox("This is an unknown or raw file system!", "RAW");
    }
    vcb.IsRawFileSystem = true;
    return !HasNtfsOemPrefix(sector);
}

// The boot-sector checks; false when the volume is refused.
bool ValidateBootSector(const Bpb& bpb, Bytes sector, bool isFat) {
    if (bpb.BytesPerSector > kMaxBytesPerSector) {
        MessageBox(
            "BytesPerSector > 2048. The boot sector is invalid or corrupt, or this is not the root "
            "of the volume set",
            kInvalidBootSector);
    }
    if (bpb.Fats > kMaxFats) {
        MessageBox(
            "Number of Fats > 2.  The boot sector is invalid or corrupt, or this is not the root "
            "of "
            "the volume set",
            kInvalidBootSector);
        return false;
    }
    const uint8_t jump = U8(sector, fat_boot::Jump);
    if (jump != kJumpNear && jump != kJumpShort && jump != kJumpOld) {
        MessageBox(
            "Jump block bad.  The boot sector may be invalid or corrupt,\n or this is not the root "
            "of "
            "the volume set, or this is a non-bootable device",
            kInvalidBootSector);
    }
    if (isFat) {
        CONSISTENCY_CHECK_TEXT(
            bpb.LargeSectors > kMinVolumeSectors || bpb.Sectors > kMinVolumeSectors,
            "pBpb->LargeSectors > 100 || pBpb->Sectors > 100");
    } else {
        CONSISTENCY_CHECK_TEXT(S64(sector, ntfs_boot::NumberSectors) > kMinVolumeSectors,
                               "BootSector->NumberSectors > 100");
    }
    CONSISTENCY_CHECK_TEXT(
        bpb.BytesPerSector >= kMinBytesPerSector && bpb.BytesPerSector <= kMaxBytesPerSector,
        "pBpb->BytesPerSector >=128 && pBpb->BytesPerSector <= 4096");
    return true;
}

// What the free-space query reported, reconciled with the boot sector.
void ReconcileFreeSpace(platform::DiskFreeSpace& reported, Bpb& bpb) {
    if (reported.bytesPerSector == 0) {
        reported.bytesPerSector = bpb.BytesPerSector;
    }
    if (reported.sectorsPerCluster == 0) {
        reported.sectorsPerCluster = bpb.SectorsPerCluster;
    }
    if (reported.bytesPerSector != bpb.BytesPerSector) {
        MessageBox("I don't understand the BytesPerSector in the boot sector on this partition",
                   "Error");
    }
    // Without the NT volume data the cluster-size disagreement is not reported.
    if (reported.sectorsPerCluster != bpb.SectorsPerCluster && bpb.SectorsPerCluster == 0) {
        bpb.SectorsPerCluster = static_cast<uint8_t>(reported.sectorsPerCluster);
    }
}

void FillFatGeometry(VCB& vcb) {
    const Bpb& bpb = *vcb.pBpb;
    vcb.NumberSectors = bpb.TotalSectors();
    vcb.TotalClusters = FatDataClusters(bpb);
}

void FillNtfsGeometry(VCB& vcb, Bytes sector) {
    vcb.NumberSectors = S64(sector, ntfs_boot::NumberSectors);
    vcb.MftStartLcn = S64(sector, ntfs_boot::MftStartLcn);
    vcb.Mft2StartLcn = S64(sector, ntfs_boot::Mft2StartLcn);
    vcb.VolumeSerialNumber = U64(sector, ntfs_boot::VolumeSerialNumber);
    const int8_t c = S8(sector, ntfs_boot::ClustersPerFileRecordSegment);
    if (c < 0) {
        // 2^-c bytes; beyond 2^31 (only in lenient mode) the size cannot be held: 0.
        vcb.BytesPerFileRecordSegment = -c <= 31 ? uint32_t{1} << -c : 0;
        if (vcb.BytesPerCluster != 0 && vcb.BytesPerFileRecordSegment >= vcb.BytesPerCluster) {
            vcb.ClustersPerFileRecordSegment =
                static_cast<int32_t>(vcb.BytesPerFileRecordSegment / vcb.BytesPerCluster);
        } else {
            vcb.ClustersPerFileRecordSegment = int32_t{c};  // the raw negative value stays
        }
    } else {
        const uint64_t bytes = uint64_t(c) * vcb.BytesPerCluster;
        vcb.BytesPerFileRecordSegment = bytes <= UINT32_MAX ? static_cast<uint32_t>(bytes) : 0;
        vcb.ClustersPerFileRecordSegment = int32_t{c};
    }
    // In 128 bits: NumberSectors is an untrusted 64-bit value.
    const __int128 bytes = static_cast<__int128>(vcb.BytesPerSector) * vcb.NumberSectors;
    const __int128 clusters = bytes > 0 ? bytes >> vcb.AllocationSupport.LogOfBytesPerCluster : 0;
    vcb.TotalClusters = clusters > INT64_MAX ? INT64_MAX : static_cast<int64_t>(clusters);
}

// FAT32 keeps a copy of its boot sector here unless its BPB says otherwise.
constexpr uint32_t kFat32BackupBootSector = 6;

std::string BackupNotice(uint64_t sector) {
    return "The boot sector could not be read or is damaged; its backup at sector " +
           std::to_string(sector) + " is used instead";
}

// The sector size of the exFAT backup boot sector that stands 12 sectors in, when one does:
// all that is left to go by when the main boot sector is lost.
std::optional<uint32_t> ExFatBackupSectorBytes(platform::Handle handle) {
    for (uint8_t shift = exfat_boot::MinBytesPerSectorShift;
         shift <= exfat_boot::MaxBytesPerSectorShift; ++shift) {
        std::vector<uint8_t> sector(kBootSectorSize);
        const int64_t at = int64_t{exfat_boot::BootRegionSectors} << shift;
        if (TryReadVolumeBytes(handle, at, sector) && IsExFatBootSector(sector) &&
            U8(sector, exfat_boot::BytesPerSectorShift) == shift) {
            return uint32_t{1} << shift;
        }
    }
    return std::nullopt;
}

// The boot region whose checksum holds: the main one, else its backup when that one holds
// and reads; else the main one, with a notice. nullopt when neither describes a volume.
std::optional<ExFatGeometry> ReadExFatBootRegion(platform::Handle handle, Bytes sector,
                                                 uint32_t sectorBytes) {
    const std::optional<ExFatGeometry> main = ReadExFatGeometry(sector);
    const auto readRegion = [&](uint32_t firstSector) {
        std::vector<uint8_t> region(std::size_t{sectorBytes} * exfat_boot::BootRegionSectors);
        if (!TryReadVolumeBytes(handle, int64_t{firstSector} * sectorBytes, region)) {
            region.clear();
        }
        return region;
    };
    if (main && ExFatBootRegionChecksumHolds(readRegion(0), sectorBytes)) {
        return main;
    }
    const std::vector<uint8_t> backup = readRegion(exfat_boot::BootRegionSectors);
    const std::optional<ExFatGeometry> spare = ReadExFatGeometry(backup);
    if (spare && spare->BytesPerSector() == sectorBytes &&
        ExFatBootRegionChecksumHolds(backup, sectorBytes)) {
        MessageBox("The exFAT boot region is damaged; its backup is used instead", "Notice");
        return spare;
    }
    if (main) {
        MessageBox("The exFAT boot region's checksum does not match its contents", "Notice");
    }
    return main;
}

// Whether the volume is exFAT: its boot sector says so, or nothing else claims a boot
// sector that is lost and the backup says so. The sector size to read its region by.
std::optional<uint32_t> ExFatSectorBytes(platform::Handle handle, Bytes sector) {
    if (const std::optional<ExFatGeometry> main = ReadExFatGeometry(sector)) {
        return main->BytesPerSector();
    }
    if (IsExFatBootSector(sector) ||
        (!IsFatBootSector(sector) && !IsNtfsBootSector(sector) && !HasNtfsOemPrefix(sector))) {
        const std::optional<uint32_t> backup = ExFatBackupSectorBytes(handle);
        if (backup || IsExFatBootSector(sector)) {
            return backup.value_or(kDefaultBytesPerSector);
        }
    }
    return std::nullopt;
}

// The copy of a lost or damaged boot sector that FAT32 keeps at sector 6 and NTFS in the
// volume's last sector (exFAT's backup region is read with its checksum elsewhere), with a
// notice when one is used. nullopt when neither is there.
std::optional<std::vector<uint8_t>> BackupBootSector(platform::Handle handle) {
    const uint64_t length = CurrentPlatform().VolumeLength(handle);
    for (const uint32_t sectorBytes : {kDefaultBytesPerSector, kMaxBytesPerSector}) {
        std::vector<uint8_t> sector(kBootSectorSize);
        const int64_t fat32 = int64_t{kFat32BackupBootSector} * sectorBytes;
        if (TryReadVolumeBytes(handle, fat32, sector) && IsFatBootSector(sector) &&
            U16(sector, fat_boot::SectorsPerFat) == 0 &&
            U16(sector, fat_boot::BytesPerSector) == sectorBytes) {
            MessageBox(BackupNotice(kFat32BackupBootSector), "Notice");
            return sector;
        }
        const uint64_t lastSector = length / sectorBytes;
        if (lastSector > 1 &&
            TryReadVolumeBytes(handle, static_cast<int64_t>((lastSector - 1) * sectorBytes),
                               sector) &&
            IsNtfsBootSector(sector) &&
            U8(sector, ntfs_boot::BytesPerSectorHigh) * 256u == sectorBytes) {
            MessageBox(BackupNotice(lastSector - 1), "Notice");
            return sector;
        }
    }
    return std::nullopt;
}

void FillExFatGeometry(VCB& vcb, const ExFatGeometry& g) {
    vcb.IsFat = true;
    vcb.IsExFat = true;
    vcb.ExFat = g;
    vcb.ExFatFat = {};
    *vcb.pBpb = Bpb{};
    vcb.pBpb->BytesPerSector = static_cast<uint16_t>(g.BytesPerSector());
    vcb.BytesPerSector = g.BytesPerSector();
    vcb.BytesPerCluster = g.BytesPerCluster();
    vcb.VolumeSerialNumber = g.SerialNumber;
    vcb.NumberSectors = static_cast<int64_t>(std::min<uint64_t>(g.VolumeLength, INT64_MAX));
    vcb.TotalClusters = g.ClusterCount;
    vcb.AllocationSupport = {};
    vcb.AllocationSupport.FileAreaLbo = uint64_t{g.ClusterHeapOffset} << g.BytesPerSectorShift;
    vcb.AllocationSupport.NumberOfClusters = g.ClusterCount;
    vcb.AllocationSupport.FatIndexBitSize = 32;
    vcb.AllocationSupport.LogOfBytesPerCluster = LogOfBytesPerCluster(vcb.BytesPerCluster);
}

}  // namespace

Handle OpenVolume(char letter) {
    VCB& vcb = EnsureVcb();
    vcb.BytesPerSector = kDefaultBytesPerSector;
    vcb.IsFat = false;
    vcb.IsExFat = false;
    vcb.IsRawFileSystem = false;
    // One volume at a time: a handle left by an earlier open is closed, not leaked.
    if (platform::IsOpenHandle(vcb.hVolume)) {
        CurrentPlatform().CloseHandle(vcb.hVolume);
        vcb.hVolume = platform::kNoHandle;
    }

    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    vcb.RootPath[0] = upper;
    vcb.RootPath[1] = ':';
    vcb.RootPath[2] = '\\';
    vcb.RootPath[3] = '\0';

    const std::optional<std::string> name = QueryFileSystemName(vcb);
    if (!name) {
        vcb.hVolume = platform::kInvalidHandle;
        return platform::kInvalidHandle;
    }
    if (!IsAcceptedName(*name)) {
        MessageBox("Not an NTFS or FAT file system!", "not NTFS or FAT");
        return platform::kNoHandle;
    }

    platform::DiskFreeSpace reported;
    if (std::optional<platform::DiskFreeSpace> space = CurrentPlatform().GetDiskFreeSpace(upper)) {
        reported = *space;
    } else if (!vcb.IsRawFileSystem) {
        app::ShowSystemError();
    }

    vcb.hVolume = CurrentPlatform().OpenVolume(upper);
    if (!platform::IsOpenHandle(vcb.hVolume)) {
        if (platform::GetLastError() == platform::kErrorAccessDenied) {
            MessageBox(
                "Access denied when trying to open the volume.\r\nYou either lack needed "
                "Administrator "
                "rights,\r\nor this disk cannot be opened for direct access\r\n (for example, "
                "virtual "
                "drives created by SUSBT)" +
                    std::string(app::kLinuxAdministratorLine),
                "Error");
        } else {
            app::ShowSystemError();
        }
        return vcb.hVolume;
    }

    std::vector<uint8_t> sector = ReadBootSector(vcb.hVolume);
    if (!IsFatBootSector(sector) && !IsNtfsBootSector(sector) && !IsExFatBootSector(sector)) {
        if (std::optional<std::vector<uint8_t>> backup = BackupBootSector(vcb.hVolume)) {
            sector = std::move(*backup);
        }
    }
    if (const std::optional<uint32_t> sectorBytes = ExFatSectorBytes(vcb.hVolume, sector)) {
        const std::optional<ExFatGeometry> geometry =
            ReadExFatBootRegion(vcb.hVolume, sector, *sectorBytes);
        if (!geometry) {
            MessageBox("The exFAT boot sector is invalid or corrupt", kInvalidBootSector);
            return platform::kNoHandle;
        }
        FillExFatGeometry(vcb, *geometry);
        vcb.FreeClusters = 0;
        return vcb.hVolume;
    }
    Bpb& bpb = *vcb.pBpb;
    UnpackBpb(sector, bpb);

    const bool isFat = DecideIsFat(vcb, sector);
    if (!ValidateBootSector(bpb, sector, isFat)) {
        return platform::kNoHandle;
    }
    vcb.IsFat = isFat;

    ReconcileFreeSpace(reported, bpb);

    vcb.VolumeSerialNumber = 0;
    vcb.NumberSectors = 0;
    vcb.TotalClusters = 0;
    vcb.BytesPerFileRecordSegment = 0;
    vcb.ClustersPerFileRecordSegment = 0;
    vcb.MftValidDataLength = 0;
    vcb.MftStartLcn = 0;
    vcb.Mft2StartLcn = 0;
    vcb.BytesPerSector = bpb.BytesPerSector;
    vcb.BytesPerCluster = uint32_t{bpb.BytesPerSector} * bpb.SectorsPerCluster;
    vcb.FreeClusters = reported.freeClusters;
    ComputeFatGeometry(bpb, vcb.AllocationSupport);
    if (vcb.IsFat) {
        FillFatGeometry(vcb);
    } else {
        FillNtfsGeometry(vcb, sector);
    }
    return vcb.hVolume;
}

}  // namespace relicta::volume
