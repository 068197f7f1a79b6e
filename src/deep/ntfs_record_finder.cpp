#include "deep/ntfs_record_finder.h"

#include <cstring>
#include <optional>

#include "bytes/le_bytes.h"
#include "bytes/text.h"
#include "ntfs/attribute.h"
#include "ntfs/mft_layout.h"
#include "ntfs/runs.h"
#include "scan/ntfs_scan.h"

namespace relicta::deep {
namespace {

using bytes::Bytes;
using bytes::U16;
using bytes::U32;
using bytes::U64;

constexpr uint32_t kMinRecordBytes = 512;
constexpr uint32_t kMaxRecordBytes = 4096;
// Attribute headers begin on 8-byte boundaries.
constexpr std::size_t kAttributeAlignment = 8;
// More than a record of 4096 bytes can hold: a walk past it is of a damaged record.
constexpr int kMaxAttributes = 256;
constexpr std::size_t kMaxRunsOfRecord = kMaxRecordBytes / 2;
// Run lists found anywhere on a drive: LCNs as wide as any volume's.
constexpr int kMaxLcnBytes = 8;
constexpr std::u16string_view kFolderIndex = u"$I30";

bool PowerOfTwo(uint32_t n) {
    return n != 0 && (n & (n - 1)) == 0;
}

// The record size a FILE record's header describes, when its fields agree with each other:
// an update sequence of one word per 512 bytes inside the first 512 bytes, behind the
// NTFS 3.1 header that holds the record's own number; the attributes behind it, inside the
// bytes in use.
std::optional<uint32_t> RecordBytesOf(Bytes header) {
    const uint32_t allocated = U32(header, ntfs::record::BytesAllocated);
    if (allocated < kMinRecordBytes || allocated > kMaxRecordBytes || !PowerOfTwo(allocated)) {
        return std::nullopt;
    }
    const uint32_t usaOffset = U16(header, ntfs::record::UpdateSequenceArrayOffset);
    const uint32_t usaCount = U16(header, ntfs::record::UpdateSequenceArraySize);
    if (usaCount != allocated / ntfs::kUpdateSequenceStride + 1 || usaOffset % 2 != 0 ||
        usaOffset < ntfs::record::RecordNumberEnd ||
        usaOffset + 2 * usaCount > ntfs::kUpdateSequenceStride) {
        return std::nullopt;
    }
    const uint32_t firstAttribute = U16(header, ntfs::record::FirstAttributeOffset);
    const uint32_t inUse = U32(header, ntfs::record::BytesInUse);
    if (firstAttribute % kAttributeAlignment != 0 || firstAttribute < usaOffset + 2 * usaCount ||
        firstAttribute >= inUse || inUse > allocated) {
        return std::nullopt;
    }
    return allocated;
}

// The fields of a record's summary, in a checkpoint's order; its offset and name apart.
template <typename Io, typename Record>
void SummaryFields(Io& io, Record& r) {
    io(r.number);
    io(r.sequence);
    io(r.flags);
    io(r.recordBytes);
    io(r.attributes);
    io(r.parent);
    io(r.created);
    io(r.modified);
    io(r.changed);
    io(r.accessed);
    io(r.dataSize);
    io(r.allocatedSize);
    io(r.validLength);
    io(r.data);
    io(r.first);
    io(r.count);
}

// The least bytes a record takes in a checkpoint: its fixed fields and a name's length.
constexpr std::size_t kMinSavedRecordBytes = 8 + 4 + 2 + 2 + 4 + 4 + 8 * 8 + 1 + 8 + 8 + 4;

// Whether a record read back is one Read could have kept: its size, its name, its data's
// kind, and its runs or bytes right behind those of the records before it.
bool Plausible(const FoundNtfsRecord& r, std::size_t runs, std::size_t resident) {
    const bool kept = r.recordBytes >= kMinRecordBytes && r.recordBytes <= kMaxRecordBytes &&
                      PowerOfTwo(r.recordBytes) && !r.name.empty();
    switch (r.data) {
        case OldData::None:
        case OldData::Compressed:
            return kept;
        case OldData::Resident:
            return kept && r.first == resident && r.count <= kMaxRecordBytes;
        case OldData::Runs:
            return kept && r.first == runs && r.count <= kMaxRunsOfRecord;
    }
    return false;
}

uint64_t Reference(const scan::FileReference& r) {
    return uint64_t{r.record} | uint64_t{r.sequence} << ntfs::kReferenceSequenceShift;
}

}  // namespace

bool FoundNtfsRecord::IsDirectory() const {
    return (flags & ntfs::record::FlagDirectory) != 0;
}

bool FoundNtfsRecord::InUse() const {
    return (flags & ntfs::record::FlagInUse) != 0;
}

NtfsRecordFinder::NtfsRecordFinder() : scratch_(std::make_shared<ntfs::MftRecord>()) {}

void NtfsRecordFinder::Feed(const Block& block) {
    const std::span<const uint8_t> bytes = block.bytes;
    for (std::size_t at = 0; at < block.starts && at + kSectorBytes <= bytes.size();
         at += kSectorBytes) {
        // The signature first: nearly every sector is refused on one 4-byte compare.
        if (std::memcmp(bytes.data() + at, "FILE", 4) != 0) {
            continue;
        }
        if (found_.size() >= kMaxFound) {
            return;
        }
        Read(bytes.subspan(at), block.offset + static_cast<int64_t>(at));
    }
}

void NtfsRecordFinder::Read(std::span<const uint8_t> bytes, int64_t offset) {
    const std::optional<uint32_t> size = RecordBytesOf(bytes);
    if (!size || *size > bytes.size()) {
        return;  // not a record, or one cut off by the end of what was read
    }
    scratch_->bytes.assign(bytes.begin(), bytes.begin() + *size);
    if (!ntfs::ApplyFixups(scratch_->bytes, *size)) {
        return;
    }
    const Bytes record = scratch_->View();
    FoundNtfsRecord found;
    found.offset = offset;
    found.recordBytes = *size;
    found.number = U32(record, ntfs::record::RecordNumber);
    found.sequence = U16(record, ntfs::record::SequenceNumber);
    found.flags = U16(record, ntfs::record::Flags);
    scratch_->number = found.number;
    // An extension record holds the overflow of another's attributes: no file of its own.
    if (U64(record, ntfs::record::BaseRecord) != 0) {
        return;
    }
    const std::size_t runs = runs_.size();
    const std::size_t resident = resident_.size();
    if (Summarize(found)) {
        found_.push_back(std::move(found));
    } else {
        runs_.resize(runs);
        resident_.resize(resident);
    }
}

bool NtfsRecordFinder::Summarize(FoundNtfsRecord& found) {
    const Bytes record = scratch_->View();
    bool named = false;
    bool longName = false;
    std::size_t offset = U16(record, ntfs::record::FirstAttributeOffset);
    for (int i = 0; i < kMaxAttributes; ++i) {
        ntfs::AttributeExtent extent;
        if (ntfs::ProbeExtent(record, offset, extent) != ntfs::ExtentFound::Attribute) {
            break;
        }
        offset += extent.length;
        const ntfs::Attribute a{scratch_, extent.offset, extent.length, {}};
        switch (a.TypeCode()) {
            case ntfs::kStandardInformation:
                if (const std::optional<scan::StandardInformation> si =
                        scan::ParseStandardInformation(ntfs::ResidentValue(a))) {
                    found.attributes = si->attributes;
                    found.created = si->created;
                    found.modified = si->modified;
                    found.changed = si->changed;
                    found.accessed = si->accessed;
                }
                break;
            case ntfs::kFileName: {
                const Bytes value = ntfs::ResidentValue(a);
                const bool dos =
                    bytes::U8(value, ntfs::file_name::Namespace) == ntfs::file_name::NamespaceDos;
                if (longName || (named && dos)) {
                    break;
                }
                if (const std::optional<scan::FileName> fn = scan::ParseFileName(value)) {
                    found.name = bytes::PrintableName(bytes::Utf8FromUtf16(fn->name));
                    found.parent = Reference(fn->parent);
                    named = true;
                    longName = !dos;
                }
                break;
            }
            case ntfs::kIndexRoot:
                // A deleted folder whose header lost its folder flag too.
                if (a.Name() == kFolderIndex) {
                    found.flags |= ntfs::record::FlagDirectory;
                }
                break;
            case ntfs::kData:
                if (found.data == OldData::None && a.NameLength() == 0 && a.LowestVcn() == 0) {
                    KeepData(a, found);
                }
                break;
            default:
                break;
        }
    }
    return named && !found.name.empty();
}

void NtfsRecordFinder::KeepData(const ntfs::Attribute& data, FoundNtfsRecord& found) {
    if (data.IsResident()) {
        const Bytes value = ntfs::ResidentValue(data);
        found.data = OldData::Resident;
        found.dataSize = static_cast<int64_t>(value.size());
        found.first = resident_.size();
        found.count = value.size();
        resident_.insert(resident_.end(), value.begin(), value.end());
        return;
    }
    found.dataSize = data.FileSize();
    found.allocatedSize = data.AllocatedSize();
    found.validLength = bytes::S64(data.Bytes(), ntfs::attr::ValidDataLength);
    if (data.IsCompressed() || (data.AttributeFlags() & ntfs::attr::FlagEncrypted) != 0) {
        found.data = OldData::Compressed;
        return;
    }
    found.data = OldData::Runs;
    found.first = runs_.size();
    std::size_t cursor = ntfs::RunListStart(data);
    ntfs::Run run;
    while (runs_.size() - found.first < kMaxRunsOfRecord &&
           ntfs::DecodeNextRun(data, cursor, run, ntfs::RunChecks::Quiet, kMaxLcnBytes)) {
        if (run.RUNlength > 0 && run.lcn < 0) {
            break;  // no cluster of any volume: the list is known up to here
        }
        if (run.RUNlength > 0) {
            runs_.push_back({run.lcn, run.RUNlength});
        }
        if (run.SPARSElength > 0) {
            runs_.push_back({OldRun::kSparse, run.SPARSElength});
        }
    }
    found.count = runs_.size() - found.first;
}

void NtfsRecordFinder::Save(CheckpointWriter& out) const {
    out.Count(found_.size());
    for (const FoundNtfsRecord& r : found_) {
        out(r.offset);
        SummaryFields(out, r);
        out(r.name);
    }
    out.Count(runs_.size());
    for (const OldRun& run : runs_) {
        out(run.lcn);
        out(run.clusters);
    }
    out.Count(resident_.size());
    out.Raw(resident_);
}

bool NtfsRecordFinder::Load(CheckpointReader& in) {
    const std::size_t n = in.Count(kMinSavedRecordBytes, kMaxFound);
    found_.reserve(n);
    int64_t last = -1;
    // Records come in drive order, each one's runs and bytes behind those of the ones before.
    std::size_t runs = 0;
    std::size_t resident = 0;
    for (std::size_t i = 0; i < n && in.ok(); ++i) {
        FoundNtfsRecord r;
        r.offset = last = in.Offset(last);
        SummaryFields(in, r);
        in(r.name);
        if (!Plausible(r, runs, resident)) {
            in.Fail();
            break;
        }
        runs += r.data == OldData::Runs ? r.count : 0;
        resident += r.data == OldData::Resident ? r.count : 0;
        found_.push_back(std::move(r));
    }
    const std::size_t runCount = in.Count(2 * sizeof(int64_t), SIZE_MAX);
    if (runCount != runs) {
        in.Fail();
    }
    runs_.resize(in.ok() ? runCount : 0);
    for (OldRun& run : runs_) {
        in(run.lcn);
        in(run.clusters);
    }
    const std::size_t bytes = in.Count(1, SIZE_MAX);
    if (bytes != resident) {
        in.Fail();
    }
    resident_.resize(in.ok() ? bytes : 0);
    in.Raw(resident_);
    return in.ok();
}

std::span<const OldRun> NtfsRecordFinder::RunsOf(const FoundNtfsRecord& record) const {
    if (record.data != OldData::Runs || record.first > runs_.size() ||
        record.count > runs_.size() - record.first) {
        return {};
    }
    return std::span<const OldRun>(runs_).subspan(record.first, record.count);
}

std::span<const uint8_t> NtfsRecordFinder::ResidentOf(const FoundNtfsRecord& record) const {
    if (record.data != OldData::Resident || record.first > resident_.size() ||
        record.count > resident_.size() - record.first) {
        return {};
    }
    return std::span<const uint8_t>(resident_).subspan(record.first, record.count);
}

}  // namespace relicta::deep
