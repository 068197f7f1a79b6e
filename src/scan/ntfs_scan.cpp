#include "scan/ntfs_scan.h"

#include <array>
#include <cstring>
#include <optional>
#include <unordered_set>
#include <vector>

#include "app/consistency.h"
#include "app/dialogs.h"
#include "app/progress.h"
#include "app/scan_state.h"
#include "bytes/le_bytes.h"
#include "bytes/text.h"
#include "ntfs/attribute.h"
#include "ntfs/attribute_data.h"
#include "ntfs/bitmaps.h"
#include "ntfs/mft_layout.h"
#include "ntfs/ntfs_volume.h"
#include "ntfs/runs.h"
#include "platform/platform.h"
#include "scan/found_files.h"
#include "volume/filetime.h"
#include "volume/vcb.h"

namespace relicta::scan {
namespace {

using ntfs::Attribute;
using ntfs::MftRecordPtr;
using volume::Vcb;

constexpr uint32_t kFirstUserRecord = 16;
// Records 16 to 23 are reserved: mkntfs leaves them free with standard information and no
// name, which is nothing odd.
constexpr uint32_t kFirstUnreservedRecord = 24;
constexpr const char16_t* kIndexName = u"$I30";
constexpr const char* kUnknownPart = "?\\";  // a directory whose name is lost

std::optional<StandardInformation> ReadStandardInformation(platform::Handle h,
                                                           const ntfs::AttributeWalk& attributes) {
    const std::optional<Attribute> a = attributes.Find(ntfs::kStandardInformation);
    if (!a) {
        return std::nullopt;
    }
    const std::optional<ntfs::AttributeData> value =
        ntfs::ReadAttributeData(h, *a, 0, ntfs::Get_Attr_Datasize(a), true);
    return value ? ParseStandardInformation(value->Data()) : std::nullopt;
}

enum class NameRead { Missing, Unreadable, Read };

NameRead ReadFileName(platform::Handle h, const ntfs::AttributeWalk& attributes, int instance,
                      FileName& out) {
    const std::optional<Attribute> a = attributes.Find(ntfs::kFileName, std::nullopt, instance);
    if (!a) {
        return NameRead::Missing;
    }
    const std::optional<ntfs::AttributeData> value =
        ntfs::ReadAttributeData(h, *a, 0, ntfs::Get_Attr_Datasize(a), true);
    std::optional<FileName> fn = value ? ParseFileName(value->Data()) : std::nullopt;
    if (!fn) {
        return NameRead::Unreadable;
    }
    out = std::move(*fn);
    return NameRead::Read;
}

// The longer of the first two names; the first wins a tie. False when there is none.
bool ChooseFileName(platform::Handle h, const ntfs::AttributeWalk& attributes, FileName& chosen,
                    bool report) {
    const NameRead firstRead = ReadFileName(h, attributes, 0, chosen);
    if (firstRead != NameRead::Read) {
        if (firstRead == NameRead::Unreadable && report) {
            app::MessageBox("Filename can't be accessed?", "Problem");
        }
        return false;
    }
    FileName second;
    const NameRead other = ReadFileName(h, attributes, 1, second);
    if (other == NameRead::Unreadable && report) {
        app::MessageBox("Filename can't be accessed?", "Problem");
    }
    if (other == NameRead::Read && chosen.name.size() < second.name.size()) {
        chosen.name = std::move(second.name);
    }
    return true;
}

bool HasIndexRoot(const ntfs::AttributeWalk& attributes) {
    return attributes.Find(ntfs::kIndexRoot, kIndexName).has_value();
}

void SetFlags(const MftRecordPtr& record, uint16_t flags) {
    record->bytes[ntfs::record::Flags] = static_cast<uint8_t>(flags);
    record->bytes[ntfs::record::Flags + 1] = static_cast<uint8_t>(flags >> 8);
}

void MarkDirectory(const MftRecordPtr& record) {
    SetFlags(record, record->Flags() | ntfs::record::FlagDirectory);
}

bool IsDirectory(const MftRecordPtr& record) {
    return (record->Flags() & ntfs::record::FlagDirectory) != 0;
}

// Clusters the volume has and the bitmap covers.
int64_t ClusterLimit() {
    return std::min(Vcb->TotalClusters, ntfs::VolumeBitmapBits);
}

// The condition of non-resident data: Good, Poor when a cluster is used by another file
// now, Hopeless when a run reaches past the volume. The last run with a problem decides.
const char* RateRuns(const Attribute& data) {
    const char* word = kGood;
    if (ntfs::VolumeBitmapBits <= 0) {
        return word;
    }
    const int64_t limit = ClusterLimit();
    std::size_t cursor = ntfs::RunListStart(data);
    ntfs::Run run;
    while (ntfs::DecodeNextRun(data, cursor, run)) {
        for (int64_t i = 0; i < run.RUNlength; ++i) {
            const int64_t cluster = ntfs::WrapAdd(run.lcn, i);
            if (cluster < 0 || cluster >= limit) {
                word = kHopeless;
                break;
            }
            if (ntfs::BitSet(ntfs::VolumeBitmap, cluster)) {
                word = kPoor;
                break;
            }
        }
        run.vcn += std::max<int64_t>(run.RUNlength, 0) + std::max<int64_t>(run.SPARSElength, 0);
    }
    return word;
}

// The condition word, or "Directory" for a record that turns out to be one.
std::string ChooseCondition(const ntfs::AttributeWalk& attributes,
                            const std::optional<Attribute>& data, uint32_t fnAttributes,
                            uint32_t siAttributes, bool& unreadable) {
    const MftRecordPtr& record = attributes.Record();
    if (IsDirectory(record)) {
        return "Directory";
    }
    if (!data) {
        if (HasIndexRoot(attributes) || ((fnAttributes & kAttributeDirectory) != 0 &&
                                         (siAttributes & kAttributeDirectory) != 0)) {
            MarkDirectory(record);
            return "Directory";
        }
        return kHopeless;
    }
    if (data->IsResident()) {
        return kExcellent;
    }
    if (!ntfs::Find_Attr_DataArea(*data)) {
        app::MessageBox("Find_Attr_DataArea failed?", "Problem");
        unreadable = true;
        return kHopeless;
    }
    return RateRuns(*data);
}

void FinalChecks(const ntfs::AttributeWalk& attributes, uint32_t number) {
    const MftRecordPtr& record = attributes.Record();
    const uint16_t flags = record->Flags();
    if (number >= kFirstUserRecord && (flags == 0 || flags == 1)) {
        return;
    }
    if (attributes.Find(ntfs::kData, u"")) {
        CONSISTENCY_CHECK_TEXT(flags == 0 || flags == 1, "mftptr->Flags==0 || mftptr->Flags==1");
        return;
    }
    if (flags == 0 && attributes.Find(ntfs::kIndexAllocation, kIndexName)) {
        SetFlags(record, ntfs::record::FlagDirectory);
    }
    if (!Vcb->IsRawFileSystem) {
        const uint16_t now = record->Flags();
        CONSISTENCY_CHECK_TEXT(now == 2 || now == 3, "mftptr->Flags==2 || mftptr->Flags ==3");
    }
}

// Whether a parent reference still names the directory the file was in: a record now in
// use under another sequence number was reused for something else.
bool ParentStillMatches(const MftRecordPtr& parent, uint16_t sequence) {
    return sequence == 0 || (parent->Flags() & ntfs::record::FlagInUse) == 0 ||
           parent->SequenceNumber() == sequence;
}

}  // namespace

std::optional<StandardInformation> ParseStandardInformation(bytes::Bytes v) {
    if (v.size() < ntfs::std_info::MinimumSize) {
        return std::nullopt;
    }
    return StandardInformation{
        bytes::U64(v, ntfs::std_info::LastWriteTime), bytes::U32(v, ntfs::std_info::FileAttributes),
        bytes::U64(v, ntfs::std_info::CreationTime), bytes::U64(v, ntfs::std_info::ChangeTime),
        bytes::U64(v, ntfs::std_info::LastAccessTime)};
}

std::optional<FileName> ParseFileName(bytes::Bytes v) {
    if (v.size() < ntfs::file_name::Name) {
        return std::nullopt;
    }
    const std::size_t length = v[ntfs::file_name::NameLength];
    if (!bytes::InBounds(v, ntfs::file_name::Name, 2 * length)) {
        return std::nullopt;
    }
    FileName fn;
    const uint64_t parent = bytes::U64(v, ntfs::file_name::ParentReference);
    fn.parent.record =
        static_cast<uint32_t>(std::min<uint64_t>(parent & ntfs::kReferenceRecordMask, UINT32_MAX));
    fn.parent.sequence = static_cast<uint16_t>(parent >> ntfs::kReferenceSequenceShift);
    fn.attributes = bytes::U32(v, ntfs::file_name::FileAttributes);
    fn.name.resize(length);
    for (std::size_t i = 0; i < length; ++i) {
        fn.name[i] = static_cast<char16_t>(bytes::U16(v, ntfs::file_name::Name + 2 * i));
    }
    return fn;
}

SharedText BuildDirectoryPath(FileReference parent, DirectoryPathCache* cache) {
    const platform::Handle h = Vcb->hVolume;
    const std::string root = Vcb->RootPath;
    std::string path;
    uint32_t current = parent.record;
    uint16_t sequence = parent.sequence;
    uint32_t previous = 0;
    std::unordered_set<uint32_t> seen;  // parent chains may loop through several records
    // The directories walked through, with the length of the path below each. What a walk
    // finds from a directory on depends on that directory alone, lost names included, so
    // each is remembered; only a walk cut by a loop depends on where it started.
    std::vector<std::pair<uint64_t, std::size_t>> walked;
    bool looped = false;
    const auto finish = [&](const std::string& full) {
        if (cache != nullptr && !looped) {
            for (const auto& [key, below] : walked) {
                cache->Add(key, std::string_view(full).substr(0, full.size() - below));
            }
        }
        return SharedText(full);
    };
    for (;;) {
        if (current < 1) {
            break;
        }
        if (current == ntfs::kRootDirectoryRecord) {
            return finish(root + path);
        }
        const uint64_t key = uint64_t{sequence} << 32 | current;
        if (cache != nullptr) {
            if (const SharedText* hit = cache->Find(key)) {
                // Most files lie in a folder already walked: its path as it is kept.
                return walked.empty() ? *hit : finish(*hit + path);
            }
        }
        if (current == previous || !seen.insert(current).second) {
            looped = true;
            break;
        }
        walked.emplace_back(key, path.size());
        MftRecordPtr record = ntfs::ReadMftRecord(h, current, true);
        if (!record || !ParentStillMatches(record, sequence)) {
            path.insert(0, kUnknownPart);
            break;
        }
        const ntfs::AttributeWalk attributes(h, record);
        if (HasIndexRoot(attributes)) {
            MarkDirectory(record);
        } else if (!IsDirectory(record) && attributes.Find(ntfs::kData, u"")) {
            path.insert(0, kUnknownPart);
            break;
        }
        const std::optional<StandardInformation> si = ReadStandardInformation(h, attributes);
        FileName fn;
        if (!si || !ChooseFileName(h, attributes, fn, false)) {
            path.insert(0, kUnknownPart);
            break;
        }
        if (!IsDirectory(record) && (fn.attributes & kAttributeDirectory) != 0 &&
            (si->attributes & kAttributeDirectory) != 0) {
            MarkDirectory(record);
        }
        if (!IsDirectory(record)) {
            path.insert(0, kUnknownPart);
            break;
        }
        previous = current;
        current = fn.parent.record;
        sequence = fn.parent.sequence;
        path.insert(0, bytes::PrintableName(bytes::Utf8FromUtf16(fn.name)) + "\\");
    }
    if (current == ntfs::kRootDirectoryRecord || path.starts_with("?")) {
        path.insert(0, root);
    }
    return finish(path);
}

std::optional<RecycleInfo> ReadRecycleInfo(platform::Handle h, const Attribute& data,
                                           int64_t size) {
    if (size <= 0 || size > static_cast<int64_t>(kMaxRecycleInfoBytes)) {
        return std::nullopt;
    }
    const std::optional<ntfs::AttributeData> bytes =
        ntfs::ReadAttributeData(h, data, 0, size, false);
    return bytes ? ParseRecycleInfo(bytes->Data()) : std::nullopt;
}

void EvaluateMftRecord(const MftRecordPtr& record, uint32_t number, ScanContext& context) {
    const platform::Handle h = Vcb->hVolume;
    CONSISTENCY_CHECK_TEXT(record->HasSignature("FILE"),
                           "strncmp((char *)mftptr->MultiSectorHeader.Signature,\"FILE\",4)==0");
    CONSISTENCY_CHECK_TEXT(record->FirstAttributeOffset() < ntfs::record::MaxFirstAttributeOffset,
                           "mftptr->FirstAttributeOffset < 1024");
    if (bytes::U32(record->View(), record->FirstAttributeOffset()) == ntfs::kEndMarker) {
        return;
    }
    const ntfs::AttributeWalk attributes(h, record);
    const std::optional<StandardInformation> si = ReadStandardInformation(h, attributes);
    if (!si || (si->attributes & kAttributeReparsePoint) != 0) {
        return;
    }
    if (!attributes.Find(ntfs::kFileName)) {
        if (number >= kFirstUnreservedRecord) {
            const bool directory = IsDirectory(record);
            app::MessageBox(directory ? "Directory with no name found. This seems odd."
                                      : "File with no name found.  This seems odd.",
                            "found");
        }
        return;
    }
    FileName fn;
    if (!ChooseFileName(h, attributes, fn, true)) {
        return;
    }
    std::string name = bytes::PrintableName(bytes::Utf8FromUtf16(fn.name));
    SharedText dir = BuildDirectoryPath(fn.parent, &context.directoryPaths);
    // A Recycle Bin's $I file is read whatever the filters say: it names its $R partner.
    const bool recycleInfo = RecycleBin::IsInfoFile(dir, name);
    const bool accepted = context.filters.Accepts(dir, name);
    if (!accepted && !recycleInfo) {
        return;
    }
    if (record->Flags() == 0 && HasIndexRoot(attributes)) {
        MarkDirectory(record);
    }
    if ((record->Flags() & ntfs::record::FlagInUse) != 0 && !Vcb->IsRawFileSystem) {
        app::MessageBox("MFT bitmap says deleted, but MFT record not yet marked unused", "help");
        name += " (MFT not marked unused) ";
    }
    const uint64_t modified = volume::LocalFileTimeFromUtc(si->modified);
    const std::optional<Attribute> data = attributes.Find(ntfs::kData, u"");
    bool unreadable = false;
    std::string condition =
        ChooseCondition(attributes, data, fn.attributes, si->attributes, unreadable);
    if (unreadable) {
        return;
    }
    if (condition != "Directory") {
        FoundFile file = NewFoundFile(std::move(name), std::move(dir),
                                      std::max<int64_t>(ntfs::Get_Attr_Datasize(data), 0),
                                      si->attributes, modified, std::move(condition), number);
        file.createdTime = volume::LocalFileTimeFromUtc(si->created);
        file.changedTime = volume::LocalFileTimeFromUtc(si->changed);
        file.accessedTime = volume::LocalFileTimeFromUtc(si->accessed);
        const std::optional<RecycleInfo> info =
            recycleInfo && data ? ReadRecycleInfo(h, *data, file.size) : std::nullopt;
        if (info) {
            context.recycleBin.HoldInfo(std::move(file), *info, accepted);
        } else if (accepted) {
            AddFoundFile(context.listCtrl, std::move(file));
        }
    }
    FinalChecks(attributes, number);
}

namespace {

// Notes the path of record `number` when its header says it is a directory in use. On a
// container that expands a whole chunk for a few bytes, a directory record read out of order
// costs a chunk: the paths of the directories are found while the records stream past, and
// the deleted files found later take them from the cache.
void NotePathOfDirectory(uint32_t number, ScanContext& context) {
    constexpr uint16_t kInUseDirectory = ntfs::record::FlagInUse | ntfs::record::FlagDirectory;
    std::array<uint8_t, ntfs::record::HeaderEnd> header{};
    if (!ntfs::PeekMftRecordHeader(Vcb->hVolume, number, header) ||
        std::memcmp(header.data(), "FILE", 4) != 0 ||
        (bytes::U16(header, ntfs::record::Flags) & kInUseDirectory) != kInUseDirectory) {
        return;
    }
    BuildDirectoryPath({number, bytes::U16(header, ntfs::record::SequenceNumber)},
                       &context.directoryPaths);
}

}  // namespace

void ScanNtfsVolume(ScanContext& context) {
    const int64_t records = ntfs::MftRecordCount();
    const bool everyRecord = Vcb->IsRawFileSystem;
    std::unique_ptr<app::ProgressWindow> window = app::CreateProgressWindow();
    window->SetText(std::string("Scanning NTFS drive ") + Vcb->RootPath[0] + ", Please wait...");
    const bool directoriesAhead = platform::CurrentPlatform().ReadsWholeChunks(Vcb->hVolume);
    int64_t candidates = 0;
    for (int64_t n = kFirstUserRecord; n < records; ++n) {
        candidates += everyRecord || !ntfs::BitSet(ntfs::mftbitmapptr, n) ? 1 : 0;
    }
    app::ScaledProgress progress(*window, candidates + 1);
    ntfs::MftFetchAhead fetchAhead(records);
    for (int64_t n = kFirstUserRecord; n < records; ++n) {
        fetchAhead.Before(Vcb->hVolume, n);
        if (!everyRecord && ntfs::BitSet(ntfs::mftbitmapptr, n)) {
            if (directoriesAhead) {
                NotePathOfDirectory(static_cast<uint32_t>(n), context);
            }
            continue;
        }
        progress.Step();
        if (app::PumpMessages()) {
            ntfs::CloseNtfsVolume(Vcb->hVolume);  // quitting: the volume is closed here
            app::StopScan = true;
            return;
        }
        if (app::StopScan) {
            return;
        }
        const uint32_t number = static_cast<uint32_t>(n);
        MftRecordPtr record = ntfs::ReadMftRecord(Vcb->hVolume, number, true);
        if (!record) {
            continue;
        }
        try {
            EvaluateMftRecord(record, number, context);
        } catch (const std::exception&) {
            app::StopScan = true;
        }
        if (number >= ntfs::kCachedLowRecords) {
            ntfs::ReleaseMftRecord(record);
        }
        if (app::StopScan) {
            return;
        }
    }
}

void PrepareAndScanNtfsVolume(ScanContext& context) {
    const platform::Handle h = Vcb->hVolume;
    const MftRecordPtr& mft = ntfs::mftrecptr[ntfs::MASTER_FILE_TABLE_NUMBER];
    const int64_t records = ntfs::MftRecordCount();
    CONSISTENCY_CHECK_TEXT(
        ntfs::mftsize == ntfs::Get_Attr_Datasize(ntfs::FindAttribute(h, mft, ntfs::kData)),
        "mftsize == Get_Attr_Datasize(attrptr)");
    CONSISTENCY_CHECK_TEXT(
        (records + 7) / 8 <= ntfs::Get_Attr_Datasize(ntfs::FindAttribute(h, mft, ntfs::kBitmap)),
        "((mftsize/Vcb->BytesPerFileRecordSegment+7)/8)<=Get_Attr_Datasize(attrptr)");
    const MftRecordPtr bitmapFile = ntfs::ReadMftRecord(h, ntfs::kVolumeBitmapRecord, false);
    CONSISTENCY_CHECK_TEXT(
        (Vcb->TotalClusters + 7) / 8 <=
            ntfs::Get_Attr_Datasize(ntfs::FindAttribute(h, bitmapFile, ntfs::kData)),
        "(Vcb->TotalClusters+7)/8<=Get_Attr_Datasize(attrptr)");
    app::PumpMessages();
    ScanNtfsVolume(context);
}

}  // namespace relicta::scan
