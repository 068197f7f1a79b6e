#include "ntfs/runs.h"

#include <algorithm>

#include "app/consistency.h"
#include "volume/vcb.h"

namespace relicta::ntfs {
namespace {

using bytes::Bytes;
using bytes::InBounds;

constexpr int kMaxLengthBytes = 4;
constexpr int kMaxLcnBytes = 4;
constexpr int kMaxLargeVolumeLcnBytes = 8;
constexpr int64_t kLargeVolumeClusters = INT32_MAX;

// Little-endian integer of `size` bytes, sign-extended when `isSigned`.
int64_t ReadVarInt(Bytes bytes, std::size_t offset, int size, bool isSigned) {
    uint64_t value = 0;
    for (int i = 0; i < size; ++i) {
        value |= uint64_t{bytes[offset + i]} << (8 * i);
    }
    if (isSigned && size > 0 && size < 8 && (bytes[offset + size - 1] & 0x80) != 0) {
        value |= ~uint64_t{0} << (8 * size);
    }
    return static_cast<int64_t>(value);
}

// Lengths: 1 and 2 bytes signed, 3 bytes unsigned, 4 bytes a signed 32-bit value.
int64_t ReadRunLength(Bytes bytes, std::size_t offset, int size) {
    return ReadVarInt(bytes, offset, size, size != 3);
}

bool IsRaw() {
    return volume::Vcb != nullptr && volume::Vcb->IsRawFileSystem;
}

// Volumes beyond 2^31 clusters need LCN deltas wider than four bytes.
int MaxLcnBytes() {
    return volume::Vcb != nullptr && volume::Vcb->TotalClusters > kLargeVolumeClusters
               ? kMaxLargeVolumeLcnBytes
               : kMaxLcnBytes;
}

}  // namespace

std::size_t RunListStart(const Attribute& attribute) {
    return Find_Attr_DataArea(attribute).value_or(attribute.length);
}

bool DecodeNextRun(const Attribute& attribute, std::size_t& cursor, Run& run) {
    return DecodeNextRun(attribute, cursor, run, IsRaw() ? RunChecks::Refuse : RunChecks::Report,
                         MaxLcnBytes());
}

bool DecodeNextRun(const Attribute& attribute, std::size_t& cursor, Run& run, RunChecks checks,
                   int maxLcnBytes) {
    const bool refuse = checks != RunChecks::Report;
    const bool quiet = checks == RunChecks::Quiet;
    const Bytes bytes = attribute.Bytes();
    run.RUNlength = 0;
    run.SPARSElength = 0;
    if (cursor == RunListStart(attribute)) {
        run.lcn = 0;
        run.vcn = std::clamp<int64_t>(attribute.LowestVcn(), 0, kMaxVcn);
    }
    if (!InBounds(bytes, cursor, 1)) {
        CONSISTENCY_CHECK_TEXT(refuse, "run list inside its attribute");
        return false;
    }
    const uint8_t header = bytes[cursor];
    if (header == 0) {
        return false;
    }
    const int lengthSize = header & 0x0F;
    const int lcnSize = header >> 4;
    const bool lengthSizeOk = lengthSize != 0 && lengthSize <= kMaxLengthBytes;
    const bool lcnSizeOk = lcnSize <= maxLcnBytes;
    if (refuse && (!lengthSizeOk || !lcnSizeOk)) {
        return false;
    }
    // After an ignored report the field cannot be read as anything: the list ends.
    if (!CONSISTENCY_CHECK_TEXT(lengthSizeOk, "Length of Length in Run wrong") ||
        !CONSISTENCY_CHECK_TEXT(lcnSizeOk, "Length of Logical cluster in Run wrong")) {
        return false;
    }
    if (!InBounds(bytes, cursor + 1, std::size_t{1} * lengthSize + lcnSize)) {
        CONSISTENCY_CHECK_TEXT(refuse, "run list inside its attribute");
        return false;
    }
    const int64_t length = ReadRunLength(bytes, cursor + 1, lengthSize);
    if (length <= 0) {
        if (refuse) {
            return false;
        }
        CONSISTENCY_CHECK_TEXT(false, "Run length less than zero!");
    }
    std::size_t next = cursor + 1 + lengthSize + lcnSize;
    if (lcnSize == 0) {
        run.SPARSElength = length;
        cursor = next;
        return true;
    }
    const int64_t deltaLcn = ReadVarInt(bytes, cursor + 1 + lengthSize, lcnSize, true);
    CONSISTENCY_CHECK_TEXT(quiet || deltaLcn != 0 || run.lcn == 0, "deltaLCN!=0 || Run.lcn == 0");
    run.RUNlength = length;
    run.lcn = WrapAdd(run.lcn, deltaLcn);

    // A directly following run without clusters is the rest of a compression unit.
    if (InBounds(bytes, next, 1) && bytes[next] != 0 && (bytes[next] >> 4) == 0) {
        const int compressedlen = bytes[next] & 0x0F;
        if (CONSISTENCY_CHECK_TEXT(quiet || compressedlen <= kMaxLengthBytes,
                                   "compressedlen <= 4") &&
            compressedlen <= kMaxLengthBytes &&
            InBounds(bytes, next + 1, static_cast<std::size_t>(compressedlen))) {
            run.SPARSElength = ReadVarInt(bytes, next + 1, compressedlen, false);
            next += 1 + compressedlen;
        }
    }
    cursor = next;
    return true;
}

int CountRuns(const Attribute* attribute, bool merge) {
    if (attribute == nullptr || attribute->IsResident()) {
        return 0;
    }
    std::size_t cursor = RunListStart(*attribute);
    Run run;
    int count = 0;
    int64_t previousEnd = INT64_MIN;
    for (;;) {
        const std::size_t before = cursor;
        const bool decoded = DecodeNextRun(*attribute, cursor, run);
        if (!decoded) {
            // A failed attempt counts; the end marker does not.
            const Bytes bytes = attribute->Bytes();
            if (!(bytes::InBounds(bytes, before, 1) && bytes[before] == 0)) {
                ++count;
            }
            return count;
        }
        const bool contiguous = merge && attribute->AttributeFlags() != 0 && run.lcn == previousEnd;
        if (!contiguous) {
            ++count;
        }
        previousEnd = WrapAdd(run.lcn, run.RUNlength);
    }
}

}  // namespace relicta::ntfs
