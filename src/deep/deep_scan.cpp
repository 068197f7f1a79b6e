#include "deep/deep_scan.h"

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "app/dialogs.h"
#include "app/scan_state.h"
#include "app/system_error.h"
#include "deep/boot_sector_finder.h"
#include "deep/carver.h"
#include "deep/checkpoint.h"
#include "deep/current_volume.h"
#include "deep/deep_pass.h"
#include "deep/exfat_rebuild.h"
#include "deep/fat_rebuild.h"
#include "deep/ntfs_rebuild.h"
#include "deep/old_volume.h"
#include "ntfs/attribute.h"
#include "ntfs/attribute_data.h"
#include "ntfs/bitmaps.h"
#include "ntfs/mft_layout.h"
#include "ntfs/ntfs_volume.h"
#include "scan/found_files.h"
#include "scan/scan_context.h"
#include "scan/scan_driver.h"
#include "volume/boot_sector.h"
#include "volume/boot_sector_layout.h"
#include "volume/exfat_boot.h"
#include "volume/vcb.h"

namespace relicta::deep {
namespace {

using volume::Vcb;

// Whether sector 0 of the drive is a boot sector. One that is lost or unreadable makes the
// volume a lost one to the deep scan, even where a normal scan opens it from its backup: the
// deep scan then gives back all its files, as from any volume whose boot sector is gone.
bool SectorZeroIsBootSector(char letter) {
    platform::Platform& os = platform::CurrentPlatform();
    const platform::Handle handle = os.OpenVolume(letter);
    if (!platform::IsOpenHandle(handle)) {
        return false;
    }
    std::vector<uint8_t> sector(volume::kBootSectorSize);
    std::size_t got = 0;
    const bool read = os.ReadAt(handle, 0, sector, got) && got == sector.size();
    os.CloseHandle(handle);
    return read && (volume::IsFatBootSector(sector) || volume::IsNtfsBootSector(sector) ||
                    volume::IsExFatBootSector(sector));
}

bool NamesKnownFileSystem(char letter) {
    const std::optional<std::string> name = platform::CurrentPlatform().GetFileSystemName(letter);
    return name && scan::IsScannedFileSystem(*name) && SectorZeroIsBootSector(letter);
}

// The drive opened for its bytes alone: no file system is read.
std::optional<platform::Handle> OpenRaw(char letter) {
    volume::CloseVolume();
    volume::VCB& vcb = volume::EnsureVcb();
    vcb.RootPath[0] = letter;
    vcb.IsRawFileSystem = true;
    vcb.hVolume = platform::CurrentPlatform().OpenVolume(letter);
    if (!platform::IsOpenHandle(vcb.hVolume)) {
        app::ShowSystemError();
        volume::CloseVolume();
        return std::nullopt;
    }
    vcb.NumberSectors = static_cast<int64_t>(platform::CurrentPlatform().VolumeLength(vcb.hVolume) /
                                             volume::kDefaultBytesPerSector);
    ntfs::DefragInProgress = true;
    return vcb.hVolume;
}

// The clusters of the open volume its bitmap says are in use, as stretches of the drive.
void AddUsedClusters(CurrentVolume& current) {
    const int64_t bits = std::min<int64_t>(ntfs::VolumeBitmapBits,
                                           static_cast<int64_t>(ntfs::VolumeBitmap.size()) * 8);
    const int64_t clusterBytes = current.clusterBytes;
    int64_t runStart = -1;
    const auto close = [&](int64_t bit) {
        if (runStart >= 0) {
            current.used.push_back({current.clusterAreaOffset + runStart * clusterBytes,
                                    (bit - runStart) * clusterBytes});
            runStart = -1;
        }
    };
    for (int64_t bit = 0; bit < bits;) {
        const uint8_t byte = ntfs::VolumeBitmap[static_cast<std::size_t>(bit / 8)];
        if (bit % 8 == 0 && bit + 8 <= bits && (byte == 0 || byte == 0xFF)) {
            if (byte == 0) {
                close(bit);
            } else if (runStart < 0) {
                runStart = bit;
            }
            bit += 8;
            continue;
        }
        if (ntfs::BitSet(ntfs::VolumeBitmap, bit)) {
            if (runStart < 0) {
                runStart = bit;
            }
        } else {
            close(bit);
        }
        ++bit;
    }
    close(bits);
    // Past the clusters the bitmap covers: the volume's own (an NTFS backup boot sector).
    const int64_t end = current.clusterAreaOffset + bits * clusterBytes;
    if (end < current.length) {
        current.used.push_back({end, current.length - end});
    }
}

// `ranges` (sorted, disjoint) without `cut`.
std::vector<ByteRange> Without(const std::vector<ByteRange>& ranges, ByteRange cut) {
    std::vector<ByteRange> left;
    const int64_t cutEnd = cut.offset + cut.length;
    for (const ByteRange& r : ranges) {
        const int64_t end = r.offset + r.length;
        if (cutEnd <= r.offset || cut.offset >= end) {
            left.push_back(r);
            continue;
        }
        if (cut.offset > r.offset) {
            left.push_back({r.offset, cut.offset - r.offset});
        }
        if (cutEnd < end) {
            left.push_back({cutEnd, end - cutEnd});
        }
    }
    return left;
}

// The current MFT's clusters past its data hold no record of the current volume, but often
// the old records a quick format left there: the pass reads them as unused.
void FreeMftSlack(CurrentVolume& current) {
    const std::optional<ntfs::Attribute> data = ntfs::FindAttribute(
        Vcb->hVolume, ntfs::mftrecptr[ntfs::MASTER_FILE_TABLE_NUMBER], ntfs::kData);
    if (!data) {
        return;
    }
    const int64_t clusterBytes = current.clusterBytes;
    const int64_t firstFree = (ntfs::mftsize + clusterBytes - 1) / clusterBytes;
    for (const volume::ClusterExtent& e : ntfs::PlainExtents(*data)) {
        const int64_t from = std::max(e.vcn, firstFree);
        if (from < e.vcn + e.clusters && e.lcn >= 0 && e.lcn < current.totalClusters) {
            current.used = Without(current.used, {(e.lcn + from - e.vcn) * clusterBytes,
                                                  (e.vcn + e.clusters - from) * clusterBytes});
        }
    }
}

CurrentVolume DescribeCurrentVolume() {
    CurrentVolume current;
    current.length = static_cast<int64_t>(platform::CurrentPlatform().VolumeLength(Vcb->hVolume));
    if (Vcb->IsRawFileSystem && !Vcb->IsFat && Vcb->BytesPerCluster == 0) {
        return current;
    }
    current.clusterBytes = Vcb->BytesPerCluster;
    current.totalClusters = Vcb->TotalClusters;
    if (Vcb->IsFat) {
        current.kind = Vcb->IsExFat ? CurrentKind::ExFat : CurrentKind::Fat;
        current.fatIndexBits = Vcb->AllocationSupport.FatIndexBitSize;
        current.clusterAreaOffset = static_cast<int64_t>(Vcb->AllocationSupport.FileAreaLbo);
        // The boot sectors, the FATs and a FAT12/16 root directory are the volume's own.
        current.used.push_back({0, current.clusterAreaOffset});
    } else {
        current.kind = CurrentKind::Ntfs;
        current.mftOffset = Vcb->MftStartLcn * Vcb->BytesPerCluster;
        current.recordBytes = Vcb->BytesPerFileRecordSegment;
    }
    if (current.clusterBytes == 0) {
        current.kind = CurrentKind::None;
        current.used.clear();
        return current;
    }
    AddUsedClusters(current);
    current.used = NormalizeRanges(current.used, current.length);
    if (current.kind == CurrentKind::Ntfs) {
        FreeMftSlack(current);
    }
    return current;
}

void ReportNotes(const std::vector<std::string>& notes) {
    if (notes.empty()) {
        return;
    }
    std::string text;
    for (const std::string& note : notes) {
        text += (text.empty() ? "" : "\n") + note;
    }
    app::MessageBox(text, "Deep scan");
}

// The pass over `ranges`, going on from where `checkpoint` stood and saving there as it goes.
void RunCheckpointedPass(const std::vector<ByteRange>& ranges, char letter,
                         const DeepFinders& finders, DeepCheckpoint* checkpoint) {
    std::vector<Finder*> all = {&finders.boots, &finders.records, &finders.fatDirectories,
                                &finders.exFatSets};
    if (finders.carver != nullptr) {
        all.push_back(finders.carver);
    }
    if (checkpoint == nullptr) {
        RunPass(Vcb->hVolume, ranges, all);
        return;
    }
    const std::optional<PassPosition> from = checkpoint->Load(letter, ranges, finders);
    if (!from) {
        // What a section that did not fit left in them goes.
        finders.boots = BootSectorFinder();
        finders.records = NtfsRecordFinder();
        finders.fatDirectories = FatDirectoryFinder();
        finders.exFatSets = ExFatEntrySetFinder();
        if (finders.carver != nullptr) {
            *finders.carver = Carver();
        }
    }
    const PassCheckpoints checkpoints =
        checkpoint->For(letter, ranges, finders, from ? &*from : nullptr);
    RunPass(Vcb->hVolume, ranges, all, &checkpoints);
}

// The pass, and what its finders found rebuilt into old volumes: the finders' own records
// are gone before the volumes' files join the table. The carver, when there is one, keeps its
// headers for later, and `bootSectors` the boot sectors it may take geometry from.
std::vector<OldVolume> FindOldVolumes(const CurrentVolume& current, char letter, Carver* carver,
                                      DeepCheckpoint* checkpoint,
                                      std::vector<FoundBootSector>& bootSectors,
                                      std::vector<std::string>& notes) {
    const std::vector<ByteRange> ranges = NormalizeRanges(current.Unused(), current.length);
    BootSectorFinder boots;
    NtfsRecordFinder records;
    FatDirectoryFinder fatDirectories;
    ExFatEntrySetFinder exFatSets;
    app::StatusText = std::string("Deep scan of drive ") + letter + ":\\";
    RunCheckpointedPass(ranges, letter,
                        DeepFinders{boots, records, fatDirectories, exFatSets, carver}, checkpoint);
    bootSectors = boots.Found();

    std::vector<OldVolume> volumes = RebuildNtfsVolumes(records, boots.Found(), current, notes);
    const auto append = [&volumes](std::vector<OldVolume> more) {
        std::move(more.begin(), more.end(), std::back_inserter(volumes));
    };
    append(RebuildFatVolumes(fatDirectories, boots.Found(), current, notes));
    append(RebuildExFatVolumes(exFatSets, boots.Found(), current, notes));
    return volumes;
}

// The old volumes' files, then what carving finds that they do not hold.
void ListOldVolumes(scan::ScanContext& context, char letter, std::size_t firstItem, Carving carving,
                    DeepCheckpoint* checkpoint) {
    std::vector<std::string> notes;
    const CurrentVolume current = DescribeCurrentVolume();
    std::optional<Carver> carver;
    if (carving == Carving::On) {
        carver.emplace();
    }
    std::vector<FoundBootSector> boots;
    std::vector<OldVolume> volumes =
        FindOldVolumes(current, letter, carver ? &*carver : nullptr, checkpoint, boots, notes);
    AddOldVolumeFiles(context, volumes, letter, firstItem);
    if (carver && !app::StopScan) {
        const CarveDrive drive{Vcb->hVolume, letter, current.length, &current, boots};
        CarveFiles(context, *carver, drive, firstItem, notes);
    }
    ReportNotes(notes);
}

void ScanDriveDeep(scan::ScanSettings& settings, scan::FileListControl& listCtrl, const char* root,
                   Carving carving, DeepCheckpoint* checkpoint) {
    const std::size_t firstItem = scan::foundFiles.size();
    if (NamesKnownFileSystem(root[0])) {
        scan::ScanOneDrive(settings, listCtrl, root);
        if (app::StopScan) {
            return;
        }
    }
    std::memcpy(scan::CurrentDriveRoot, root, 3);
    scan::CurrentDriveRoot[3] = '\0';
    const std::optional<platform::Handle> handle = OpenDrive(root[0]);
    if (!handle || !platform::IsOpenHandle(*handle)) {
        ntfs::CloseNtfsVolumeIfOpen();
        return;
    }
    scan::NoteOpenedDrive();
    scan::ScanContext context{
        listCtrl,
        scan::ScanFilters{settings.filePattern, &settings.compiledPattern, settings.skipTempFiles}};
    ListOldVolumes(context, root[0], firstItem, carving, checkpoint);
    scan::ReportUnreadableSectorsOfDrive();
    ntfs::CloseNtfsVolumeIfOpen();
}

}  // namespace

std::optional<platform::Handle> OpenDrive(char letter) {
    if (NamesKnownFileSystem(letter)) {
        return ntfs::OpenNtfsVolume(letter);
    }
    return OpenRaw(letter);
}

std::optional<platform::Handle> OpenDriveOfFoundFiles(char letter) {
    for (const scan::FoundFile& f : scan::foundFiles) {
        if (f.Deep() != nullptr && f.Drive() == letter) {
            return OpenDrive(letter);
        }
    }
    return ntfs::OpenNtfsVolume(letter);
}

void ScanOneDriveDeep(scan::ScanSettings& settings, scan::FileListControl& listCtrl,
                      const char* root) {
    ScanDriveDeep(settings, listCtrl, root, Carving::On, nullptr);
}

void RunDeepScan(scan::ScanSettings& settings, scan::FileListControl& listCtrl, Carving carving,
                 DeepCheckpoint* checkpoint) {
    const scan::DriveScanner scanOne =
        [carving, checkpoint](scan::ScanSettings& s, scan::FileListControl& l, const char* root) {
            ScanDriveDeep(s, l, root, carving, checkpoint);
        };
    scan::RunScan(settings, listCtrl, scanOne, true);
}

}  // namespace relicta::deep
