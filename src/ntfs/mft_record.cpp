#include "ntfs/mft_record.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "app/consistency.h"
#include "app/dialogs.h"
#include "app/process_exit.h"
#include "ntfs/attribute.h"
#include "ntfs/attribute_data.h"
#include "ntfs/bitmaps.h"
#include "ntfs/mft_layout.h"
#include "ntfs/runs.h"
#include "volume/raw_io.h"
#include "volume/vcb.h"

namespace relicta::ntfs {

std::array<MftRecordPtr, kCachedLowRecords> mftrecptr;
RecentRecords last10mftptr;
RecentRecords last10dirptr;
int64_t LastReadLcn = 0;

namespace {

using bytes::U16;
using bytes::U32;
using volume::Vcb;

constexpr const char* kTriedToRead = "Tried to read an MFT record";
// Reading a record may read the MFT extension that maps it, and that one its own: a
// hostile attribute list could chain them forever.
constexpr int kMaxNestedRecordReads = 4;
int nestedRecordReads = 0;

std::string Eyecatcher(const MftRecord& r) {
    std::string text;
    for (std::size_t i = 0; i < 4 && i < r.bytes.size() && r.bytes[i] != 0; ++i) {
        text += static_cast<char>(r.bytes[i]);
    }
    return text;
}

std::string Format(const char* format, uint32_t number, int64_t lcn, const std::string& tail) {
    char text[256];
    std::snprintf(text, sizeof text, format, number, lcn, tail.c_str());
    return text;
}

std::string FixupMessage(const char* what, uint32_t number, uint16_t offset, uint16_t size) {
    return Format((std::string(what) + ", mft num = %u at LCN %" PRId64 ", fixup=%s").c_str(),
                  number, LastReadLcn, std::to_string(offset) + " len " + std::to_string(size));
}

// Messages about a record that should be readable: not in raw mode, and only for records
// the MFT bitmap calls in use (or before it is loaded).
bool ShouldComplain(uint32_t number) {
    return !Vcb->IsRawFileSystem && MftBitmapSays(number);
}

uint32_t ExpectedUpdateSequenceSize() {
    return Vcb->BytesPerFileRecordSegment / kUpdateSequenceStride + 1;
}

// An update-sequence array offset the record can be trusted with: even, past the fixed
// header fields, and the whole array inside the first protected 512 bytes.
bool IsPlausibleUsaOffset(uint16_t offset, uint32_t count) {
    return offset % 2 == 0 && offset >= record::HeaderEnd &&
           offset + 2 * count <= kUpdateSequenceStride;
}

MftRecordPtr NewRecord(uint32_t number) {
    auto record = std::make_shared<MftRecord>();
    record->number = number;
    for (volume::RecordBuffer& slot : Vcb->pLastUsedMftBuffer) {
        if (!slot.empty()) {
            record->bytes = std::move(slot);
            slot.clear();
            break;
        }
    }
    // Every way of reading a record fills or zeroes the whole buffer: it is not cleared here.
    record->bytes.resize(Vcb->BytesPerFileRecordSegment);
    return record;
}

void PutInCache(const MftRecordPtr& record) {
    if (record->number < kCachedLowRecords) {
        mftrecptr[record->number] = record;
    } else if ((record->Flags() & record::FlagDirectory) != 0) {
        last10dirptr.Push(record->number, record);
    } else {
        last10mftptr.Push(record->number, record);
    }
}

MftRecordPtr CachedRecord(uint32_t number) {
    MftRecordPtr hit;
    if (number < kCachedLowRecords) {
        hit = mftrecptr[number];
    }
    if (!hit) {
        hit = last10mftptr.Find(number);
    }
    if (!hit) {
        hit = last10dirptr.Find(number);
    }
    if (hit) {
        CONSISTENCY_CHECK_TEXT(
            hit->HasSignature("FILE") &&
                hit->FirstAttributeOffset() < record::MaxFirstAttributeOffset,
            "strncmp((char *)mftptr->MultiSectorHeader.Signature,\"FILE\",4)==0 && "
            "mftptr->FirstAttributeOffset < 1024");
    }
    return hit;
}

// The $DATA attribute of the MFT that holds record `number`: record 0's own, or the one in
// the extension record its resident attribute list names for that part of the MFT.
std::optional<Attribute> MftDataAttributeFor(platform::Handle hVolume, uint32_t number) {
    const MftRecordPtr& base = mftrecptr[MASTER_FILE_TABLE_NUMBER];
    std::optional<Attribute> list = FindAttribute(hVolume, base, kAttributeList);
    uint32_t extension = 0;
    if (list && list->IsResident()) {
        const bytes::Bytes entries = ResidentValue(*list);
        const int64_t vcn = int64_t{number} * Vcb->BytesPerFileRecordSegment / Vcb->BytesPerCluster;
        std::size_t offset = 0;
        while (bytes::InBounds(entries, offset, list_entry::MinimumSize)) {
            const uint32_t type = U32(entries, offset + list_entry::TypeCode);
            const uint16_t length = U16(entries, offset + list_entry::EntryLength);
            if (type > kData || type == kEndMarker || length < list_entry::MinimumSize) {
                break;
            }
            if (type == kData) {
                if (bytes::S64(entries, offset + list_entry::LowestVcn) > vcn) {
                    break;
                }
                extension = U32(entries, offset + list_entry::SegmentReference);
            }
            offset += length;
        }
    }
    if (extension >= 1 && extension != number) {
        MftRecordPtr other = extension < kCachedLowRecords && mftrecptr[extension]
                                 ? mftrecptr[extension]
                                 : ReadMftRecord(hVolume, extension, false);
        if (!other) {
            app::FatalError("Couldn't read MFT extension", "Fatal Error");
        }
        if (std::optional<Attribute> data = FindAttribute(hVolume, other, kData)) {
            return data;
        }
    }
    return FindAttribute(hVolume, base, kData);
}

// The MFT's extents when its data is one plain run list in its base record: each record is
// then read straight from where it lies. Nullptr otherwise (records are read through the
// attribute list and run decoding, as any attribute's data).
const std::vector<volume::ClusterExtent>* PlainMftExtents(platform::Handle hVolume) {
    if (!Vcb->MftExtentsKnown) {
        Vcb->MftExtentsKnown = true;
        const MftRecordPtr& base = mftrecptr[MASTER_FILE_TABLE_NUMBER];
        if (!FindAttribute(hVolume, base, kAttributeList)) {
            if (const std::optional<Attribute> data = FindAttribute(hVolume, base, kData)) {
                Vcb->MftExtents = PlainExtents(*data);
            }
        }
    }
    return Vcb->MftExtents.empty() ? nullptr : &Vcb->MftExtents;
}

// $MFTMirr holds copies of records 0 to 3.
constexpr uint32_t kMirroredRecords = 4;

// Where record `number` (of `recordBytes`) lies on the volume when it lies whole inside one
// extent, and the cluster it begins in.
struct RecordPlace {
    int64_t offset;
    int64_t lcn;
};
std::optional<RecordPlace> PlaceOfRecord(const std::vector<volume::ClusterExtent>& extents,
                                         uint32_t number, int64_t recordBytes) {
    const int64_t clusterBytes = Vcb->BytesPerCluster;
    if (clusterBytes <= 0 || recordBytes <= 0) {
        return std::nullopt;
    }
    const int64_t offset = int64_t{number} * recordBytes;
    const int64_t vcn = offset / clusterBytes;
    const auto after =
        std::upper_bound(extents.begin(), extents.end(), vcn,
                         [](int64_t v, const volume::ClusterExtent& e) { return v < e.vcn; });
    if (after == extents.begin()) {
        return std::nullopt;
    }
    const volume::ClusterExtent& extent = *std::prev(after);
    const __int128 intoExtent =
        static_cast<__int128>(vcn - extent.vcn) * clusterBytes + offset % clusterBytes;
    if (intoExtent + recordBytes > static_cast<__int128>(extent.clusters) * clusterBytes) {
        return std::nullopt;
    }
    const __int128 at = static_cast<__int128>(extent.lcn) * clusterBytes + intoExtent;
    if (at < 0 || at > INT64_MAX - recordBytes) {
        return std::nullopt;
    }
    return RecordPlace{static_cast<int64_t>(at), WrapAdd(extent.lcn, vcn - extent.vcn)};
}

// Reads record `number` from one extent; false when it does not lie whole inside one or
// cannot be read whole (the general path then reads it, with its messages).
bool ReadRecordFromExtents(platform::Handle hVolume,
                           const std::vector<volume::ClusterExtent>& extents, uint32_t number,
                           MftRecord& record) {
    const std::optional<RecordPlace> place =
        PlaceOfRecord(extents, number, static_cast<int64_t>(record.bytes.size()));
    if (!place || !volume::TryReadVolumeBytes(hVolume, place->offset, record.bytes)) {
        return false;
    }
    LastReadLcn = place->lcn;  // as a read of the attribute sets it
    return true;
}

// Where the copy of record `number` lies: in $MFTMirr (number < kMirroredRecords) or in the
// MFT's first extent (which holds at least those records); nullopt when it cannot be had.
std::optional<int64_t> CopyOffset(int64_t startLcn, uint32_t number, std::size_t recordBytes) {
    const __int128 offset = static_cast<__int128>(startLcn) * Vcb->BytesPerCluster +
                            static_cast<__int128>(number) * recordBytes;
    if (offset < 0 || offset > INT64_MAX - static_cast<__int128>(recordBytes)) {
        return std::nullopt;
    }
    return static_cast<int64_t>(offset);
}

// The first records are kept twice: $MFTMirr's copy serves when the MFT's own lies in
// unreadable sectors.
bool ReadFromMirror(platform::Handle hVolume, uint32_t number, MftRecord& record) {
    const std::optional<int64_t> at = CopyOffset(Vcb->Mft2StartLcn, number, record.bytes.size());
    return number < kMirroredRecords && at &&
           volume::TryReadVolumeBytes(hVolume, *at, record.bytes);
}

// Reads the raw bytes of record `number` into `record`; false when they cannot be located.
bool ReadRawRecord(platform::Handle hVolume, uint32_t number, MftRecord& record) {
    if (number == MASTER_FILE_TABLE_NUMBER) {
        const std::optional<int64_t> offset =
            CopyOffset(Vcb->MftStartLcn, number, record.bytes.size());
        if (!offset) {
            return false;
        }
        if (volume::ReadVolumeBytes(hVolume, *offset, record.bytes) != record.bytes.size() &&
            volume::AnyUnreadable(*offset, record.bytes.size())) {
            ReadFromMirror(hVolume, number, record);
        }
        return true;
    }
    if (!mftrecptr[MASTER_FILE_TABLE_NUMBER] &&
        !ReadMftRecord(hVolume, MASTER_FILE_TABLE_NUMBER, false)) {
        return false;
    }
    if (const std::vector<volume::ClusterExtent>* extents = PlainMftExtents(hVolume);
        extents != nullptr) {
        if (ReadRecordFromExtents(hVolume, *extents, number, record)) {
            return true;
        }
        const std::optional<RecordPlace> place =
            PlaceOfRecord(*extents, number, static_cast<int64_t>(record.bytes.size()));
        if (place && volume::AnyUnreadable(place->offset, record.bytes.size())) {
            return ReadFromMirror(hVolume, number, record);
        }
    }
    std::fill(record.bytes.begin(), record.bytes.end(), 0);  // a short read leaves zeros
    const std::optional<Attribute> data = MftDataAttributeFor(hVolume, number);
    if (!data) {
        return false;
    }
    const int64_t offset = int64_t{number} * Vcb->BytesPerFileRecordSegment;
    std::optional<AttributeData> bytes =
        ReadAttributeData(hVolume, *data, offset, Vcb->BytesPerFileRecordSegment, true);
    if (!bytes) {
        return false;
    }
    const bytes::Bytes got = bytes->Data();
    std::memcpy(record.bytes.data(), got.data(), std::min(got.size(), record.bytes.size()));
    return true;
}

// Checks a raw record and undoes its fixups; false when it is not a usable record.
bool VerifyRawRecord(MftRecord& r) {
    const uint32_t number = r.number;
    uint16_t usaOffset = U16(r.View(), record::UpdateSequenceArrayOffset);
    uint16_t usaSize = U16(r.View(), record::UpdateSequenceArraySize);
    if (Vcb->IsRawFileSystem && r.bytes[0] == 0 && usaOffset == 0 && usaSize == 0) {
        return false;
    }
    if (!r.HasSignature("FILE")) {
        if (ShouldComplain(number)) {
            app::MessageBox(
                Format("Read MFT: not an MFT, mft num = %u at LCN %" PRId64 ", eyecatcher=%s",
                       number, LastReadLcn, Eyecatcher(r)),
                kTriedToRead);
        }
        return false;
    }
    const uint32_t expectedSize = ExpectedUpdateSequenceSize();
    const uint16_t sizeForOffset = usaSize == 0 ? static_cast<uint16_t>(expectedSize) : usaSize;
    if (usaOffset == 0) {
        usaOffset = record::DefaultUpdateSequenceArrayOffset;
    } else if (!IsPlausibleUsaOffset(usaOffset, sizeForOffset)) {
        if (!Vcb->IsRawFileSystem) {
            app::MessageBox(FixupMessage("Read MFT: Fixup offset different from expected", number,
                                         usaOffset, usaSize),
                            "Unexpected fixup offset in MFT");
        }
        usaOffset = record::DefaultUpdateSequenceArrayOffset;
    }
    if (usaSize == 0) {
        usaSize = static_cast<uint16_t>(expectedSize);
    } else if (usaSize != expectedSize) {
        if (!Vcb->IsRawFileSystem) {
            app::MessageBox(
                FixupMessage("Read MFT: Fixup length wrong", number, usaOffset, usaSize),
                "Unexpected fixup length in MFT");
        }
        return false;
    }
    r.bytes[record::UpdateSequenceArrayOffset] = static_cast<uint8_t>(usaOffset);
    r.bytes[record::UpdateSequenceArrayOffset + 1] = static_cast<uint8_t>(usaOffset >> 8);
    r.bytes[record::UpdateSequenceArraySize] = static_cast<uint8_t>(usaSize);
    r.bytes[record::UpdateSequenceArraySize + 1] = static_cast<uint8_t>(usaSize >> 8);
    if (!ApplyFixups(r.bytes, r.bytes.size()) || !r.HasSignature("FILE")) {
        if (ShouldComplain(number)) {
            app::MessageBox(
                Format("Read MFT with bad fixups, mft num = %u at LCN %" PRId64 ", eyecatcher=%s",
                       number, LastReadLcn, Eyecatcher(r)),
                kTriedToRead);
        }
        return false;
    }
    // Callers walk attributes from here: it must lie inside the record.
    return r.FirstAttributeOffset() <
           std::min<std::size_t>(record::MaxFirstAttributeOffset, r.bytes.size());
}

}  // namespace

uint16_t MftRecord::Flags() const {
    return U16(View(), record::Flags);
}
uint16_t MftRecord::FirstAttributeOffset() const {
    return U16(View(), record::FirstAttributeOffset);
}
uint16_t MftRecord::SequenceNumber() const {
    return U16(View(), record::SequenceNumber);
}
bool MftRecord::HasSignature(const char* signature) const {
    return bytes.size() >= 4 && std::memcmp(bytes.data(), signature, 4) == 0;
}

MftRecordPtr RecentRecords::Find(uint32_t number) const {
    for (int i = 0; i < kRecentRecords; ++i) {
        if (numbers[i] == number && records[i]) {
            return records[i];
        }
    }
    return nullptr;
}

void RecentRecords::Push(uint32_t number, MftRecordPtr record) {
    for (int i = kRecentRecords - 1; i > 0; --i) {
        numbers[i] = numbers[i - 1];
        records[i] = std::move(records[i - 1]);
    }
    numbers[0] = number;
    records[0] = std::move(record);
}

void RecentRecords::Forget(const MftRecord* record) {
    for (int i = 0; i < kRecentRecords; ++i) {
        if (records[i].get() == record) {
            records[i].reset();
            numbers[i] = kNoRecord;
        }
    }
}

void RecentRecords::Clear() {
    numbers.fill(kNoRecord);
    for (MftRecordPtr& r : records) {
        r.reset();
    }
}

bool ApplyFixups(std::span<uint8_t> r, std::size_t size) {
    size = std::min(size, r.size());
    const bytes::Bytes bytes(r.data(), size);
    const std::size_t offset = U16(bytes, record::UpdateSequenceArrayOffset);
    const std::size_t count = U16(bytes, record::UpdateSequenceArraySize);
    if (size < kUpdateSequenceStride || offset <= 1 || offset + 2 * count >= size ||
        count != size / kUpdateSequenceStride + 1 || count <= 1) {
        return true;
    }
    const uint16_t check = U16(bytes, offset);
    for (std::size_t i = 1; i < count; ++i) {
        const std::size_t protectedWord = kUpdateSequenceStride * i - 2;
        if (U16(bytes, protectedWord) != check) {
            std::memcpy(r.data(), "BAAD", 4);
            return false;
        }
        r[protectedWord] = r[offset + 2 * i];
        r[protectedWord + 1] = r[offset + 2 * i + 1];
    }
    return true;
}

MftRecordPtr ReadMftRecord(platform::Handle hVolume, uint32_t number, bool /*rawOnly*/) {
    if (Vcb == nullptr || Vcb->BytesPerFileRecordSegment == 0) {
        return nullptr;
    }
    if (MftRecordPtr cached = CachedRecord(number)) {
        return cached;
    }
    if (nestedRecordReads >= kMaxNestedRecordReads) {
        return nullptr;
    }
    MftRecordPtr record = NewRecord(number);
    struct Nesting {
        Nesting() { ++nestedRecordReads; }
        ~Nesting() { --nestedRecordReads; }
    };
    bool read = false;
    {
        Nesting nesting;
        read = ReadRawRecord(hVolume, number, *record);
    }
    if (!read || !VerifyRawRecord(*record)) {
        ReleaseMftRecord(record);
        return nullptr;
    }
    PutInCache(record);
    return record;
}

bool PeekMftRecordHeader(platform::Handle hVolume, uint32_t number, std::span<uint8_t> header) {
    if (Vcb == nullptr || header.size() > Vcb->BytesPerFileRecordSegment ||
        !mftrecptr[MASTER_FILE_TABLE_NUMBER]) {
        return false;
    }
    const std::vector<volume::ClusterExtent>* extents = PlainMftExtents(hVolume);
    const std::optional<RecordPlace> place =
        extents != nullptr ? PlaceOfRecord(*extents, number, Vcb->BytesPerFileRecordSegment)
                           : std::nullopt;
    return place && volume::TryReadVolumeBytes(hVolume, place->offset, header);
}

void WillReadMftRecords(platform::Handle hVolume, int64_t first, int64_t count) {
    const int64_t recordBytes = Vcb->BytesPerFileRecordSegment;
    const int64_t clusterBytes = Vcb->BytesPerCluster;
    const std::vector<volume::ClusterExtent>* extents =
        mftrecptr[MASTER_FILE_TABLE_NUMBER] ? PlainMftExtents(hVolume) : nullptr;
    if (extents == nullptr || first < 0 || count <= 0 || recordBytes <= 0 || clusterBytes <= 0) {
        return;
    }
    const __int128 from = static_cast<__int128>(first) * recordBytes;
    const __int128 to = from + static_cast<__int128>(count) * recordBytes;
    for (const volume::ClusterExtent& extent : *extents) {
        const __int128 extentFrom = static_cast<__int128>(extent.vcn) * clusterBytes;
        const __int128 extentTo =
            extentFrom + static_cast<__int128>(extent.clusters) * clusterBytes;
        const __int128 a = std::max(from, extentFrom);
        const __int128 b = std::min(to, extentTo);
        const __int128 at = static_cast<__int128>(extent.lcn) * clusterBytes + (a - extentFrom);
        if (a < b && at >= 0 && at <= INT64_MAX) {
            volume::WillReadVolumeBytes(hVolume, static_cast<int64_t>(at),
                                        static_cast<uint64_t>(b - a));
        }
    }
}

namespace {
// How far ahead of the pass the MFT is fetched, and in what steps: far enough to keep the
// device busy while the records before are evaluated, near enough to stay in the page cache.
constexpr int64_t kFetchAheadBytes = int64_t{8} << 20;
constexpr int64_t kFetchStepBytes = int64_t{1} << 20;
}  // namespace

void MftFetchAhead::Before(platform::Handle hVolume, int64_t number) {
    const int64_t recordBytes = Vcb->BytesPerFileRecordSegment;
    if (recordBytes <= 0) {
        return;
    }
    fetchedEnd_ = std::max(fetchedEnd_, number);
    const int64_t wanted = std::min(records_, number + kFetchAheadBytes / recordBytes);
    if (wanted - fetchedEnd_ >= kFetchStepBytes / recordBytes ||
        (wanted == records_ && wanted > fetchedEnd_)) {
        WillReadMftRecords(hVolume, fetchedEnd_, wanted - fetchedEnd_);
        fetchedEnd_ = wanted;
    }
}

void ReleaseMftRecord(MftRecordPtr& record) {
    if (!CONSISTENCY_CHECK_TEXT(record != nullptr, "mftptr!=0")) {
        return;
    }
    // The cache keeps a record only in its own number's slot.
    if (record->number < kCachedLowRecords && mftrecptr[record->number] == record) {
        mftrecptr[record->number].reset();
    }
    last10mftptr.Forget(record.get());
    last10dirptr.Forget(record.get());
    // The buffer is parked for reuse only when nobody else still holds the record.
    if (Vcb != nullptr && record.use_count() == 1) {
        volume::RecordBuffer buffer = std::move(record->bytes);
        if (buffer.size() >= 5) {
            std::memcpy(buffer.data(), "FREE", 5);
        }
        auto& pool = Vcb->pLastUsedMftBuffer;
        auto slot = std::find_if(pool.begin(), pool.end(),
                                 [](const volume::RecordBuffer& b) { return b.empty(); });
        if (slot == pool.end()) {
            CONSISTENCY_CHECK_TEXT(!pool[0].empty(), "Vcb->pLastUsedMftBuffer[0]!=0");
            slot = pool.begin();
        }
        if (!buffer.empty()) {
            *slot = std::move(buffer);
        }
    }
    record.reset();
}

void ReleaseCachedRecords() {
    for (int i = static_cast<int>(kCachedLowRecords) - 1; i >= 0; --i) {
        mftrecptr[i].reset();
    }
    last10mftptr.Clear();
    last10dirptr.Clear();
}

uint32_t RecordsInUnreadableSectors(platform::Handle hVolume) {
    const std::vector<volume::ClusterExtent>* extents =
        Vcb->MftExtentsKnown ? (Vcb->MftExtents.empty() ? nullptr : &Vcb->MftExtents)
                             : PlainMftExtents(hVolume);
    const int64_t clusterBytes = Vcb->BytesPerCluster;
    const int64_t recordBytes = Vcb->BytesPerFileRecordSegment;
    if (extents == nullptr || clusterBytes <= 0 || recordBytes <= 0 || Vcb->Unreadable.Empty()) {
        return 0;
    }
    // Record numbers [first, last) that lie in unreadable sectors, merged below.
    std::vector<std::pair<int64_t, int64_t>> lost;
    for (const volume::ClusterExtent& e : *extents) {
        const __int128 start = static_cast<__int128>(e.lcn) * clusterBytes;
        const __int128 length = static_cast<__int128>(e.clusters) * clusterBytes;
        const __int128 mftStart = static_cast<__int128>(e.vcn) * clusterBytes;
        if (start < 0 || length <= 0 || start + length > INT64_MAX || mftStart < 0 ||
            mftStart + length > INT64_MAX) {
            continue;
        }
        for (const platform::ByteRun& run :
             Vcb->Unreadable.Within(static_cast<int64_t>(start), static_cast<uint64_t>(length))) {
            const int64_t inMft =
                static_cast<int64_t>(mftStart) + (run.offset - static_cast<int64_t>(start));
            lost.emplace_back(
                inMft / recordBytes,
                inMft / recordBytes +
                    (inMft % recordBytes + static_cast<int64_t>(run.length) + recordBytes - 1) /
                        recordBytes);
        }
    }
    std::sort(lost.begin(), lost.end());
    const int64_t inUse =
        Vcb->MftValidDataLength > 0 ? Vcb->MftValidDataLength / recordBytes : INT64_MAX;
    int64_t count = 0;
    int64_t reached = 0;
    for (auto [first, last] : lost) {
        first = std::max(first, reached);
        last = std::min(last, inUse);
        if (first < last) {
            count += last - first;
            reached = last;
        }
        // Those the mirror still holds are not lost.
        for (int64_t n = first; n < std::min<int64_t>(last, kMirroredRecords); ++n) {
            const std::optional<int64_t> mirror =
                CopyOffset(Vcb->Mft2StartLcn, static_cast<uint32_t>(n), recordBytes);
            if (mirror && !Vcb->Unreadable.Overlaps(*mirror, static_cast<uint64_t>(recordBytes))) {
                --count;
            }
        }
    }
    return static_cast<uint32_t>(std::min<int64_t>(count, UINT32_MAX));
}

}  // namespace relicta::ntfs
