#include "volume/bpb.h"

#include "volume/boot_sector_layout.h"

namespace relicta::volume {

using bytes::U16;
using bytes::U32;
using bytes::U8;

void UnpackBpb(Bytes s, Bpb& bpb) {
    bpb = Bpb{};
    bpb.BytesPerSector = U16(s, fat_boot::BytesPerSector);
    bpb.SectorsPerCluster = U8(s, fat_boot::SectorsPerCluster);
    bpb.ReservedSectors = U16(s, fat_boot::ReservedSectors);
    bpb.Fats = U8(s, fat_boot::Fats);
    bpb.RootEntries = U16(s, fat_boot::RootEntries);
    bpb.Sectors = U16(s, fat_boot::Sectors);
    bpb.Media = U8(s, fat_boot::Media);
    bpb.SectorsPerFat = U16(s, fat_boot::SectorsPerFat);
    bpb.SectorsPerTrack = U16(s, fat_boot::SectorsPerTrack);
    bpb.Heads = U16(s, fat_boot::Heads);
    bpb.HiddenSectors = U32(s, fat_boot::HiddenSectors);
    bpb.LargeSectors = bpb.Sectors != 0 ? 0 : U32(s, fat_boot::LargeSectors);
    bpb.LargeSectorsPerFat = U32(s, fat_boot::LargeSectorsPerFat);
    bpb.ExtendedFlags = U16(s, fat_boot::ExtendedFlags);
    bpb.FsVersion = U16(s, fat_boot::FsVersion);
    bpb.RootDirFirstCluster = U32(s, fat_boot::RootDirFirstCluster);
    bpb.FsInfoSector = U16(s, fat_boot::FsInfoSector);
    bpb.BackupBootSector = U16(s, fat_boot::BackupBootSector);
}

}  // namespace relicta::volume
