#include "ntfs/ntfs_volume.h"

#include "app/consistency.h"
#include "app/dialogs.h"
#include "app/process_exit.h"
#include "app/system_error.h"
#include "bytes/text.h"
#include "ntfs/attribute.h"
#include "ntfs/attribute_data.h"
#include "ntfs/bitmaps.h"
#include "ntfs/mft_layout.h"
#include "ntfs/runs.h"
#include "volume/open_volume.h"
#include "volume/vcb.h"

namespace relicta::ntfs {

bool DefragInProgress = false;
int64_t mftsize = 0;
int64_t mftClusters = 0;
MftRecordPtr rootDirectoryRecord;
std::string VolumeLabel;

namespace {

using volume::Vcb;

constexpr uint32_t kMinRecordBytes = 512;
constexpr uint32_t kMaxRecordBytes = 65536;
constexpr uint32_t kMaxRecordNumber = 0xFFFFFFFF;

void SetMftSize(platform::Handle hVolume) {
    const std::optional<Attribute> data =
        FindAttribute(hVolume, mftrecptr[MASTER_FILE_TABLE_NUMBER], kData);
    mftsize = std::max<int64_t>(Get_Attr_Datasize(data), 0);
    mftClusters = Vcb->BytesPerCluster == 0 ? 0 : mftsize / Vcb->BytesPerCluster;
}

// The MFT must be stored whole: sparse or compressed runs cannot be read as records.
void CheckMftRuns(platform::Handle hVolume) {
    const std::optional<Attribute> data =
        FindAttribute(hVolume, mftrecptr[MASTER_FILE_TABLE_NUMBER], kData);
    if (!data || data->IsResident()) {
        return;
    }
    std::size_t cursor = RunListStart(*data);
    Run run;
    while (DecodeNextRun(*data, cursor, run)) {
        if (run.SPARSElength != 0 || run.RUNlength == 0) {
            app::FatalError("MFT not understood, has skipped clusters", "Fatal Error");
        }
    }
}

void ReadVolumeRecord(platform::Handle hVolume) {
    MftRecordPtr record = ReadMftRecord(hVolume, kVolumeRecord, false);
    if (const std::optional<Attribute> name = FindAttribute(hVolume, record, kVolumeName)) {
        if (std::optional<AttributeData> value =
                ReadAttributeData(hVolume, *name, 0, Get_Attr_Datasize(name), true)) {
            VolumeLabel = bytes::Utf8FromUtf16(value->Data());
        }
    }
    FindAttribute(hVolume, record, kVolumeInformation);
}

void ResetState() {
    ReleaseCachedRecords();
    rootDirectoryRecord.reset();
    mftsize = 0;
    mftClusters = 0;
    VolumeLabel.clear();
}

}  // namespace

int64_t MftRecordCount() {
    if (Vcb == nullptr || Vcb->BytesPerFileRecordSegment == 0 || mftsize <= 0) {
        return 0;
    }
    return std::min<int64_t>(mftsize / Vcb->BytesPerFileRecordSegment,
                             int64_t{kMaxRecordNumber} + 1);
}

platform::Handle OpenVolumeAndCheckMft(char letter) {
    ResetState();
    // Only a device needs the rights; an image file is the user's own.
    if (platform::CurrentPlatform().NeedsAdministrator(letter)) {
        app::MessageBox("You are not an Administrator!" + std::string(app::kLinuxAdministratorLine),
                        "Oops!");
    }
    const platform::Handle handle = volume::OpenVolume(letter);
    if (!platform::IsOpenHandle(handle) || Vcb->IsFat) {
        return handle;
    }
    // Records are read whole and fixed up per 512 bytes; other sizes cannot be records.
    const uint32_t recordBytes = Vcb->BytesPerFileRecordSegment;
    if (!CONSISTENCY_CHECK_TEXT(recordBytes >= kMinRecordBytes && recordBytes <= kMaxRecordBytes,
                                "Vcb->BytesPerFileRecordSegment >= 512 && "
                                "Vcb->BytesPerFileRecordSegment <= 65536")) {
        return platform::kInvalidHandle;
    }
    if (!ReadMftRecord(handle, MASTER_FILE_TABLE_NUMBER, false)) {
        return handle;
    }
    SetMftSize(handle);
    CONSISTENCY_CHECK_TEXT(mftsize == Vcb->MftValidDataLength || Vcb->MftValidDataLength == 0,
                           "mftsize==Vcb->MftValidDataLength || Vcb->MftValidDataLength ==0");
    Vcb->MftValidDataLength = mftsize;
    return handle;
}

std::optional<platform::Handle> OpenNtfsVolume(char letter) {
    if (DefragInProgress) {
        app::MessageBox(
            "Can't start a second operation while one is running: recursion error\nThis is "
            "probably a bug... Report it",
            "Error", app::MbButtons::Ok, app::MbIcon::None, app::MbOwner::MainWindow);
        return std::nullopt;
    }
    const platform::Handle handle = OpenVolumeAndCheckMft(letter);
    if (!platform::IsOpenHandle(handle)) {
        app::ShowSystemError();
        if (handle == platform::kNoHandle) {
            volume::CloseVolume();  // refused: nothing more to do with it
        }
        return platform::kInvalidHandle;
    }
    if (!Vcb->IsFat) {
        const MftRecordPtr mft = ReadMftRecord(handle, MASTER_FILE_TABLE_NUMBER, false);
        CONSISTENCY_CHECK_TEXT(mft != nullptr, "mftrecptr[MASTER_FILE_TABLE_NUMBER] != 0");
        SetMftSize(handle);
        CheckMftRuns(handle);
        LoadMftBitmap(handle);
        ReadVolumeRecord(handle);
        CheckBadClusterFile(handle);
    }
    if (Vcb->TotalClusters > 0 || !Vcb->IsFat) {
        LoadVolumeBitmap(handle);
        const int64_t used = CountSetBits(VolumeBitmap, VolumeBitmapBits);
        if (Vcb->IsRawFileSystem && Vcb->FreeClusters == 0) {
            Vcb->FreeClusters = Vcb->TotalClusters - used;
        }
    }
    if (!Vcb->IsFat) {
        rootDirectoryRecord = ReadMftRecord(handle, kRootDirectoryRecord, false);
    }
    DefragInProgress = true;
    return handle;
}

void CloseNtfsVolumeIfOpen() {
    if (DefragInProgress) {
        CloseNtfsVolume(Vcb != nullptr ? Vcb->hVolume : platform::kNoHandle);
    }
}

void CloseNtfsVolume(platform::Handle hFile) {
    FreeBitmaps();
    ResetState();
    if (Vcb != nullptr) {
        CONSISTENCY_CHECK_TEXT(Vcb->hVolume == hFile, "Vcb->hVolume==hFile");
        const platform::Handle own = Vcb->hVolume;
        volume::CloseVolume();
        if (platform::IsOpenHandle(hFile) && hFile != own &&
            !platform::CurrentPlatform().CloseHandle(hFile)) {
            app::ShowSystemError();
        }
    }
    DefragInProgress = false;
}

}  // namespace relicta::ntfs
