#include <cstdio>
#include <string>

#include "cli/commands.h"
#include "cli/describe.h"
#include "ntfs/bitmaps.h"
#include "ntfs/ntfs_volume.h"
#include "platform/drive_table.h"
#include "volume/exfat_fat.h"
#include "volume/vcb.h"

namespace relicta::cli {
namespace {

using volume::Vcb;

void PrintField(const char* name, const std::string& value) {
    std::printf("%-22s %s\n", name, value.c_str());
}
void PrintField(const char* name, int64_t value) {
    PrintField(name, std::to_string(value));
}

void PrintExFatFields(int64_t used) {
    const volume::ExFatGeometry& x = Vcb->ExFat;
    PrintField("serial number", [&x] {
        char text[16];
        std::snprintf(text, sizeof text, "%08X", x.SerialNumber);
        return std::string(text);
    }());
    PrintField("FATs", x.NumberOfFats);
    PrintField("FAT at sector", static_cast<int64_t>(x.ActiveFatOffset()));
    PrintField("FAT size (sectors)", x.FatLength);
    PrintField("cluster heap at", static_cast<int64_t>(Vcb->AllocationSupport.FileAreaLbo));
    PrintField("root cluster", x.RootCluster);
    PrintField("bitmap at cluster", volume::ExFatBitmapCluster().value_or(0));
    PrintField("clusters in use", used);
}

void PrintVolume(char letter) {
    const platform::DriveSource* source = platform::Drives().Find(letter);
    std::printf("%c:  %s\n", letter, source != nullptr ? source->Describe().c_str() : "");
    const std::optional<platform::Handle> handle = ntfs::OpenNtfsVolume(letter);
    if (!handle || !platform::IsOpenHandle(*handle)) {
        PrintField("file system", "cannot be read");
        return;
    }
    const volume::AllocationSupport& g = Vcb->AllocationSupport;
    PrintField("file system", Vcb->IsExFat ? std::string("exFAT")
                              : Vcb->IsFat ? "FAT" + std::to_string(g.FatIndexBitSize)
                                           : std::string("NTFS"));
    if (Vcb->IsRawFileSystem) {
        PrintField("mode", "lenient (file system not recognised)");
    }
    PrintField("bytes per sector", Vcb->BytesPerSector);
    PrintField("bytes per cluster", Vcb->BytesPerCluster);
    PrintField("sectors", Vcb->NumberSectors);
    PrintField("total clusters", Vcb->TotalClusters);
    const int64_t used = ntfs::CountSetBits(ntfs::VolumeBitmap, ntfs::VolumeBitmapBits);
    if (Vcb->IsExFat) {
        PrintExFatFields(used);
    } else if (Vcb->IsFat) {
        PrintField("FAT width", g.FatIndexBitSize);
        PrintField("FAT size (sectors)", Vcb->pBpb->FatSize());
        PrintField("FATs", Vcb->pBpb->Fats);
        PrintField("root directory at", static_cast<int64_t>(g.RootDirectoryLbo));
        PrintField("file area at", static_cast<int64_t>(g.FileAreaLbo));
        PrintField("clusters in use", used);
    } else {
        PrintField("volume label", ntfs::VolumeLabel);
        PrintField("serial number", [] {
            char text[32];
            std::snprintf(text, sizeof text, "%016llX",
                          static_cast<unsigned long long>(Vcb->VolumeSerialNumber));
            return std::string(text);
        }());
        PrintField("MFT record size", Vcb->BytesPerFileRecordSegment);
        PrintField("MFT start cluster", Vcb->MftStartLcn);
        PrintField("MFT mirror cluster", Vcb->Mft2StartLcn);
        PrintField("MFT size (bytes)", ntfs::mftsize);
        PrintField("MFT records", ntfs::MftRecordCount());
        PrintField("MFT records in use",
                   ntfs::CountSetBits(ntfs::mftbitmapptr, ntfs::MftRecordCount()));
        PrintField("clusters in use", used);
    }
    PrintField("free clusters", Vcb->TotalClusters - used);
    ntfs::CloseNtfsVolume(*handle);
}

}  // namespace

int RunInfo(const Options& options) {
    const std::optional<std::vector<char>> letters = DrivesFromArguments(options);
    if (!letters) {
        return kExitUsage;
    }
    bool first = true;
    for (char letter : *letters) {
        if (!first) {
            std::printf("\n");
        }
        first = false;
        PrintVolume(letter);
    }
    return letters->empty() ? kExitUsage : kExitDone;
}

}  // namespace relicta::cli
