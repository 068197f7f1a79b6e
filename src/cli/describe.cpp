#include "cli/describe.h"

#include <sstream>

namespace relicta::cli {

std::string DescribeVolume(const volume::VCB& vcb) {
    std::ostringstream out;
    const volume::AllocationSupport& g = vcb.AllocationSupport;
    if (vcb.IsExFat) {
        out << "exFAT";
    } else if (vcb.IsFat) {
        out << "FAT" << int{g.FatIndexBitSize};
    } else {
        out << "NTFS";
    }
    out << ", " << vcb.BytesPerSector << "-byte sectors, " << vcb.BytesPerCluster
        << "-byte clusters, " << vcb.TotalClusters << " clusters";
    if (vcb.IsExFat) {
        out << ", FAT at sector " << vcb.ExFat.ActiveFatOffset() << ", cluster heap at byte "
            << g.FileAreaLbo << ", root at cluster " << vcb.ExFat.RootCluster;
    } else if (vcb.IsFat) {
        out << ", FAT size " << vcb.pBpb->FatSize() << " sectors, file area at byte "
            << g.FileAreaLbo;
    } else {
        out << ", MFT at cluster " << vcb.MftStartLcn << ", " << vcb.BytesPerFileRecordSegment
            << "-byte MFT records";
    }
    if (vcb.IsRawFileSystem) {
        out << " (lenient)";
    }
    return out.str();
}

}  // namespace relicta::cli
