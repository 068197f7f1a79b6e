#include "deep/boot_sector_finder.h"

#include "bytes/le_bytes.h"
#include "volume/boot_sector.h"
#include "volume/boot_sector_layout.h"
#include "volume/exfat_layout.h"
#include "volume/fat_geometry.h"

namespace relicta::deep {
namespace {

constexpr uint16_t kBootSignature = 0xAA55;
constexpr std::size_t kBootSignatureAt = 510;
constexpr uint32_t kMaxClusterBytes = uint32_t{32} << 20;  // exFAT's largest
constexpr int64_t kMinVolumeSectors = 16;

bool PowerOfTwo(uint64_t n) {
    return n != 0 && (n & (n - 1)) == 0;
}

bool SaneSizes(uint32_t sectorBytes, uint64_t clusterBytes) {
    return sectorBytes >= 512 && sectorBytes <= 4096 && PowerOfTwo(sectorBytes) &&
           PowerOfTwo(clusterBytes) && clusterBytes >= sectorBytes &&
           clusterBytes <= kMaxClusterBytes;
}

std::optional<FoundBootSector> ReadFat(bytes::Bytes s, int64_t offset) {
    FoundBootSector b;
    b.kind = BootKind::Fat;
    b.offset = offset;
    volume::UnpackBpb(s, b.bpb);
    b.bytesPerSector = b.bpb.BytesPerSector;
    b.clusterBytes = uint32_t{b.bpb.BytesPerSector} * b.bpb.SectorsPerCluster;
    b.totalSectors = b.bpb.TotalSectors();
    if (!SaneSizes(b.bytesPerSector, b.clusterBytes) || b.bpb.Fats == 0 || b.bpb.Fats > 2 ||
        b.bpb.ReservedSectors == 0 || b.bpb.FatSize() == 0 || b.totalSectors < kMinVolumeSectors ||
        volume::FatDataClusters(b.bpb) == 0) {
        return std::nullopt;
    }
    return b;
}

std::optional<FoundBootSector> ReadExFat(bytes::Bytes s, int64_t offset) {
    const std::optional<volume::ExFatGeometry> g = volume::ReadExFatGeometry(s);
    if (!g) {
        return std::nullopt;
    }
    FoundBootSector b;
    b.kind = BootKind::ExFat;
    b.offset = offset;
    b.exFat = *g;
    b.bytesPerSector = g->BytesPerSector();
    b.clusterBytes = g->BytesPerCluster();
    b.totalSectors = static_cast<int64_t>(std::min<uint64_t>(g->VolumeLength, INT64_MAX));
    b.serialNumber = g->SerialNumber;
    return b;
}

std::optional<FoundBootSector> ReadNtfs(bytes::Bytes s, int64_t offset) {
    FoundBootSector b;
    b.kind = BootKind::Ntfs;
    b.offset = offset;
    b.bytesPerSector = bytes::U16(s, volume::ntfs_boot::BytesPerSectorLow);
    b.clusterBytes =
        b.bytesPerSector * uint32_t{bytes::U8(s, volume::ntfs_boot::SectorsPerCluster)};
    b.totalSectors = bytes::S64(s, volume::ntfs_boot::NumberSectors);
    b.mftStartLcn = bytes::S64(s, volume::ntfs_boot::MftStartLcn);
    b.mft2StartLcn = bytes::S64(s, volume::ntfs_boot::Mft2StartLcn);
    b.serialNumber = bytes::U64(s, volume::ntfs_boot::VolumeSerialNumber);
    const int8_t c = bytes::S8(s, volume::ntfs_boot::ClustersPerFileRecordSegment);
    const uint64_t record =
        c < 0 ? (-c <= 16 ? uint64_t{1} << -c : 0) : uint64_t(c) * b.clusterBytes;
    if (!SaneSizes(b.bytesPerSector, b.clusterBytes) || !PowerOfTwo(record) || record < 512 ||
        record > 65536 || b.totalSectors < kMinVolumeSectors || b.mftStartLcn <= 0 ||
        b.mft2StartLcn <= 0) {
        return std::nullopt;
    }
    const int64_t clusters = b.totalSectors / (b.clusterBytes / b.bytesPerSector);
    if (b.mftStartLcn >= clusters || b.mft2StartLcn >= clusters) {
        return std::nullopt;
    }
    b.recordBytes = static_cast<uint32_t>(record);
    return b;
}

}  // namespace

std::optional<FoundBootSector> ReadFoundBootSector(std::span<const uint8_t> sector,
                                                   int64_t offset) {
    if (sector.size() < volume::kBootSectorSize ||
        bytes::U16(sector, kBootSignatureAt) != kBootSignature) {
        return std::nullopt;
    }
    if (volume::IsExFatBootSector(sector)) {
        return ReadExFat(sector, offset);
    }
    if (volume::IsNtfsBootSector(sector)) {
        return ReadNtfs(sector, offset);
    }
    if (volume::IsFatBootSector(sector)) {
        return ReadFat(sector, offset);
    }
    return std::nullopt;
}

std::vector<int64_t> FoundBootSector::VolumeStarts() const {
    std::vector<int64_t> starts{offset};
    int64_t backupSectors = 0;
    switch (kind) {
        case BootKind::Fat:
            backupSectors = bpb.IsFat32() ? bpb.BackupBootSector : 0;
            break;
        case BootKind::ExFat:
            backupSectors = volume::exfat_boot::BootRegionSectors;
            break;
        case BootKind::Ntfs:
            backupSectors = totalSectors;  // the sector past those it counts
            break;
    }
    const __int128 back = static_cast<__int128>(backupSectors) * bytesPerSector;
    if (backupSectors > 0 && back <= offset) {
        starts.push_back(offset - static_cast<int64_t>(back));
    }
    return starts;
}

int64_t FoundBootSector::ClusterAreaOffset() const {
    switch (kind) {
        case BootKind::Fat: {
            volume::AllocationSupport g;
            volume::ComputeFatGeometry(bpb, g);
            return static_cast<int64_t>(g.FileAreaLbo);
        }
        case BootKind::ExFat:
            return int64_t{exFat.ClusterHeapOffset} << exFat.BytesPerSectorShift;
        case BootKind::Ntfs:
            break;
    }
    return 0;
}

void BootSectorFinder::Feed(const Block& block) {
    for (std::size_t at = 0; at < block.starts && at + kSectorBytes <= block.bytes.size();
         at += kSectorBytes) {
        // The signature first: nearly every sector is refused on two bytes.
        if (block.bytes[at + kBootSignatureAt] != 0x55 ||
            block.bytes[at + kBootSignatureAt + 1] != 0xAA || found_.size() >= kMaxFound) {
            continue;
        }
        if (std::optional<FoundBootSector> b = ReadFoundBootSector(
                block.bytes.subspan(at, kSectorBytes), block.offset + static_cast<int64_t>(at))) {
            Keep(*b, block.bytes.subspan(at, kSectorBytes));
        }
    }
}

void BootSectorFinder::Keep(FoundBootSector found, std::span<const uint8_t> sector) {
    found_.push_back(found);
    sectors_.insert(sectors_.end(), sector.begin(), sector.end());
}

void BootSectorFinder::Save(CheckpointWriter& out) const {
    out.Count(found_.size());
    for (std::size_t i = 0; i < found_.size(); ++i) {
        out(found_[i].offset);
        out.Raw(std::span<const uint8_t>(sectors_).subspan(i * kSectorBytes, kSectorBytes));
    }
}

bool BootSectorFinder::Load(CheckpointReader& in) {
    const std::size_t n = in.Count(sizeof(int64_t) + kSectorBytes, kMaxFound);
    std::vector<uint8_t> sector(kSectorBytes);
    int64_t last = -1;
    for (std::size_t i = 0; i < n && in.ok(); ++i) {
        last = in.Offset(last);
        in.Raw(sector);
        // Read again as the pass read it: what it found is what this finds.
        const std::optional<FoundBootSector> b = ReadFoundBootSector(sector, last);
        if (!in.ok() || !b) {
            in.Fail();
            break;
        }
        Keep(*b, sector);
    }
    return in.ok();
}

}  // namespace relicta::deep
