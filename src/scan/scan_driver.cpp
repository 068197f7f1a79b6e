#include "scan/scan_driver.h"

#include <cstring>

#include "app/beep.h"
#include "app/dialogs.h"
#include "app/scan_state.h"
#include "app/system_error.h"
#include "ntfs/mft_record.h"
#include "ntfs/ntfs_volume.h"
#include "platform/platform.h"
#include "scan/exfat_scan.h"
#include "scan/fat_scan.h"
#include "scan/found_files.h"
#include "scan/ntfs_scan.h"
#include "volume/unreadable_report.h"
#include "volume/vcb.h"

namespace relicta::scan {

char CurrentDriveRoot[4] = {'C', ':', '\\', '\0'};

namespace {

constexpr char kFirstScannedDrive = 'C';
constexpr char kLastDrive = 'Z';

int openedDrives = 0;
int partialDrives = 0;

}  // namespace

bool IsScannedFileSystem(const std::string& name) {
    return name == "NTFS" || name == "FAT32" || name == "FAT" || name == "exFAT";
}

int OpenedDrives() {
    return openedDrives;
}

void NoteOpenedDrive() {
    ++openedDrives;
}

int PartialDrives() {
    return partialDrives;
}

void ReportUnreadableSectorsOfDrive() {
    if (volume::Vcb == nullptr) {
        return;
    }
    if (!volume::Vcb->IsFat && platform::IsOpenHandle(volume::Vcb->hVolume)) {
        volume::Vcb->Losses.mftRecords = ntfs::RecordsInUnreadableSectors(volume::Vcb->hVolume);
    }
    if (volume::ReportUnreadableSectors()) {
        ++partialDrives;
    }
}

void CompileScanPattern(ScanSettings& settings) {
    if (!settings.compiledPattern.Compile(settings.filePattern)) {
        app::MessageBox("Regcomp failed", "Fatal error");
    }
}

void ScanOneDrive(ScanSettings& settings, FileListControl& listCtrl, const char* root) {
    std::memcpy(CurrentDriveRoot, root, 3);
    CurrentDriveRoot[3] = '\0';
    const std::optional<platform::Handle> handle = ntfs::OpenNtfsVolume(CurrentDriveRoot[0]);
    if (!handle || !platform::IsOpenHandle(*handle)) {
        app::ShowSystemError();
        return;
    }
    ++openedDrives;
    ScanContext context{listCtrl, ScanFilters{settings.filePattern, &settings.compiledPattern,
                                              settings.skipTempFiles}};
    const std::size_t firstItem = foundFiles.size();
    if (volume::Vcb->IsExFat) {
        ScanExFatVolume(context);
    } else if (volume::Vcb->IsFat) {
        ScanFatVolume(context);
    } else {
        PrepareAndScanNtfsVolume(context);
    }
    context.recycleBin.Apply(listCtrl, firstItem);
    ReportUnreadableSectorsOfDrive();
    ntfs::CloseNtfsVolumeIfOpen();  // unless a quit request closed it already
}

void RunScan(ScanSettings& settings, FileListControl& listCtrl) {
    RunScan(settings, listCtrl, ScanOneDrive, false);
}

void RunScan(ScanSettings& settings, FileListControl& listCtrl, DriveScanner scanOne,
             bool anyFileSystem) {
    const std::string drive = settings.scanDrive;
    app::StopScan = false;
    openedDrives = 0;
    partialDrives = 0;
    ClearFoundFiles();
    listCtrl.DeleteAllRows();
    std::memcpy(CurrentDriveRoot, "C:\\", 4);
    if (!drive.empty() && drive[0] != '\0') {
        CurrentDriveRoot[0] = drive[0];
        try {
            scanOne(settings, listCtrl, CurrentDriveRoot);
        } catch (const std::exception&) {
            ntfs::CloseNtfsVolumeIfOpen();
            app::MessageBox("Hit a problem scanning that drive.. Scan stopped", "Problem");
        }
    } else {
        platform::Platform& os = platform::CurrentPlatform();
        for (char letter = kFirstScannedDrive; letter <= kLastDrive && !app::StopScan; ++letter) {
            CurrentDriveRoot[0] = letter;
            const platform::DriveType type = os.GetDriveType(letter);
            if (type != platform::DriveType::Fixed && type != platform::DriveType::Removable) {
                continue;
            }
            const std::string name = os.GetFileSystemName(letter).value_or("RAW");
            if (anyFileSystem || IsScannedFileSystem(name)) {
                app::StatusText = std::string("Scanning drive ") + CurrentDriveRoot;
                app::PumpMessages();
                try {
                    scanOne(settings, listCtrl, CurrentDriveRoot);
                } catch (const std::exception&) {
                    ntfs::CloseNtfsVolumeIfOpen();
                }
            }
            app::StatusText = "Ready";
        }
    }
    app::Beep(1000, 200);
    app::Beep(2000, 200);
}

}  // namespace relicta::scan
