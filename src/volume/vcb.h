#pragma once
// The volume control block: the one open volume's geometry and handle.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "platform/unreadable.h"
#include "volume/bpb.h"
#include "volume/exfat_boot.h"
#include "volume/fat_geometry.h"

namespace relicta::volume {

inline constexpr uint32_t kDefaultBytesPerSector = 512;
inline constexpr int kMftBufferPoolSlots = 4;

using RecordBuffer = std::vector<uint8_t>;

// Bytes read ahead of small reads that move forward through the volume (the free MFT
// records a scan walks), so that each is not a read of its own.
struct ReadAhead {
    platform::Handle handle = platform::kNoHandle;
    int64_t offset = 0;     // of bytes[0]
    int64_t streamEnd = 0;  // where the last small read ended
    int64_t reach = 0;      // how far into `bytes` reads were served
    std::vector<uint8_t> bytes;
};

// Clusters stored one after another: `clusters` clusters from `vcn` lie from `lcn` on.
struct ClusterExtent {
    int64_t vcn = 0;
    int64_t lcn = 0;
    int64_t clusters = 0;
};

// FAT blocks of an exFAT volume kept for the chains a scan or a recovery follows: the FAT
// is read in pieces where it is needed, never whole.
struct ExFatFatCache {
    static constexpr int kSlots = 8;
    static constexpr std::size_t kBlockBytes = std::size_t{64} * 1024;
    std::array<int64_t, kSlots> block{-1, -1, -1, -1, -1, -1, -1, -1};
    std::array<std::vector<uint8_t>, kSlots> bytes;
    int nextSlot = 0;
};

// What unreadable sectors cost a scan or a recovery of the open volume, for the one report the
// user gets at the end.
struct ReadLosses {
    uint32_t mftRecords = 0;     // records that lie in unreadable sectors
    uint32_t folders = 0;        // folders some of whose clusters could not be read
    uint32_t files = 0;          // files not recovered whole because they cross unreadable sectors
    uint32_t partialFiles = 0;   // files written with unreadable sectors as zeros
    bool otherFatCopy = false;   // the second FAT stood in for unreadable sectors of the first
    bool unreadableFat = false;  // some FAT sectors could be read from neither copy
};

struct VCB {
    uint64_t VolumeSerialNumber = 0;
    int64_t NumberSectors = 0;
    int64_t TotalClusters = 0;
    int64_t FreeClusters = 0;
    uint32_t BytesPerSector = kDefaultBytesPerSector;
    uint32_t BytesPerCluster = 0;
    uint32_t BytesPerFileRecordSegment = 0;
    int32_t ClustersPerFileRecordSegment = 0;
    int64_t MftValidDataLength = 0;
    int64_t MftStartLcn = 0;
    int64_t Mft2StartLcn = 0;
    platform::Handle hVolume = platform::kNoHandle;
    char RootPath[4] = {'C', ':', '\\', '\0'};
    std::unique_ptr<Bpb> pBpb;
    volume::AllocationSupport AllocationSupport;
    bool IsFat = false;  // FAT12, FAT16, FAT32 or exFAT: clusters from 2 in a file area
    bool IsExFat = false;
    ExFatGeometry ExFat;
    ExFatFatCache ExFatFat;
    bool IsRawFileSystem = false;
    // Released MFT record buffers kept for reuse; an empty slot holds none.
    std::array<RecordBuffer, kMftBufferPoolSlots> pLastUsedMftBuffer;
    ReadAhead readAhead;
    // Sectors of the volume found unreadable, so that each costs one narrowed failure.
    platform::UnreadableRuns Unreadable;
    ReadLosses Losses;
    // While set, the unreadable runs each read of the volume met are added here: a recovery
    // learns which of a file's bytes could not be read, even those known before.
    std::vector<platform::ByteRun>* UnreadableSeen = nullptr;
    // Where the MFT lies when its run list is plain (filled on first use; see mft_record).
    bool MftExtentsKnown = false;
    std::vector<ClusterExtent> MftExtents;

    char DriveLetter() const { return RootPath[0]; }
};

// The one open volume, or nullptr.
extern VCB* Vcb;

// Creates the Vcb (and its Bpb) when there is none; "Fatal error" and exit when it cannot.
VCB& EnsureVcb();

// Closes the volume handle if open and frees the Vcb. Safe to call with no Vcb.
void CloseVolume();

}  // namespace relicta::volume
