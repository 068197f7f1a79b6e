// Boot-sector analysis and the volume open over a small volume in memory, then sector,
// cluster and FAT reads of what the open decided.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "platform/last_error.h"
#include "volume/fat_entry.h"
#include "volume/open_volume.h"
#include "volume/raw_io.h"

using namespace relicta;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    static const char* const kNames[] = {"NTFS", "FAT", "FAT32", "RAW", "EXT4"};
    fuzz::Session session;
    platform::ScriptedDrive& drive =
        session.Drive(std::vector<uint8_t>(data + 1, data + size), kNames[data[0] % 5]);
    drive.fileSystemError = (data[0] & 0x80) != 0 ? platform::kErrorWrongDisk : 0;
    try {
        const platform::Handle h = volume::OpenVolume('C');
        if (!platform::IsOpenHandle(h)) {
            return 0;
        }
        std::vector<uint8_t> buffer(std::min<uint64_t>(volume::Vcb->BytesPerCluster, 1 << 20) * 2);
        volume::ReadClusters(h, 2, buffer, 2);
        volume::ReadLogicalSectors(h, 1,
                                   std::span<uint8_t>(buffer).first(std::min<size_t>(
                                       buffer.size(), volume::Vcb->BytesPerSector)),
                                   1);
        if (volume::Vcb->IsFat) {
            const std::vector<uint8_t> fat = volume::ReadFat(h);
            for (uint32_t c = 0; c < 64; ++c) {
                volume::InterpretClusterType(*volume::Vcb, volume::FatEntry(*volume::Vcb, c, fat));
            }
        }
    } catch (const app::ProcessExit&) {
    }
    return 0;
}
