#pragma once
// Reading any byte range of an attribute's data.

#include <cstdint>
#include <optional>
#include <vector>

#include "ntfs/attribute.h"
#include "platform/platform.h"
#include "volume/vcb.h"

namespace relicta::ntfs {

// Attribute data: a view into the record for a resident value (kept alive with it), or a
// buffer of its own for a non-resident one.
class AttributeData {
  public:
    static AttributeData Resident(MftRecordPtr record, bytes::Bytes value);
    static AttributeData Owned(std::vector<uint8_t> bytes);

    bytes::Bytes Data() const { return record_ ? resident_ : bytes::Bytes(owned_); }
    bool IsResident() const { return record_ != nullptr; }
    std::vector<uint8_t> TakeBytes();  // a copy for a resident value

  private:
    MftRecordPtr record_;
    bytes::Bytes resident_;
    std::vector<uint8_t> owned_;
};

// `length` bytes from `offset` of the attribute's data. Raw runs read the clusters as
// stored; otherwise compression units are expanded. Non-resident data comes back exactly
// `length` bytes long, zero where the run list does not reach; a resident value is cut to
// what the attribute holds. nullopt without a volume (non-resident) or for a range that
// cannot be data of this volume. Non-resident data is read into `reuse`'s storage when that
// is large enough.
std::optional<AttributeData> ReadAttributeData(platform::Handle hVolume, const Attribute& attribute,
                                               int64_t offset, int64_t length, bool rawRuns,
                                               std::vector<uint8_t> reuse = {});

// The stored clusters of a run list in which every run is stored (no sparse run, no
// negative LCN, no split over records); empty when the list is not that plain.
std::vector<volume::ClusterExtent> PlainExtents(const Attribute& attribute);

// The largest range a read may ask for: the volume's readable bytes.
int64_t MaxAttributeReadBytes(platform::Handle hVolume);

}  // namespace relicta::ntfs
