#include "recover/reassembly.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "content/formats/format.h"
#include "deep/bifragment.h"
#include "deep/carve_follow.h"
#include "deep/extent_reader.h"
#include "deep/finder.h"
#include "ntfs/bitmaps.h"
#include "platform/platform.h"
#include "recover/cluster_runs.h"
#include "recover/found_file_data.h"
#include "volume/raw_io.h"
#include "volume/vcb.h"

namespace relicta::recover {
namespace {

using volume::Vcb;

constexpr const char* kReassembledNote = "reassembled from two fragments";
constexpr int64_t kFirstCluster = kFirstFatCluster;

const content::Format* FormatToCheck(const scan::FoundFile& file) {
    const content::Format* format = content::FormatOf(content::FamilyOfName(file.name));
    return format != nullptr && format->Check != nullptr && format->FindEnd != nullptr &&
                   format->family != content::Family::Text
               ? format
               : nullptr;
}

// Where the file's data begins on the drive (the volume, for the normal scan's files).
std::optional<int64_t> FirstByte(const scan::FoundFile& file) {
    if (const scan::DeepLocation* where = file.Deep()) {
        if (where->residentData || where->extents.empty() ||
            where->extents.front().offset == scan::DeepExtent::kZeros) {
            return std::nullopt;
        }
        return where->extents.front().offset;
    }
    return volume::ClusterOffset(file.mftOrCluster);
}

// The blocks the pieces begin and end on: the open volume's clusters where the file's first
// byte begins one, else sectors (a deep scan's file of an old volume whose clusters are not
// the open one's).
void SetBlocks(deep::GapSearch& search) {
    const std::optional<int64_t> heap =
        Vcb->IsFat ? volume::ClusterOffset(kFirstCluster) : std::nullopt;
    if (heap && Vcb->BytesPerCluster != 0 && search.start >= *heap &&
        (search.start - *heap) % Vcb->BytesPerCluster == 0) {
        search.blockOrigin = *heap;
        search.blockBytes = Vcb->BytesPerCluster;
    } else {
        search.blockOrigin = 0;
        search.blockBytes = deep::kSectorBytes;
    }
}

// Whether the open volume's bitmap says the cluster holding drive offset `at` is free; true on
// a drive read raw.
bool FreeNow(int64_t at) {
    if (Vcb->IsRawFileSystem || Vcb->BytesPerCluster == 0 || at < 0) {
        return true;
    }
    if (!Vcb->IsFat) {
        const int64_t cluster = at / Vcb->BytesPerCluster;
        return cluster < ntfs::VolumeBitmapBits && !ntfs::BitSet(ntfs::VolumeBitmap, cluster);
    }
    const std::optional<int64_t> heap = volume::ClusterOffset(kFirstCluster);
    return heap && at >= *heap &&
           ntfs::FatClusterFree(kFirstCluster + (at - *heap) / Vcb->BytesPerCluster);
}

// Where the found files of `drive` begin, sorted.
std::vector<int64_t> SortedFirstBytes(char drive) {
    std::vector<int64_t> firsts;
    for (std::size_t i = 0; i < scan::foundFiles.size(); ++i) {
        const scan::FoundFile& file = scan::foundFiles[i];
        if (file.Drive() != drive || file.size <= 0 || (file.Deep() == nullptr && !Vcb->IsFat)) {
            continue;
        }
        if (const std::optional<int64_t> first = FirstByte(file)) {
            firsts.push_back(*first);
        }
    }
    std::sort(firsts.begin(), firsts.end());
    return firsts;
}

// How far the first piece may run: as far as the file's size, and for the normal scan's files
// over free clusters only.
int64_t FirstPieceEnd(const scan::FoundFile& file, int64_t start, int64_t driveLength) {
    const int64_t end = start + std::min<int64_t>(file.size, driveLength - start);
    if (file.Deep() != nullptr || !Vcb->IsFat || Vcb->BytesPerCluster == 0) {
        return end;
    }
    int64_t at = start;
    while (at < end && FreeNow(at)) {
        at += Vcb->BytesPerCluster;
    }
    return std::min(at, end);
}

// Where the file's structure, read on from its first byte, breaks: where its end is found
// when it is found (foreign bytes that did not break it), never past the first piece's end.
int64_t BreakOf(const content::Format& format, int64_t start, int64_t end) {
    deep::ExtentReader contiguous(Vcb->hVolume, {{start, static_cast<uint64_t>(end - start)}},
                                  static_cast<uint64_t>(end - start));
    content::Window window(contiguous);
    const content::FileEnd found = format.FindEnd(window);
    return std::min(end, start + static_cast<int64_t>(std::min<uint64_t>(found.end, end - start)));
}

}  // namespace

const std::vector<int64_t>& FileStarts::Of(char drive) {
    auto gathered = sorted_.find(drive);
    if (gathered == sorted_.end()) {
        gathered = sorted_.emplace(drive, SortedFirstBytes(drive)).first;
    }
    return gathered->second;
}

bool FileStarts::AnyIn(const std::vector<int64_t>& firsts, int64_t at, int64_t length,
                       int64_t own) {
    auto next = std::lower_bound(firsts.begin(), firsts.end(), at);
    if (next != firsts.end() && *next == own) {
        ++next;  // the file itself, counted once; another file beginning there too still counts
    }
    return next != firsts.end() && *next < at + length;
}

bool MayReassemble(uint32_t itemNum) {
    if (Vcb == nullptr || itemNum >= scan::foundFiles.size()) {
        return false;
    }
    const scan::FoundFile& file = scan::foundFiles[itemNum];
    // A deleted FAT file's chain is always gone; exFAT's and a deep scan's only when it says so.
    const bool guessed = file.layout == scan::DataLayout::Guessed ||
                         (file.Deep() == nullptr && file.layout == scan::DataLayout::Default &&
                          Vcb->IsFat && !Vcb->IsExFat);
    const bool located =
        file.Deep() != nullptr || (Vcb->IsFat && file.mftOrCluster >= kFirstCluster);
    return guessed && located && file.size > 0 && FormatToCheck(file) != nullptr;
}

bool ReassembleGuessedFile(uint32_t itemNum, bool guessFailed, FileStarts* starts) {
    if (!MayReassemble(itemNum)) {
        return false;
    }
    scan::FoundFile& file = scan::foundFiles[itemNum];
    const content::Format& format = *FormatToCheck(file);
    const deep::WholeCheck whole = [&format](content::DataReader& data) {
        return deep::ChecksWhole(format, data);
    };
    if (!guessFailed) {
        const std::unique_ptr<content::DataReader> guess = OpenFoundFileData(itemNum);
        if (!guess || whole(*guess)) {
            return false;
        }
    }
    const std::optional<int64_t> start = FirstByte(file);
    const auto driveLength =
        static_cast<int64_t>(platform::CurrentPlatform().VolumeLength(Vcb->hVolume));
    if (!start || *start < 0 || *start >= driveLength) {
        return false;
    }
    deep::GapSearch search;
    search.start = *start;
    search.breakAt = BreakOf(format, *start, FirstPieceEnd(file, *start, driveLength));
    search.driveLength = driveLength;
    search.knownSize = static_cast<uint64_t>(file.size);
    SetBlocks(search);
    FileStarts ownStarts;
    FileStarts& others = starts != nullptr ? *starts : ownStarts;
    const int64_t block = search.blockBytes;
    const std::vector<int64_t>& firsts = others.Of(file.Drive());
    const int64_t own = *start;
    search.mayHold = [&firsts, own, block](int64_t at) {
        return FreeNow(at) && !FileStarts::AnyIn(firsts, at, block, own);
    };
    std::optional<std::vector<scan::DeepExtent>> pieces =
        deep::ReassembleTwoFragments(Vcb->hVolume, format, search, whole);
    if (!pieces) {
        return false;
    }
    scan::DeepLocation where;
    where.extents = std::move(*pieces);
    file.SetDeep(std::move(where));
    file.layout = scan::DataLayout::Reassembled;
    file.condition = scan::kPoor;
    return true;
}

std::string WithLayoutNote(const scan::FoundFile& file, std::string detail) {
    if (file.layout != scan::DataLayout::Reassembled) {
        return detail;
    }
    return detail.empty() ? kReassembledNote : std::string(kReassembledNote) + "; " + detail;
}

}  // namespace relicta::recover
