#include "ntfs/attribute.h"

#include "app/consistency.h"
#include "ntfs/attribute_data.h"
#include "ntfs/mft_layout.h"

namespace relicta::ntfs {
namespace {

using bytes::Bytes;
using bytes::InBounds;
using bytes::S64;
using bytes::U16;
using bytes::U32;
using bytes::U8;

constexpr std::size_t kNameOffsetResident = 24;
constexpr std::size_t kNameOffsetNonResident = 64;

char16_t FoldCase(char16_t c) {
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c;
}

std::u16string ReadName(Bytes bytes, std::size_t offset, std::size_t characters) {
    std::u16string name;
    if (!InBounds(bytes, offset, characters * 2)) {
        return name;
    }
    name.reserve(characters);
    for (std::size_t i = 0; i < characters; ++i) {
        name.push_back(static_cast<char16_t>(U16(bytes, offset + 2 * i)));
    }
    return name;
}

bool NameMatches(const AttributeName& wanted, std::u16string_view actual) {
    if (!wanted) {
        return true;
    }
    return NamesEqualIgnoringCase(*wanted, actual);
}

using Extent = AttributeExtent;

// The attribute at `offset` if its header lies inside the record; nullopt ends the walk.
// Walks look at extents and make an Attribute (which holds the record) only for a hit.
std::optional<Extent> ExtentAt(const MftRecord& record, std::size_t offset) {
    Extent extent;
    switch (ProbeExtent(record.View(), offset, extent)) {
        case ExtentFound::Attribute:
            return extent;
        case ExtentFound::EndMarker:
            return std::nullopt;
        case ExtentFound::HeaderOutside:
            CONSISTENCY_CHECK_TEXT(false, "attribute inside its record");
            return std::nullopt;
        case ExtentFound::BadLength:
            CONSISTENCY_CHECK_TEXT(false, "attr->RecordLength != 0 && attribute inside its record");
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<Attribute> AttributeAt(const MftRecordPtr& record, std::size_t offset) {
    const std::optional<Extent> extent = ExtentAt(*record, offset);
    if (!extent) {
        return std::nullopt;
    }
    return Attribute{record, extent->offset, extent->length, {}};
}

uint32_t TypeAt(const MftRecord& record, const Extent& extent) {
    return U32(record.View(), extent.offset + attr::TypeCode);
}

// Whether the attribute's name is the one wanted; unnamed attributes (most) are told apart
// without reading a name.
bool NameMatchesAt(const AttributeName& wanted, const MftRecordPtr& record, const Extent& extent) {
    if (!wanted) {
        return true;
    }
    if (U8(record->View(), extent.offset + attr::NameLength) == 0) {
        return wanted->empty();
    }
    return NameMatches(wanted, Attribute{record, extent.offset, extent.length, {}}.Name());
}

// What one attribute met in a record's order means to a search for the `countdown`th
// attribute of `typeCode` named `name`: attributes are sorted by type, so a greater one ends
// the search.
enum class SearchStep { Next, Found, End };
SearchStep StepSearch(uint32_t type, const MftRecordPtr& record, const Extent& extent,
                      uint32_t typeCode, const AttributeName& name, int& countdown) {
    if (type > typeCode) {
        return SearchStep::End;
    }
    if (type != typeCode) {
        return SearchStep::Next;
    }
    if (countdown == 0 && NameMatchesAt(name, record, extent)) {
        return SearchStep::Found;
    }
    --countdown;
    return SearchStep::Next;
}

struct ListEntry {
    uint32_t recordNumber = 0;
    int64_t lowestVcn = 0;
    std::u16string name;
    std::optional<uint16_t> instance;  // absent from entries too short to hold it
};

struct ListHit {
    uint32_t recordNumber = 0;
    std::optional<uint16_t> instance;
    std::vector<ListEntry> continuations;  // same attribute, later VCNs
};

// Walks an attribute list's value for the entry at `instance` of `typeCode`.
std::optional<ListHit> SearchAttributeList(Bytes list, uint32_t typeCode, const AttributeName& name,
                                           int instance) {
    int countdown = instance;
    std::size_t offset = 0;
    std::optional<ListHit> hit;
    std::u16string hitName;
    while (InBounds(list, offset, list_entry::MinimumSize)) {
        const uint32_t type = U32(list, offset + list_entry::TypeCode);
        if (type == kEndMarker || type > typeCode) {
            break;
        }
        const uint16_t entryLength = U16(list, offset + list_entry::EntryLength);
        if (!CONSISTENCY_CHECK_TEXT(entryLength >= list_entry::MinimumSize,
                                    "attribute list entry length >= 24")) {
            break;
        }
        if (type == typeCode) {
            ListEntry entry;
            entry.recordNumber = U32(list, offset + list_entry::SegmentReference);
            entry.lowestVcn = bytes::S64(list, offset + list_entry::LowestVcn);
            entry.name = ReadName(list, offset + U8(list, offset + list_entry::NameOffset),
                                  U8(list, offset + list_entry::NameLength));
            if (entryLength >= list_entry::Instance + sizeof(uint16_t) &&
                InBounds(list, offset + list_entry::Instance, sizeof(uint16_t))) {
                entry.instance = U16(list, offset + list_entry::Instance);
            }
            if (hit) {
                // Entries of the same attribute that carry on its run list.
                if (entry.lowestVcn > 0 && entry.name == hitName) {
                    hit->continuations.push_back(entry);
                } else {
                    break;
                }
            } else if (countdown == 0 && NameMatches(name, entry.name)) {
                hit = ListHit{entry.recordNumber, entry.instance, {}};
                hitName = entry.name;
            } else {
                --countdown;
            }
        }
        offset += entryLength;
    }
    return hit;
}

// The pieces of a split attribute that the list's continuation entries name.
std::vector<Attribute> ReadContinuations(platform::Handle hVolume, uint32_t typeCode,
                                         const std::vector<ListEntry>& entries) {
    std::vector<Attribute> pieces;
    for (const ListEntry& entry : entries) {
        MftRecordPtr record = ReadMftRecord(hVolume, entry.recordNumber, false);
        if (!record) {
            break;  // the rest of the data stays zero, as for any unreadable run
        }
        std::size_t offset = record->FirstAttributeOffset();
        bool found = false;
        while (std::optional<Attribute> a = AttributeAt(record, offset)) {
            if (a->TypeCode() == typeCode && !a->IsResident() &&
                a->LowestVcn() == entry.lowestVcn && a->Name() == entry.name) {
                pieces.push_back(*a);
                found = true;
                break;
            }
            offset += a->length;
        }
        if (!found) {
            break;
        }
    }
    return pieces;
}

}  // namespace

ExtentFound ProbeExtent(Bytes record, std::size_t offset, AttributeExtent& extent) {
    if (!InBounds(record, offset, sizeof(uint32_t))) {
        return ExtentFound::HeaderOutside;
    }
    if (U32(record, offset + attr::TypeCode) == kEndMarker) {
        return ExtentFound::EndMarker;
    }
    const uint32_t length = U32(record, offset + attr::RecordLength);
    const bool resident = U8(record, offset + attr::FormCode) == attr::FormResident;
    const std::size_t minimum = resident ? attr::ResidentHeaderSize : attr::NonResidentHeaderSize;
    if (length < minimum || !InBounds(record, offset, length)) {
        return ExtentFound::BadLength;
    }
    extent = AttributeExtent{offset, length};
    return ExtentFound::Attribute;
}

uint32_t Attribute::TypeCode() const {
    return U32(Bytes(), attr::TypeCode);
}
bool Attribute::IsResident() const {
    return U8(Bytes(), attr::FormCode) == attr::FormResident;
}
uint8_t Attribute::NameLength() const {
    return U8(Bytes(), attr::NameLength);
}
uint16_t Attribute::NameOffset() const {
    return U16(Bytes(), attr::NameOffset);
}
uint16_t Attribute::AttributeFlags() const {
    return U16(Bytes(), attr::AttributeFlags);
}
uint32_t Attribute::ValueLength() const {
    return IsResident() ? U32(Bytes(), attr::ValueLength) : 0;
}
int64_t Attribute::LowestVcn() const {
    return IsResident() ? 0 : S64(Bytes(), attr::LowestVcn);
}
uint16_t Attribute::MappingPairsOffset() const {
    return IsResident() ? 0 : U16(Bytes(), attr::MappingPairsOffset);
}
int64_t Attribute::FileSize() const {
    return IsResident() ? 0 : S64(Bytes(), attr::FileSize);
}

int64_t Attribute::AllocatedSize() const {
    return IsResident() ? 0 : S64(Bytes(), attr::AllocatedSize);
}

bool Attribute::IsCompressed() const {
    return !IsResident() && (AttributeFlags() & attr::FlagCompressionMask) != 0;
}

int64_t Attribute::CompressionUnitClusters() const {
    const uint8_t shift = U8(Bytes(), attr::CompressionUnit);
    return int64_t{1} << (shift >= 1 && shift <= attr::MaxCompressionUnit
                              ? shift
                              : attr::DefaultCompressionUnit);
}

std::u16string Attribute::Name() const {
    const std::size_t offset = NameOffset() != 0 ? NameOffset()
                               : IsResident()    ? kNameOffsetResident
                                                 : kNameOffsetNonResident;
    return ReadName(Bytes(), offset, NameLength());
}

bool NamesEqualIgnoringCase(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldCase(a[i]) != FoldCase(b[i])) {
            return false;
        }
    }
    return true;
}

int64_t Get_Attr_Datasize(const Attribute* attribute) {
    if (attribute == nullptr) {
        return 0;
    }
    return attribute->IsResident() ? attribute->ValueLength() : attribute->FileSize();
}

std::optional<std::size_t> Find_Attr_DataArea(const Attribute& a) {
    const std::size_t nameOffset = a.NameOffset() != 0 ? a.NameOffset()
                                   : a.IsResident()    ? kNameOffsetResident
                                                       : kNameOffsetNonResident;
    const std::size_t afterName = nameOffset + 2 * std::size_t{a.NameLength()};
    std::size_t start = afterName;
    if (a.IsResident()) {
        // Names of odd length are padded: the header's own value offset is the truth.
        const uint16_t valueOffset = U16(a.Bytes(), attr::ValueOffset);
        if (valueOffset != 0 && valueOffset != afterName && valueOffset <= a.length) {
            start = valueOffset;
        }
    } else if (a.MappingPairsOffset() != 0) {
        start = a.MappingPairsOffset();
    }
    if (start > a.length) {
        return std::nullopt;
    }
    return start;
}

bytes::Bytes ResidentValue(const Attribute& a) {
    const std::optional<std::size_t> start = Find_Attr_DataArea(a);
    if (!start || !a.IsResident()) {
        return {};
    }
    const Bytes bytes = a.Bytes();
    const std::size_t available = bytes.size() - *start;
    return bytes.subspan(*start, std::min<std::size_t>(available, a.ValueLength()));
}

namespace {

// The attribute in the record itself or, for every type but a file name, where its
// attribute list says it is. `sawType` tells whether the record itself holds any of the type.
std::optional<Attribute> FindInRecordOrList(platform::Handle hVolume, const MftRecordPtr& start,
                                            uint32_t typeCode, const AttributeName& name,
                                            int instance, bool& sawType) {
    sawType = false;
    MftRecordPtr current = start;
    std::size_t offset = start->FirstAttributeOffset();
    int countdown = instance;
    bool listFollowed = false;
    while (const std::optional<Extent> e = ExtentAt(*current, offset)) {
        const uint32_t type = TypeAt(*current, *e);
        sawType = sawType || (type == typeCode && current == start);
        const SearchStep step = StepSearch(type, current, *e, typeCode, name, countdown);
        if (step == SearchStep::End) {
            return std::nullopt;
        }
        if (step == SearchStep::Found) {
            return Attribute{current, e->offset, e->length, {}};
        }
        if (type == kAttributeList && typeCode != kFileName && !listFollowed) {
            listFollowed = true;
            const Attribute listAttribute{current, e->offset, e->length, {}};
            const std::optional<AttributeData> list = ReadAttributeData(
                hVolume, listAttribute, 0, Get_Attr_Datasize(listAttribute), true);
            const std::optional<ListHit> hit =
                list ? SearchAttributeList(list->Data(), typeCode, name, instance) : std::nullopt;
            if (hit && hit->recordNumber != 0) {
                if (MftRecordPtr other = ReadMftRecord(hVolume, hit->recordNumber, false)) {
                    std::optional<Attribute> first =
                        AttributeAt(other, other->FirstAttributeOffset());
                    if (first && first->TypeCode() == typeCode) {
                        if (!first->IsResident()) {
                            first->continuations =
                                ReadContinuations(hVolume, typeCode, hit->continuations);
                        }
                        return first;
                    }
                    if (!first) {
                        return std::nullopt;
                    }
                    current = other;
                    offset = first->offset + first->length;
                    countdown = 0;
                    continue;
                }
            }
        }
        offset += e->length;
    }
    return std::nullopt;
}

// The value of the record's own attribute list; false when it has none.
bool ReadAttributeListValue(platform::Handle hVolume, const MftRecordPtr& base,
                            std::vector<uint8_t>& value) {
    std::size_t offset = base->FirstAttributeOffset();
    while (std::optional<Attribute> a = AttributeAt(base, offset)) {
        if (a->TypeCode() > kAttributeList) {
            break;
        }
        if (a->TypeCode() == kAttributeList) {
            std::optional<AttributeData> list =
                ReadAttributeData(hVolume, *a, 0, Get_Attr_Datasize(*a), true);
            if (!list) {
                return false;
            }
            value = list->TakeBytes();
            return true;
        }
        offset += a->length;
    }
    return false;
}

// A file name kept in an extension record, as the base record's attribute list says. The
// extension must name the base as its own, or it belongs to another file now.
std::optional<Attribute> FindFileNameInExtension(platform::Handle hVolume, const MftRecordPtr& base,
                                                 const AttributeName& name, int instance) {
    std::vector<uint8_t> list;
    if (!ReadAttributeListValue(hVolume, base, list)) {
        return std::nullopt;
    }
    const std::optional<ListHit> hit = SearchAttributeList(list, kFileName, name, instance);
    if (!hit || hit->recordNumber == base->number) {
        return std::nullopt;
    }
    const MftRecordPtr extension = ReadMftRecord(hVolume, hit->recordNumber, false);
    if (!extension || (bytes::U64(extension->View(), record::BaseRecord) & kReferenceRecordMask) !=
                          base->number) {
        return std::nullopt;
    }
    std::size_t offset = extension->FirstAttributeOffset();
    while (std::optional<Attribute> a = AttributeAt(extension, offset)) {
        if (a->TypeCode() == kFileName &&
            (!hit->instance || U16(a->Bytes(), attr::Instance) == *hit->instance)) {
            return a;
        }
        offset += a->length;
    }
    return std::nullopt;
}

bool PassesRecordChecks(const MftRecord& record) {
    return record.HasSignature("FILE") &&
           record.FirstAttributeOffset() < record::MaxFirstAttributeOffset;
}

}  // namespace

AttributeWalk::AttributeWalk(platform::Handle hVolume, MftRecordPtr record)
    : hVolume_(hVolume), record_(std::move(record)) {
    if (!record_ || !PassesRecordChecks(*record_)) {
        return;
    }
    std::size_t offset = record_->FirstAttributeOffset();
    for (;;) {
        Extent e;
        const ExtentFound found = ProbeExtent(record_->View(), offset, e);
        if (found == ExtentFound::EndMarker) {
            walked_ = true;
            return;
        }
        if (found != ExtentFound::Attribute || count_ == kMaxWalked) {
            return;
        }
        const uint32_t type = TypeAt(*record_, e);
        if (type == kAttributeList) {
            return;
        }
        attributes_[count_++] = Walked{type, e.offset, e.length};
        offset += e.length;
    }
}

std::optional<Attribute> AttributeWalk::Find(uint32_t typeCode, AttributeName name,
                                             int instance) const {
    if (!walked_) {
        return FindAttribute(hVolume_, record_, typeCode, name, instance);
    }
    int countdown = instance;
    for (std::size_t i = 0; i < count_; ++i) {
        const Walked& a = attributes_[i];
        const Extent e{a.offset, a.length};
        const SearchStep step = StepSearch(a.type, record_, e, typeCode, name, countdown);
        if (step == SearchStep::End) {
            return std::nullopt;
        }
        if (step == SearchStep::Found) {
            return Attribute{record_, e.offset, e.length, {}};
        }
    }
    return std::nullopt;
}

std::optional<Attribute> FindAttribute(platform::Handle hVolume, const MftRecordPtr& start,
                                       uint32_t typeCode, AttributeName name, int instance) {
    if (!start) {
        return std::nullopt;
    }
    CONSISTENCY_CHECK_TEXT(start->HasSignature("FILE"),
                           "strncmp((char *)mftptr->MultiSectorHeader.Signature,\"FILE\",4)==0");
    CONSISTENCY_CHECK_TEXT(start->FirstAttributeOffset() < record::MaxFirstAttributeOffset,
                           "mftptr->FirstAttributeOffset < 1024");
    bool ownOfType = false;
    std::optional<Attribute> found =
        FindInRecordOrList(hVolume, start, typeCode, name, instance, ownOfType);
    if (found || typeCode != kFileName || ownOfType) {
        return found;
    }
    // A record with no name of its own keeps its names in extension records: ntfs-3g moves
    // a full directory's name out, Windows the names of a file with many hard links.
    return FindFileNameInExtension(hVolume, start, name, instance);
}

}  // namespace relicta::ntfs
