#include "scan/fat_scan.h"

#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

#include "app/consistency.h"
#include "app/progress.h"
#include "app/scan_state.h"
#include "ntfs/bitmaps.h"
#include "ntfs/ntfs_volume.h"
#include "scan/found_files.h"
#include "volume/dir_entry_layout.h"
#include "volume/fat_entry.h"
#include "volume/filetime.h"
#include "volume/raw_io.h"
#include "volume/text.h"
#include "volume/vcb.h"

namespace relicta::scan {
namespace {

using volume::Vcb;
namespace dir_entry = volume::dir_entry;
namespace long_name = volume::long_name;

constexpr uint8_t kReportedAttributes = 0x27;  // read-only, hidden, system, archive

// The largest directory FAT allows, and how deep a tree may go before it must be a loop.
constexpr std::size_t kMaxDirectoryEntries = 65536;
constexpr int kMaxDepth = 128;
constexpr std::size_t kEntriesPerPump = 2048;
constexpr uint32_t kProgressRange = 10000;
constexpr uint32_t kClustersPerHighWord = 65536;

// What one FAT scan carries from directory to directory.
struct FatWalk {
    ScanContext& context;
    std::vector<uint8_t> fat;
    std::unique_ptr<app::ProgressWindow> window;
    uint32_t progressPosition = 0;
    std::unordered_set<uint32_t> walkedDirectories;  // first clusters, so a loop is walked once
    int depth = 0;
    bool volumeClosed = false;
};

FatWalk* currentWalk = nullptr;

bool IsFat32() {
    return Vcb->pBpb->SectorsPerFat == 0;
}
int64_t LastCluster() {
    return Vcb->TotalClusters + 1;
}

uint32_t ClusterBytes() {
    return Vcb->BytesPerCluster;
}

void StepProgress(FatWalk& walk) {
    // The bar fills and wraps on large volumes.
    walk.progressPosition = (walk.progressPosition + 1) % (kProgressRange + 1);
    walk.window->StepIt();
}

bool ClusterInBitmap(int64_t cluster) {
    return ntfs::BitSet(ntfs::VolumeBitmap, cluster - 2);
}
bool BitmapLoaded() {
    return ntfs::VolumeBitmapBits > 0;
}

std::string TrimRight(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\0')) {
        text.pop_back();
    }
    return text;
}

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

// The long name whose slots stand in front of slot `index`, in full UTF-16. The slots of
// one name share their checksum byte, and a live name's last slot carries the 0x40 flag:
// the walk stops there, so a neighbouring name's stale slots never leak into this one.
std::string LongName(std::span<const uint8_t> dir, std::size_t index) {
    constexpr std::size_t kLongestName = 255;
    std::u16string name;
    name.reserve(kLongestName);
    std::optional<uint8_t> checksum;
    for (std::size_t slot = index; slot-- > 0;) {
        const std::span<const uint8_t> entry = dir.subspan(slot * dir_entry::Size, dir_entry::Size);
        if (entry[0] == 0 || entry[dir_entry::Attributes] != dir_entry::AttrLongName) {
            break;
        }
        if (checksum && entry[long_name::Checksum] != *checksum) {
            break;
        }
        checksum = entry[long_name::Checksum];
        for (std::size_t offset : long_name::Chars) {
            const char16_t c = static_cast<char16_t>(volume::U16(entry, offset));
            if (c == 0) {
                return TrimRight(volume::Utf8FromUtf16(name));
            }
            name.push_back(c);
        }
        if (entry[0] != dir_entry::Deleted && (entry[0] & long_name::LastSlot) != 0) {
            break;
        }
    }
    return TrimRight(volume::Utf8FromUtf16(name));
}

std::string ShortName(std::span<const uint8_t> entry) {
    std::vector<uint8_t> base(entry.begin(), entry.begin() + dir_entry::NameBytes);
    std::string first;
    if (base[0] == dir_entry::StandsForE5) {
        base[0] = dir_entry::Deleted;
    } else if (base[0] == dir_entry::Deleted) {
        first = "?";  // the lost first letter of a deleted name
        base.erase(base.begin());
    }
    std::string name = TrimRight(first + volume::Utf8FromCp437(base));
    if ((entry[dir_entry::CaseFlags] & dir_entry::LowerCaseBase) != 0) {
        name = Lower(name);
    }
    std::string extension = TrimRight(
        volume::Utf8FromCp437(entry.subspan(dir_entry::Extension, dir_entry::ExtensionBytes)));
    if (!extension.empty()) {
        if ((entry[dir_entry::CaseFlags] & dir_entry::LowerCaseExtension) != 0) {
            extension = Lower(extension);
        }
        name += "." + extension;
    }
    return name;
}

bool BeginsWithDotEntry(std::span<const uint8_t> cluster) {
    static constexpr uint8_t kDot[5] = {'.', ' ', ' ', ' ', ' '};
    return cluster.size() >= 5 && std::equal(kDot, kDot + 5, cluster.begin());
}

// Reads `count` clusters from `first` on onto the end of `buffer`.
void AppendClusters(std::vector<uint8_t>& buffer, int64_t first, uint32_t count) {
    const std::size_t at = buffer.size();
    buffer.resize(at + std::size_t{count} * ClusterBytes());
    volume::ReadClusters(Vcb->hVolume, first, std::span<uint8_t>(buffer).subspan(at), count);
}

std::vector<uint8_t> ReadCluster(int64_t cluster) {
    std::vector<uint8_t> buffer;
    AppendClusters(buffer, cluster, 1);
    return buffer;
}

// The first cluster of a slot. A deleted FAT32 entry may have lost its high word: then
// the first candidate that is free now (and, for a directory, starts like one) is taken.
uint32_t FirstCluster(std::span<const uint8_t> entry, bool directory) {
    const uint32_t low = volume::U16(entry, dir_entry::FirstClusterLow);
    const uint32_t high = IsFat32() ? volume::U16(entry, dir_entry::FirstClusterHigh) : 0;
    if (high != 0) {
        return (high << 16) | low;
    }
    if (!IsFat32() || Vcb->TotalClusters <= 0xFFFF || entry[0] != dir_entry::Deleted ||
        !BitmapLoaded()) {
        return low;
    }
    const int64_t groups = (Vcb->TotalClusters + kClustersPerHighWord - 1) / kClustersPerHighWord;
    for (int64_t k = 0; k < groups; ++k) {
        const int64_t candidate = low + k * kClustersPerHighWord;
        if (candidate > LastCluster()) {
            break;
        }
        if (candidate < 2 || ClusterInBitmap(candidate)) {
            continue;
        }
        if (!directory || BeginsWithDotEntry(ReadCluster(candidate))) {
            return static_cast<uint32_t>(candidate);
        }
    }
    return low;
}

const char* RateFile(uint32_t c0, int64_t size, const std::vector<uint8_t>& fat) {
    if (c0 == 0 && size > 0) {
        return kHopeless;
    }
    if (size == 0) {
        return kPoor;
    }
    const int64_t clusters = (size + ClusterBytes() - 1) / ClusterBytes();
    for (int64_t i = 0; i < clusters; ++i) {
        const int64_t c = int64_t{c0} + i;
        if (c < 2 || c > LastCluster()) {
            return kHopeless;
        }
        const volume::ClusterType type = volume::InterpretClusterType(
            *Vcb, volume::FatEntry(*Vcb, static_cast<uint32_t>(c), fat));
        if (type == volume::ClusterAvailable) {
            continue;
        }
        if (type == volume::ClusterLast && BitmapLoaded() && !ClusterInBitmap(c)) {
            continue;
        }
        return kPoor;
    }
    return kGood;
}

// A directory's clusters: a live one along its FAT chain, a deleted one (whose chain is
// gone) its first cluster only; at most the largest directory FAT allows. Clusters that
// follow one another on the volume are read at once.
std::vector<uint8_t> ReadDirectory(uint32_t first, bool deleted, const std::vector<uint8_t>& fat) {
    const std::size_t maxClusters =
        std::max<std::size_t>(1, kMaxDirectoryEntries * dir_entry::Size / ClusterBytes());
    std::vector<uint8_t> buffer;
    std::unordered_set<uint32_t> seen;
    uint32_t cluster = first;
    uint32_t runStart = first;
    uint32_t runLength = 0;
    std::size_t clusters = 0;
    while (clusters < maxClusters && seen.insert(cluster).second) {
        if (runLength > 0 && cluster == runStart + runLength) {
            ++runLength;
        } else {
            if (runLength > 0) {
                AppendClusters(buffer, runStart, runLength);
            }
            runStart = cluster;
            runLength = 1;
        }
        ++clusters;
        if (deleted) {
            break;
        }
        CONSISTENCY_CHECK_TEXT(cluster >= 2, "(newdircluster) >= 2");
        CONSISTENCY_CHECK_TEXT(
            cluster <= uint64_t{Vcb->AllocationSupport.NumberOfClusters} + 1,
            "(newdircluster) <= ((Vcb)->AllocationSupport.NumberOfClusters + 1)");
        const uint32_t next = volume::FatEntry(*Vcb, cluster, fat);
        if (volume::InterpretClusterType(*Vcb, next) != volume::ClusterNext || next < 2 ||
            next > LastCluster()) {
            break;
        }
        cluster = next;
    }
    if (runLength > 0) {
        AppendClusters(buffer, runStart, runLength);
    }
    return buffer;
}

void HandleDirectorySlot(FatWalk& walk, std::span<const uint8_t> entry, const std::string& path,
                         const std::string& name, bool inDeletedDirectory) {
    const bool deleted = entry[0] == dir_entry::Deleted;
    const uint32_t first = FirstCluster(entry, true);
    if (first > LastCluster() || first < 2 || first > Vcb->TotalClusters) {
        return;
    }
    if (walk.depth >= kMaxDepth || !walk.walkedDirectories.insert(first).second) {
        return;  // a directory that leads back to an ancestor, or one seen already
    }
    const std::vector<uint8_t> buffer =
        ReadDirectory(first, deleted || inDeletedDirectory, walk.fat);
    ++walk.depth;
    WalkFatDirectory(walk.context, buffer, ChildPath(path, name), inDeletedDirectory || deleted);
    --walk.depth;
}

void HandleFileSlot(FatWalk& walk, std::span<const uint8_t> entry, const std::string& path,
                    const std::string& name) {
    if (!walk.context.filters.Accepts(path, name)) {
        return;
    }
    const uint64_t modified = volume::FileTimeFromDos(volume::U16(entry, dir_entry::WriteDate),
                                                      volume::U16(entry, dir_entry::WriteTime));
    const int64_t size = volume::U32(entry, dir_entry::FileSize);
    const uint32_t c0 = FirstCluster(entry, false);
    AddFoundFile(walk.context.listCtrl, name, path, size,
                 entry[dir_entry::Attributes] & kReportedAttributes, modified,
                 RateFile(c0, size, walk.fat), c0);
}

// Slot 0 of a subdirectory is its "." entry; anything else is not a directory (any more).
bool LooksLikeDirectory(std::span<const uint8_t> dir, const std::string& path) {
    if (dir.size() < dir_entry::Size) {
        return false;
    }
    std::size_t characters = 0;
    for (char c : path) {
        characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    if (characters > 4) {
        if (dir[0] != '.' || (!IsFat32() && volume::U16(dir, dir_entry::FirstClusterHigh) != 0)) {
            return false;
        }
    }
    // Only the two reserved attribute bits mark garbage: macOS writes "." entries with
    // the archive bit beside the directory bit.
    return (dir[dir_entry::Attributes] & dir_entry::AttrReserved) == 0;
}

std::vector<uint8_t> ReadRoot(const std::vector<uint8_t>& fat) {
    const volume::AllocationSupport& g = Vcb->AllocationSupport;
    if (!IsFat32()) {
        const uint32_t sectorBytes = Vcb->BytesPerSector;
        if (sectorBytes == 0) {
            return {};
        }
        const uint32_t sectors = (g.RootDirectorySize + sectorBytes - 1) / sectorBytes;
        std::vector<uint8_t> root(uint64_t{sectors} * sectorBytes);
        volume::ReadLogicalSectors(
            Vcb->hVolume, static_cast<int64_t>(g.RootDirectoryLbo / sectorBytes), root, sectors);
        root.resize(g.RootDirectorySize);
        return root;
    }
    // The FAT32 root is read along its chain, which ends at an end mark or any value past
    // the last cluster; a free, reserved or bad link means the root cannot be trusted.
    const std::size_t maxClusters =
        std::max<std::size_t>(1, kMaxDirectoryEntries * dir_entry::Size / ClusterBytes());
    std::vector<uint8_t> root;
    uint32_t cluster = Vcb->pBpb->RootDirFirstCluster;
    std::unordered_set<uint32_t> seen;
    while (cluster != 0x0FFFFFFF && root.size() / ClusterBytes() < maxClusters &&
           seen.insert(cluster).second && static_cast<int64_t>(seen.size()) <= Vcb->TotalClusters) {
        CONSISTENCY_CHECK_TEXT(cluster > 1, "RootDirectoryCluster>1");
        CONSISTENCY_CHECK_TEXT(cluster <= LastCluster(),
                               "RootDirectoryCluster <= Vcb->TotalClusters+1");
        AppendClusters(root, cluster, 1);
        const uint32_t next = volume::FatEntry(*Vcb, cluster, fat);
        const volume::ClusterType type = volume::InterpretClusterType(*Vcb, next);
        if (type == volume::ClusterAvailable || type == volume::ClusterReserved ||
            type == volume::ClusterBad) {
            throw ScanError("Bad Root");
        }
        if (next == 0x0FFFFFFF || next > LastCluster()) {
            break;
        }
        cluster = next;
    }
    return root;
}

// True when the walk is to stop: Cancel, or a quit request (the volume is then closed here).
bool PumpAndCheckStop(FatWalk& walk) {
    if (app::PumpMessages()) {
        ntfs::CloseNtfsVolume(Vcb->hVolume);
        walk.volumeClosed = true;
        app::StopScan = true;
    }
    return app::StopScan || walk.volumeClosed;
}

}  // namespace

void WalkFatDirectory(ScanContext& /*context*/, std::span<const uint8_t> dir,
                      const std::string& path, bool InDeletedDirectory) {
    FatWalk& walk = *currentWalk;
    if (PumpAndCheckStop(walk) || !LooksLikeDirectory(dir, path)) {
        return;
    }
    const std::size_t entries = std::min(dir.size() / dir_entry::Size, kMaxDirectoryEntries);
    bool longName = false;
    for (std::size_t i = 0; i < entries && !walk.volumeClosed && !app::StopScan; ++i) {
        // A directory can hold 65536 entries: Cancel is heard within it too.
        if (i % kEntriesPerPump == kEntriesPerPump - 1 && PumpAndCheckStop(walk)) {
            return;
        }
        const std::span<const uint8_t> entry = dir.subspan(i * dir_entry::Size, dir_entry::Size);
        if (entry[0] == 0x00) {
            continue;
        }
        if (entry[0] == 0xFF && entry[1] == 0xFF) {
            break;
        }
        if (std::equal(entry.begin(), entry.begin() + dir_entry::NameBytes, ".       ") ||
            std::equal(entry.begin(), entry.begin() + dir_entry::NameBytes, "..      ")) {
            continue;
        }
        const uint8_t attributes = entry[dir_entry::Attributes];
        if (attributes == dir_entry::AttrVolumeLabel || attributes == 0xDD || attributes == 0xFE ||
            attributes == 0xFF) {
            continue;
        }
        if (attributes == dir_entry::AttrLongName) {
            longName = true;
            continue;
        }
        StepProgress(walk);
        const bool directory = (attributes & dir_entry::AttrDirectory) != 0;
        const bool hasName = longName;
        longName = false;
        // A live file is not listed: its name is not worth decoding.
        if (!directory && entry[0] != dir_entry::Deleted && !InDeletedDirectory) {
            continue;
        }
        const std::string name =
            volume::PrintableName(hasName ? LongName(dir, i) : ShortName(entry));
        if (directory) {
            HandleDirectorySlot(walk, entry, path, name, InDeletedDirectory);
        } else {
            HandleFileSlot(walk, entry, path, name);
        }
    }
}

void ScanFatVolume(ScanContext& context) {
    FatWalk walk{context, volume::ReadFat(Vcb->hVolume), app::CreateProgressWindow(), 0, {}, 0,
                 false};
    walk.window->SetText("Scanning FAT" + std::to_string(Vcb->AllocationSupport.FatIndexBitSize) +
                         " drive " + Vcb->RootPath[0] + ", Please wait...");
    walk.window->SetRange(0, kProgressRange);
    walk.window->SetStep(1);
    currentWalk = &walk;
    struct Reset {
        ~Reset() { currentWalk = nullptr; }
    } reset;
    if (ClusterBytes() == 0) {
        return;
    }
    if (IsFat32()) {
        walk.walkedDirectories.insert(Vcb->pBpb->RootDirFirstCluster);
    }
    const std::vector<uint8_t> root = ReadRoot(walk.fat);
    WalkFatDirectory(context, root, Vcb->RootPath, false);
}

}  // namespace relicta::scan
