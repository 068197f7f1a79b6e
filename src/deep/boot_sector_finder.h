#pragma once
// Finds FAT12/16/32, exFAT and NTFS boot sectors anywhere on the drive, main or backup: the
// geometry of a volume whose own boot sector or partition table is lost.

#include <cstdint>
#include <vector>

#include "deep/checkpoint_io.h"
#include "deep/finder.h"
#include "volume/bpb.h"
#include "volume/exfat_boot.h"

namespace relicta::deep {

enum class BootKind : uint8_t { Fat, ExFat, Ntfs };

// One boot sector as found. Whether it is its volume's main sector or a backup cannot be
// told from the sector alone: VolumeStarts() gives each start it may describe.
struct FoundBootSector {
    BootKind kind = BootKind::Fat;
    int64_t offset = 0;  // where it lies on the drive
    uint32_t bytesPerSector = 0;
    uint32_t clusterBytes = 0;
    int64_t totalSectors = 0;
    volume::Bpb bpb;              // FAT
    volume::ExFatGeometry exFat;  // exFAT
    int64_t mftStartLcn = 0;      // NTFS
    int64_t mft2StartLcn = 0;     // NTFS
    uint32_t recordBytes = 0;     // NTFS: bytes of an MFT record
    uint64_t serialNumber = 0;

    // The drive offsets the volume may start at: here (a main boot sector), or where a
    // backup at this place puts it (FAT32: its backup sector field; exFAT: 12 sectors in;
    // NTFS: the volume's last sector).
    std::vector<int64_t> VolumeStarts() const;
    // Bytes from the volume's start to cluster 2 (FAT, exFAT) or to cluster 0 (NTFS: 0).
    int64_t ClusterAreaOffset() const;
};

class BootSectorFinder final : public Finder {
  public:
    void Feed(const Block& block) override;
    const std::vector<FoundBootSector>& Found() const { return found_; }
    // What was found, for a checkpoint; Load reads it back as Feed would have found it, false
    // (the finder then unusable) when it does not read so.
    void Save(CheckpointWriter& out) const;
    bool Load(CheckpointReader& in);

  private:
    // A damaged disk can read as boot sectors everywhere; past this many the rest are noise.
    static constexpr std::size_t kMaxFound = 4096;
    void Keep(FoundBootSector found, std::span<const uint8_t> sector);

    std::vector<FoundBootSector> found_;
    std::vector<uint8_t> sectors_;  // each one's bytes, kSectorBytes a sector
};

// The boot sector `sector` (512 bytes at drive offset `offset`) holds, when it reads as one
// whose fields describe a volume.
std::optional<FoundBootSector> ReadFoundBootSector(std::span<const uint8_t> sector, int64_t offset);

}  // namespace relicta::deep
