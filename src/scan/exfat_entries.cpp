#include "scan/exfat_entries.h"

#include <algorithm>
#include <array>

#include "bytes/text.h"
#include "volume/exfat_boot.h"
#include "volume/exfat_layout.h"
#include "volume/filetime.h"

namespace relicta::scan {
namespace {

namespace entry = volume::exfat_entry;
using bytes::Bytes;

constexpr uint64_t kTicksPer10ms = volume::kFileTimeTicksPerSecond / 100;
constexpr uint8_t kMax10msIncrement = 199;
constexpr uint8_t kUtcOffsetSignBit = 0x40;
constexpr int kUtcOffsetRange = 0x80;
constexpr std::array<uint8_t, 5> kBenignTypes = {entry::VolumeGuid, 0xA1, 0xA2,
                                                 entry::VendorExtension, entry::VendorAllocation};

uint8_t TypeAt(Bytes dir, std::size_t index) {
    return bytes::U8(dir, index * entry::Size);
}

bool IsNameCharacter(char16_t c) {
    constexpr std::u16string_view kForbidden = u"\"*/:<>?\\|";
    return c >= 0x20 && kForbidden.find(c) == std::u16string_view::npos;
}

// The name the File Name entries from `first` spell, or nullopt.
std::optional<std::u16string> ReadName(Bytes dir, std::size_t first, std::size_t length) {
    std::u16string name;
    name.reserve(length);
    for (std::size_t k = 0; name.size() < length; ++k) {
        const std::size_t at = (first + k) * entry::Size;
        if (!bytes::InBounds(dir, at, entry::Size) ||
            entry::LiveType(TypeAt(dir, first + k)) != entry::FileName) {
            return std::nullopt;
        }
        for (std::size_t c = 0; c < entry::CharsPerNameEntry && name.size() < length; ++c) {
            const char16_t ch =
                static_cast<char16_t>(bytes::U16(dir, at + entry::FileNameChars + 2 * c));
            if (!IsNameCharacter(ch)) {
                return std::nullopt;
            }
            name.push_back(ch);
        }
    }
    return name;
}

// The set checksum over the entries the secondary count names, each with its in-use bit
// set (deletion clears it without rewriting the checksum).
bool ChecksumMatches(Bytes dir, std::size_t index, std::size_t count) {
    std::array<uint8_t, (entry::MaxSecondaryCount + 1) * entry::Size> set{};
    const std::size_t bytes = (count + 1) * entry::Size;
    if (count > entry::MaxSecondaryCount || !bytes::InBounds(dir, index * entry::Size, bytes)) {
        return false;
    }
    std::copy_n(dir.begin() + static_cast<std::ptrdiff_t>(index * entry::Size), bytes, set.begin());
    for (std::size_t e = 0; e <= count; ++e) {
        set[e * entry::Size] = entry::LiveType(set[e * entry::Size]);
    }
    const uint16_t stored = bytes::U16(dir, index * entry::Size + entry::SetChecksum);
    return volume::ExFatSetChecksum(Bytes(set).first(bytes)) == stored;
}

}  // namespace

bool ExFatFileSet::IsDirectory() const {
    return (attributes & entry::AttrDirectory) != 0;
}

bool ExFatFileSet::NoFatChain() const {
    return (streamFlags & entry::NoFatChain) != 0;
}

bool ExFatFileSet::HasClusters() const {
    return (streamFlags & entry::AllocationPossible) != 0 && firstCluster != 0;
}

uint64_t ExFatFileSet::ModifiedFileTime() const {
    const uint64_t base = volume::FileTimeFromDos(static_cast<uint16_t>(modifiedTimestamp >> 16),
                                                  static_cast<uint16_t>(modifiedTimestamp));
    return base + std::min(modified10ms, kMax10msIncrement) * kTicksPer10ms;
}

std::optional<int16_t> ExFatFileSet::UtcOffsetMinutes() const {
    if ((modifiedUtcOffset & entry::UtcOffsetValid) == 0) {
        return std::nullopt;
    }
    int steps = modifiedUtcOffset & (entry::UtcOffsetValid - 1);
    if ((steps & kUtcOffsetSignBit) != 0) {
        steps -= kUtcOffsetRange;
    }
    return static_cast<int16_t>(steps * entry::UtcOffsetMinutesPerStep);
}

bool IsKnownExFatEntryType(uint8_t type) {
    const uint8_t live = entry::LiveType(type);
    return live == entry::AllocationBitmap || live == entry::UpCaseTable ||
           live == entry::VolumeLabel || live == entry::File || live == entry::StreamExtension ||
           live == entry::FileName ||
           std::find(kBenignTypes.begin(), kBenignTypes.end(), live) != kBenignTypes.end();
}

std::optional<ExFatFileSet> ParseExFatFileSet(Bytes dir, std::size_t index) {
    const std::size_t file = index * entry::Size;
    const std::size_t stream = file + entry::Size;
    if (!bytes::InBounds(dir, file, 2 * entry::Size) ||
        entry::LiveType(TypeAt(dir, index)) != entry::File ||
        entry::LiveType(TypeAt(dir, index + 1)) != entry::StreamExtension) {
        return std::nullopt;
    }
    ExFatFileSet set;
    set.deleted = (TypeAt(dir, index) & entry::InUse) == 0;
    set.streamFlags = bytes::U8(dir, stream + entry::GeneralSecondaryFlags);
    set.validDataLength = bytes::U64(dir, stream + entry::ValidDataLength);
    set.dataLength = bytes::U64(dir, stream + entry::DataLength);
    set.firstCluster = bytes::U32(dir, stream + entry::FirstCluster);
    const std::size_t nameLength = bytes::U8(dir, stream + entry::NameLength);
    if (nameLength == 0 || set.validDataLength > set.dataLength) {
        return std::nullopt;
    }
    const std::optional<std::u16string> name = ReadName(dir, index + 2, nameLength);
    if (!name) {
        return std::nullopt;
    }
    set.name = bytes::Utf8FromUtf16(*name);
    set.attributes = bytes::U16(dir, file + entry::FileAttributes);
    set.modifiedTimestamp = bytes::U32(dir, file + entry::LastModifiedTimestamp);
    set.createdTimestamp = bytes::U32(dir, file + entry::CreateTimestamp);
    set.accessedTimestamp = bytes::U32(dir, file + entry::LastAccessedTimestamp);
    set.modified10ms = bytes::U8(dir, file + entry::LastModified10msIncrement);
    set.modifiedUtcOffset = bytes::U8(dir, file + entry::LastModifiedUtcOffset);

    const std::size_t needed =
        2 + (nameLength + entry::CharsPerNameEntry - 1) / entry::CharsPerNameEntry;
    const std::size_t count = bytes::U8(dir, file + entry::SecondaryCount);
    set.checksumMatches = count + 1 >= needed && ChecksumMatches(dir, index, count);
    // Further secondaries (vendor extensions) belong to the set when the checksum says so.
    set.entries = set.checksumMatches ? count + 1 : needed;
    return set;
}

}  // namespace relicta::scan
