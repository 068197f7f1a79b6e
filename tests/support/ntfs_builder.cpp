#include "support/ntfs_builder.h"

#include <algorithm>
#include <cstring>

#include "support/boot_sectors.h"
#include "volume/filetime.h"

namespace relicta::test {
namespace {

constexpr uint32_t kStride = 512;
constexpr uint16_t kCheckWord = 0x4242;

std::size_t Align8(std::size_t n) {
    return (n + 7) & ~std::size_t{7};
}

}  // namespace

std::vector<uint8_t> Utf16Bytes(const std::u16string& text) {
    std::vector<uint8_t> out;
    for (char16_t c : text) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

RecordBuilder& RecordBuilder::Flags(uint16_t flags) {
    flags_ = flags;
    return *this;
}

RecordBuilder& RecordBuilder::Sequence(uint16_t sequence) {
    sequence_ = sequence;
    return *this;
}

RecordBuilder& RecordBuilder::UsaOffset(uint16_t offset) {
    usaOffset_ = offset;
    return *this;
}

RecordBuilder& RecordBuilder::Resident(uint32_t type, std::vector<uint8_t> value,
                                       std::u16string name) {
    const std::size_t nameOffset = 24;
    const std::size_t valueOffset = Align8(nameOffset + 2 * name.size());
    std::vector<uint8_t> a(Align8(valueOffset + value.size()), 0);
    PutLe(a, 0, type, 4);
    PutLe(a, 4, a.size(), 4);
    a[8] = 0;
    a[9] = static_cast<uint8_t>(name.size());
    PutLe(a, 10, nameOffset, 2);
    PutLe(a, 16, value.size(), 4);
    PutLe(a, 20, valueOffset, 2);
    const std::vector<uint8_t> nameBytes = Utf16Bytes(name);
    std::copy(nameBytes.begin(), nameBytes.end(), a.begin() + nameOffset);
    std::copy(value.begin(), value.end(), a.begin() + static_cast<std::ptrdiff_t>(valueOffset));
    attributes_.push_back(std::move(a));
    return *this;
}

RecordBuilder& RecordBuilder::NonResident(uint32_t type, std::vector<uint8_t> runs,
                                          int64_t fileSize, std::u16string name, int64_t lowestVcn,
                                          uint16_t flags) {
    const std::size_t nameOffset = 64;
    const std::size_t runsOffset = Align8(nameOffset + 2 * name.size());
    std::vector<uint8_t> a(Align8(runsOffset + runs.size() + 1), 0);
    PutLe(a, 0, type, 4);
    PutLe(a, 4, a.size(), 4);
    a[8] = 1;
    a[9] = static_cast<uint8_t>(name.size());
    PutLe(a, 10, nameOffset, 2);
    PutLe(a, 12, flags, 2);
    a[34] = (flags & 0xFF) != 0 ? 4 : 0;  // compression unit of 16 clusters
    PutLe(a, 16, static_cast<uint64_t>(lowestVcn), 8);
    PutLe(a, 32, runsOffset, 2);
    PutLe(a, 40, static_cast<uint64_t>(fileSize), 8);
    PutLe(a, 48, static_cast<uint64_t>(fileSize), 8);
    PutLe(a, 56, static_cast<uint64_t>(fileSize), 8);
    const std::vector<uint8_t> nameBytes = Utf16Bytes(name);
    std::copy(nameBytes.begin(), nameBytes.end(), a.begin() + nameOffset);
    std::copy(runs.begin(), runs.end(), a.begin() + static_cast<std::ptrdiff_t>(runsOffset));
    attributes_.push_back(std::move(a));
    return *this;
}

RecordBuilder& RecordBuilder::RawAttribute(std::vector<uint8_t> bytes) {
    attributes_.push_back(std::move(bytes));
    return *this;
}

RecordBuilder& RecordBuilder::Base(uint32_t baseRecord) {
    base_ = baseRecord;
    return *this;
}

std::vector<uint8_t> RecordBuilder::BuildUnprotected() const {
    std::vector<uint8_t> r(size_, 0);
    std::memcpy(r.data(), "FILE", 4);
    const uint16_t usaCount = static_cast<uint16_t>(size_ / kStride + 1);
    const std::size_t firstAttribute = Align8(std::size_t{usaOffset_} + 2 * usaCount);
    PutLe(r, 4, usaOffset_, 2);
    PutLe(r, 6, usaCount, 2);
    PutLe(r, 16, sequence_, 2);
    PutLe(r, 18, 1, 2);
    PutLe(r, 20, firstAttribute, 2);
    PutLe(r, 22, flags_, 2);
    PutLe(r, 28, size_, 4);
    PutLe(r, 32, base_, 6);
    std::size_t at = firstAttribute;
    for (const std::vector<uint8_t>& a : attributes_) {
        std::copy(a.begin(),
                  a.begin() + static_cast<std::ptrdiff_t>(std::min(a.size(), size_ - at)),
                  r.begin() + static_cast<std::ptrdiff_t>(at));
        at += a.size();
    }
    if (at + 8 <= size_) {
        PutLe(r, at, 0xFFFFFFFF, 4);
        at += 8;
    }
    PutLe(r, 24, std::min<std::size_t>(at, size_), 4);
    return r;
}

std::vector<uint8_t> RecordBuilder::Build() const {
    std::vector<uint8_t> r = BuildUnprotected();
    const uint16_t usaCount = static_cast<uint16_t>(size_ / kStride + 1);
    PutLe(r, usaOffset_, kCheckWord, 2);
    for (uint16_t i = 1; i < usaCount; ++i) {
        const std::size_t last = kStride * i - 2;
        r[usaOffset_ + 2 * i] = r[last];
        r[usaOffset_ + 2 * i + 1] = r[last + 1];
        PutLe(r, last, kCheckWord, 2);
    }
    return r;
}

NtfsImage::NtfsImage(uint32_t recordCount, uint32_t clusterCount)
    : records(recordCount), clusters(clusterCount), mftBitmap((recordCount + 63) / 64 * 8, 0) {
    bytes.assign(std::size_t{clusters} * kClusterBytes, 0);
    NtfsLayout layout;
    layout.numberSectors = int64_t{clusters} * 8 - 1;
    layout.mftStartLcn = kMftLcn;
    layout.mft2StartLcn = 2;
    std::vector<uint8_t> boot = NtfsBootSector(layout);
    std::copy(boot.begin(), boot.end(), bytes.begin());
    for (uint32_t n = 1; n < 16; ++n) {
        SetRecord(n, RecordBuilder().Build());
        SetRecordInUse(n, true);
    }
    SetRecord(3, RecordBuilder()
                     .Resident(0x60, Utf16Bytes(u"test"))
                     .Resident(0x70, std::vector<uint8_t>(12, 0))
                     .Build());
    SetRecord(
        5, RecordBuilder().Flags(3).Resident(0x90, std::vector<uint8_t>(32, 0), u"$I30").Build());
    // The volume bitmap file: one cluster at kBitmapLcn.
    const uint32_t bitmapBytes = (clusters + 63) / 64 * 8;
    SetRecord(6, RecordBuilder()
                     .NonResident(0x80, {0x11, 0x01, static_cast<uint8_t>(kBitmapLcn)}, bitmapBytes)
                     .Build());
    SetRecord(8, RecordBuilder()
                     .Resident(0x80, {})
                     .NonResident(0x80, {0x03, 0x00, 0x08, 0x00}, int64_t{clusters} * kClusterBytes,
                                  u"$Bad")
                     .Build());
    // Clusters 0..63 in use in the volume bitmap.
    std::fill(bytes.begin() + kBitmapLcn * kClusterBytes,
              bytes.begin() + kBitmapLcn * kClusterBytes + 8, 0xFF);
    SetRecordInUse(0, true);
    Rebuild();
}

std::size_t NtfsImage::RecordOffset(uint32_t number) const {
    return kMftLcn * kClusterBytes + std::size_t{number} * kRecordBytes;
}

void NtfsImage::SetRecord(uint32_t number, const std::vector<uint8_t>& onDisk) {
    std::copy(onDisk.begin(), onDisk.end(),
              bytes.begin() + static_cast<std::ptrdiff_t>(RecordOffset(number)));
}

void NtfsImage::SetRecordInUse(uint32_t number, bool inUse) {
    const uint8_t mask = static_cast<uint8_t>(1u << (number % 8));
    mftBitmap[number / 8] =
        inUse ? (mftBitmap[number / 8] | mask) : (mftBitmap[number / 8] & ~mask);
}

void NtfsImage::Rebuild() {
    const uint32_t mftClusters = records * kRecordBytes / kClusterBytes;
    SetRecord(
        0, RecordBuilder()
               .NonResident(
                   0x80, {0x11, static_cast<uint8_t>(mftClusters), static_cast<uint8_t>(kMftLcn)},
                   int64_t{records} * kRecordBytes)
               .Resident(0xB0, mftBitmap)
               .Build());
}

namespace {
constexpr uint32_t kStandardInformationType = 0x10;
constexpr uint32_t kFileNameType = 0x30;
constexpr uint32_t kIndexRootType = 0x90;
}  // namespace

std::vector<uint8_t> Si(uint32_t attributes) {
    std::vector<uint8_t> v(72, 0);
    PutLe(v, 8, volume::FileTimeFromCalendar({2021, 6, 7, 8, 9, 10}), 8);
    PutLe(v, 32, attributes, 4);
    return v;
}

std::vector<uint8_t> Fn(uint32_t parent, const std::u16string& name, uint16_t parentSequence,
                        uint32_t attributes) {
    std::vector<uint8_t> v(66, 0);
    PutLe(v, 0, (uint64_t{parentSequence} << 48) | parent, 8);
    PutLe(v, 56, attributes, 4);
    v[64] = static_cast<uint8_t>(name.size());
    const std::vector<uint8_t> chars = Utf16Bytes(name);
    v.insert(v.end(), chars.begin(), chars.end());
    return v;
}

RecordBuilder Named(uint16_t flags, uint32_t parent, const std::u16string& name, uint16_t sequence,
                    uint32_t attributes) {
    RecordBuilder r;
    r.Flags(flags)
        .Sequence(sequence)
        .Resident(kStandardInformationType, Si(attributes))
        .Resident(kFileNameType, Fn(parent, name, 0, attributes));
    return r;
}

RecordBuilder Directory(uint16_t flags, uint32_t parent, const std::u16string& name,
                        uint16_t sequence) {
    return Named(flags, parent, name, sequence, 0x10)
        .Resident(kIndexRootType, std::vector<uint8_t>(32, 0), u"$I30");
}

}  // namespace relicta::test
