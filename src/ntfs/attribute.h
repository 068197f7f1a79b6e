#pragma once
// Attributes of an MFT record: finding them, their sizes and where their data starts.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ntfs/mft_record.h"

namespace relicta::ntfs {

// One attribute inside a record. The record is kept alive while the attribute is held;
// `length` is the attribute's RecordLength, checked to lie inside the record.
struct Attribute {
    MftRecordPtr record;
    std::size_t offset = 0;
    std::size_t length = 0;
    // Further pieces of a non-resident attribute whose run list the attribute list split
    // over several records, in VCN order.
    std::vector<Attribute> continuations;

    bytes::Bytes Bytes() const { return record->View().subspan(offset, length); }
    uint32_t TypeCode() const;
    bool IsResident() const;
    uint8_t NameLength() const;
    uint16_t NameOffset() const;
    uint16_t AttributeFlags() const;
    uint32_t ValueLength() const;
    int64_t LowestVcn() const;
    uint16_t MappingPairsOffset() const;
    int64_t FileSize() const;
    // The bytes the non-resident data's clusters (sparse ones too) can hold; 0 when resident.
    int64_t AllocatedSize() const;
    bool IsCompressed() const;
    // Clusters of one compression unit (16 unless the header says otherwise).
    int64_t CompressionUnitClusters() const;
    std::u16string Name() const;
};

// Where an attribute lies in its record's bytes.
struct AttributeExtent {
    std::size_t offset = 0;
    std::size_t length = 0;
};

enum class ExtentFound { Attribute, EndMarker, HeaderOutside, BadLength };

// What lies at `offset` of a record's attribute walk, over the record's bytes alone and
// without a word about it: a record found anywhere on a drive is walked with it too.
ExtentFound ProbeExtent(bytes::Bytes record, std::size_t offset, AttributeExtent& extent);

// An attribute name to look for: nullopt matches any name, an empty one only unnamed
// attributes, others compare ignoring case.
using AttributeName = std::optional<std::u16string_view>;

std::optional<Attribute> FindAttribute(platform::Handle hVolume, const MftRecordPtr& record,
                                       uint32_t typeCode, AttributeName name = std::nullopt,
                                       int instance = 0);

// A record's own attributes walked once, answering FindAttribute's questions for it: a scan
// asks several of every record. A record with an attribute list, or whose walk does not
// end cleanly, has its questions passed to FindAttribute (with its messages).
class AttributeWalk {
  public:
    AttributeWalk(platform::Handle hVolume, MftRecordPtr record);
    // What FindAttribute(hVolume, record, typeCode, name, instance) finds.
    std::optional<Attribute> Find(uint32_t typeCode, AttributeName name = std::nullopt,
                                  int instance = 0) const;
    const MftRecordPtr& Record() const { return record_; }

  private:
    static constexpr std::size_t kMaxWalked = 48;
    struct Walked {
        uint32_t type = 0;
        std::size_t offset = 0;
        std::size_t length = 0;
    };
    platform::Handle hVolume_;
    MftRecordPtr record_;
    bool walked_ = false;
    std::size_t count_ = 0;
    std::array<Walked, kMaxWalked> attributes_;
};

// The data size: ValueLength (resident) or FileSize; 0 for no attribute.
int64_t Get_Attr_Datasize(const Attribute* attribute);
inline int64_t Get_Attr_Datasize(const std::optional<Attribute>& a) {
    return Get_Attr_Datasize(a ? &*a : nullptr);
}

// Offset, inside the attribute, of its resident value or its run list.
std::optional<std::size_t> Find_Attr_DataArea(const Attribute& attribute);

// The resident value, cut to what lies inside the attribute.
bytes::Bytes ResidentValue(const Attribute& attribute);

bool NamesEqualIgnoringCase(std::u16string_view a, std::u16string_view b);

}  // namespace relicta::ntfs
