#include "ntfs/bitmaps.h"

#include <algorithm>
#include <bit>

#include "app/consistency.h"
#include "app/dialogs.h"
#include "app/process_exit.h"
#include "ntfs/attribute_data.h"
#include "ntfs/mft_layout.h"
#include "ntfs/mft_record.h"
#include "ntfs/ntfs_volume.h"
#include "volume/exfat_fat.h"
#include "volume/fat_entry.h"
#include "volume/raw_io.h"
#include "volume/vcb.h"

namespace relicta::ntfs {

std::vector<uint8_t> VolumeBitmap;
int64_t VolumeBitmapBits = 0;
std::vector<Run> VolumeBitmapRun;
std::vector<uint8_t> mftbitmapptr;
int64_t MftBitmapRecords = 0;

namespace {

using volume::Vcb;

void SetBit(std::vector<uint8_t>& bitmap, int64_t bit, bool value) {
    const std::size_t byte = static_cast<std::size_t>(bit / 8);
    const uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
    bitmap[byte] = value ? (bitmap[byte] | mask) : (bitmap[byte] & ~mask);
}

// Clusters the bitmap can cover: those the boot sector claims, but no more than the
// source holds, so that a damaged boot sector cannot ask for an exabyte bitmap.
int64_t BitmapClusters(platform::Handle hVolume) {
    const int64_t readable =
        Vcb->BytesPerCluster == 0 ? 0 : MaxAttributeReadBytes(hVolume) / Vcb->BytesPerCluster + 1;
    return std::min(Vcb->TotalClusters, readable);
}

bool LoadBitmapFileRuns(platform::Handle hVolume, std::optional<Attribute>& data) {
    MftRecordPtr record = ReadMftRecord(hVolume, kVolumeBitmapRecord, false);
    data = FindAttribute(hVolume, record, kData);
    if (!data) {
        return false;
    }
    const int expected = CountRuns(&*data, false);
    VolumeBitmapRun.clear();
    if (data->IsResident()) {
        return true;
    }
    std::size_t cursor = RunListStart(*data);
    Run run;
    int64_t vcn = 0;
    while (DecodeNextRun(*data, cursor, run)) {
        if (run.SPARSElength != 0) {
            app::FatalError("Volume Bitmap not understood, has skipped clusters", "Fatal Error");
        }
        run.vcn = vcn;
        vcn += run.RUNlength;
        VolumeBitmapRun.push_back(run);
    }
    if (static_cast<int>(VolumeBitmapRun.size()) != expected) {
        app::FatalError("Volume Bitmap is strange!", "Fatal Error");
    }
    return true;
}

void LoadNtfsBitmapFile(platform::Handle hVolume) {
    std::optional<Attribute> data;
    if (!LoadBitmapFileRuns(hVolume, data)) {
        return;
    }
    if (static_cast<int64_t>(VolumeBitmap.size()) != Get_Attr_Datasize(data)) {
        app::MessageBoxRequest request;
        request.text = "I calced the VolumeBitmapBytes wrong";
        request.caption = "Info";
        request.foreground = false;
        app::CurrentDialogs().Show(request);
    }
    std::fill(VolumeBitmap.begin(), VolumeBitmap.end(), kBitmapFill);
    ReadVolumeBitmapRuns(hVolume, VolumeBitmap);
}

void LoadFatBitmap(platform::Handle hVolume) {
    const std::vector<uint8_t> fat = volume::ReadFat(hVolume);
    const uint32_t clusters = Vcb->AllocationSupport.NumberOfClusters;
    CONSISTENCY_CHECK_TEXT(clusters > 1, "(Vcb)->AllocationSupport.NumberOfClusters > 1");
    const int64_t bits = std::min<int64_t>(clusters, VolumeBitmapBits);
    const uint8_t width = Vcb->AllocationSupport.FatIndexBitSize;
    // Every index lies in 2..clusters+1, so a million clusters are read without a
    // consistency check each, and their bits stored a byte at a time.
    const auto used = [&](int64_t i) {
        return volume::ReadFatEntry(width, static_cast<uint32_t>(i + 2), fat) != 0;
    };
    int64_t i = 0;
    for (; i + 8 <= bits; i += 8) {
        uint8_t byte = 0;
        for (int k = 0; k < 8; ++k) {
            byte |= static_cast<uint8_t>(used(i + k) ? 1u << k : 0u);
        }
        VolumeBitmap[static_cast<std::size_t>(i / 8)] = byte;
    }
    for (; i < bits; ++i) {
        SetBit(VolumeBitmap, i, used(i));
    }
}

// exFAT keeps its own allocation bitmap (a file's clusters need not be in the FAT). A
// bitmap that cannot be found leaves every cluster in use, so that nothing is rated as
// free on a guess.
void LoadExFatBitmap() {
    const std::size_t bytes = static_cast<std::size_t>((VolumeBitmapBits + 7) / 8);
    std::fill(VolumeBitmap.begin(), VolumeBitmap.end(), uint8_t{0xFF});
    const std::optional<std::vector<uint8_t>> bitmap = volume::ReadExFatAllocationBitmap(bytes);
    if (!bitmap) {
        app::MessageBox(
            "The exFAT allocation bitmap cannot be read; every cluster is taken as in use",
            "Notice");
        return;
    }
    std::copy(bitmap->begin(), bitmap->end(), VolumeBitmap.begin());
}

}  // namespace

uint64_t VolumeBitmapBytesFor(int64_t clusters) {
    return clusters <= 0 ? 0 : (static_cast<uint64_t>(clusters) + 63) / 64 * 8;
}

bool BitSet(const std::vector<uint8_t>& bitmap, int64_t bit) {
    if (bit < 0 || static_cast<uint64_t>(bit / 8) >= bitmap.size()) {
        return false;
    }
    return (bitmap[static_cast<std::size_t>(bit / 8)] >> (bit % 8) & 1) != 0;
}

void SetBit(std::vector<uint8_t>& bitmap, int64_t bit) {
    if (bit >= 0 && static_cast<uint64_t>(bit / 8) < bitmap.size()) {
        bitmap[static_cast<std::size_t>(bit / 8)] |= static_cast<uint8_t>(1u << (bit % 8));
    }
}

bool FatClusterFree(int64_t cluster) {
    constexpr int64_t kFirstCluster = 2;
    const int64_t bit = cluster - kFirstCluster;
    const int64_t covered =
        std::min<int64_t>(VolumeBitmapBits, Vcb->AllocationSupport.NumberOfClusters);
    return bit >= 0 && bit < covered && !BitSet(VolumeBitmap, bit);
}

int64_t CountSetBits(const std::vector<uint8_t>& bitmap, int64_t bits) {
    bits = std::clamp<int64_t>(bits, 0, static_cast<int64_t>(bitmap.size()) * 8);
    int64_t count = 0;
    const std::size_t whole = static_cast<std::size_t>(bits / 8);
    for (std::size_t i = 0; i < whole; ++i) {
        count += std::popcount(bitmap[i]);
    }
    for (int64_t bit = static_cast<int64_t>(whole) * 8; bit < bits; ++bit) {
        count += BitSet(bitmap, bit) ? 1 : 0;
    }
    return count;
}

bool MftBitmapSays(uint32_t number) {
    return mftbitmapptr.empty() || BitSet(mftbitmapptr, number);
}

void LoadVolumeBitmap(platform::Handle hVolume) {
    CONSISTENCY_CHECK_TEXT(Vcb->TotalClusters > 0, "Vcb->TotalClusters > 0");
    VolumeBitmapBits = std::max<int64_t>(BitmapClusters(hVolume), 0);
    VolumeBitmap.assign(VolumeBitmapBytesFor(VolumeBitmapBits), kBitmapFill);
    // The file system's own answer is not available on a raw volume: the bitmap comes
    // from the bitmap file (NTFS) or the FAT.
    if (Vcb->IsExFat) {
        LoadExFatBitmap();
    } else if (Vcb->IsFat) {
        LoadFatBitmap(hVolume);
    } else {
        LoadNtfsBitmapFile(hVolume);
    }
}

void ReadVolumeBitmapRuns(platform::Handle hVolume, std::span<uint8_t> buffer) {
    if (!CONSISTENCY_CHECK_TEXT(!VolumeBitmapRun.empty(), "VolumeBitmapRuncount > 0")) {
        return;
    }
    CONSISTENCY_CHECK_TEXT(VolumeBitmapRun[0].lcn > 0, "VolumeBitmapRun[0].lcn > 0");
    std::size_t filled = 0;
    for (const Run& run : VolumeBitmapRun) {
        if (buffer.empty() || filled >= buffer.size()) {
            return;
        }
        const uint64_t runBytes =
            static_cast<uint64_t>(std::max<int64_t>(run.RUNlength, 0)) * Vcb->BytesPerCluster;
        const std::size_t n =
            static_cast<std::size_t>(std::min<uint64_t>(runBytes, buffer.size() - filled));
        const __int128 offset = static_cast<__int128>(run.lcn) * Vcb->BytesPerCluster;
        const uint64_t got = volume::ReadVolumeBytes(
            hVolume, offset >= 0 && offset <= INT64_MAX ? static_cast<int64_t>(offset) : -1,
            buffer.subspan(filled, n));
        CONSISTENCY_CHECK_TEXT(got == n,
                               "bytesRead==VolumeBitmapRun[i].RUNlength*Vcb->BytesPerCluster");
        filled += n;
    }
}

void LoadMftBitmap(platform::Handle hVolume) {
    const MftRecordPtr& mft = mftrecptr[MASTER_FILE_TABLE_NUMBER];
    const std::optional<Attribute> bitmap = FindAttribute(hVolume, mft, kBitmap);
    const int64_t records = mftsize / Vcb->BytesPerFileRecordSegment;
    const int64_t size = Get_Attr_Datasize(bitmap);
    CONSISTENCY_CHECK_TEXT(
        (records + 7) / 8 <= size,
        "((mftsize/Vcb->BytesPerFileRecordSegment+7)/8)<=Get_Attr_Datasize(attrptr)");
    mftbitmapptr.clear();
    MftBitmapRecords = 0;
    if (!bitmap) {
        return;
    }
    if (std::optional<AttributeData> data = ReadAttributeData(hVolume, *bitmap, 0, size, true)) {
        mftbitmapptr = data->TakeBytes();
        MftBitmapRecords =
            std::min<int64_t>(records, static_cast<int64_t>(mftbitmapptr.size()) * 8);
    }
}

void CheckBadClusterFile(platform::Handle hVolume) {
    MftRecordPtr record = ReadMftRecord(hVolume, kBadClusterRecord, false);
    if (const std::optional<Attribute> data = FindAttribute(hVolume, record, kData)) {
        if (!data->IsResident()) {
            app::MessageBox("unnamed data attribute FormCode in badclus", "Notice");
        } else if (data->ValueLength() != 0) {
            app::MessageBox("unnamed data attribute len > 0 in badclus", "Notice");
        }
    }
    if (const std::optional<Attribute> bad = FindAttribute(hVolume, record, kData, u"$Bad", 1)) {
        if (bad->IsResident()) {
            app::MessageBox("named data attribute resident in badclus", "Notice");
        }
    }
}

void FreeBitmaps() {
    VolumeBitmap = {};
    VolumeBitmapBits = 0;
    VolumeBitmapRun = {};
    mftbitmapptr = {};
    MftBitmapRecords = 0;
}

}  // namespace relicta::ntfs
