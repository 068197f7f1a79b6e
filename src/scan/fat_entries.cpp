#include "scan/fat_entries.h"

#include <string_view>

#include "volume/dir_entry_layout.h"
#include "bytes/le_bytes.h"

namespace relicta::scan {
namespace {

namespace dir_entry = volume::dir_entry;
namespace long_name = volume::long_name;

constexpr std::size_t kShortNameBytes = dir_entry::NameBytes + dir_entry::ExtensionBytes;
constexpr uint8_t kValidAttributes = 0x3F;
constexpr uint8_t kMaxCreate10ms = 199;

uint8_t RotateRight(uint8_t sum) {
    return static_cast<uint8_t>(((sum & 1) << 7) | (sum >> 1));
}
uint8_t RotateLeft(uint8_t sum) {
    return static_cast<uint8_t>((sum << 1) | (sum >> 7));
}

// What FAT allows in a stored short name: upper-case letters, digits, these marks, and
// any byte of the OEM code page's upper half.
bool IsShortNameByte(uint8_t c) {
    if (c >= 0x80 || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ') {
        return true;
    }
    for (const char allowed : std::string_view("!#$%&'()-@^_`{}~")) {
        if (c == static_cast<uint8_t>(allowed)) {
            return true;
        }
    }
    return false;
}

bool ValidName(std::span<const uint8_t> entry) {
    const uint8_t first = entry[0];
    if (first == ' ' || (first != dir_entry::Deleted && first != dir_entry::StandsForE5 &&
                         !IsShortNameByte(first))) {
        return false;
    }
    for (std::size_t i = 1; i < kShortNameBytes; ++i) {
        if (!IsShortNameByte(entry[i])) {
            return false;
        }
    }
    return true;
}

bool ValidDate(uint16_t date) {
    const int month = (date >> 5) & 0x0F;
    const int day = date & 0x1F;
    return date == 0 || (month >= 1 && month <= 12 && day >= 1);
}
bool ValidTime(uint16_t time) {
    return (time >> 11) < 24 && ((time >> 5) & 0x3F) < 60 && (time & 0x1F) < 30;
}

bool ValidShortEntry(std::span<const uint8_t> entry, const EntryLimits& limits) {
    const uint8_t attributes = entry[dir_entry::Attributes];
    if (!ValidName(entry) || (attributes & ~kValidAttributes) != 0 ||
        (attributes & dir_entry::AttrVolumeLabel) != 0 || entry[0] == '.' ||
        entry[dir_entry::CreateTime10ms] > kMaxCreate10ms) {
        return false;
    }
    if (!ValidDate(bytes::U16(entry, dir_entry::WriteDate)) ||
        !ValidTime(bytes::U16(entry, dir_entry::WriteTime)) ||
        !ValidDate(bytes::U16(entry, dir_entry::CreateDate)) ||
        !ValidTime(bytes::U16(entry, dir_entry::CreateTime))) {
        return false;
    }
    const uint32_t high = bytes::U16(entry, dir_entry::FirstClusterHigh);
    if (!limits.fat32 && high != 0) {
        return false;
    }
    const int64_t first = (int64_t{high} << 16) | bytes::U16(entry, dir_entry::FirstClusterLow);
    const uint32_t size = bytes::U32(entry, dir_entry::FileSize);
    if ((first != 0 && (first < 2 || first > limits.lastCluster)) || size > limits.volumeBytes) {
        return false;
    }
    const bool directory = (attributes & dir_entry::AttrDirectory) != 0;
    return directory ? size == 0 && first != 0 : (size == 0 || first != 0);
}

bool ValidNameSlot(std::span<const uint8_t> slot) {
    const uint8_t ordinal = slot[long_name::Ordinal];
    if (slot[long_name::Type] != 0 || bytes::U16(slot, long_name::FirstClusterLow) != 0) {
        return false;
    }
    if (ordinal == dir_entry::Deleted) {
        return true;
    }
    const uint8_t number = ordinal & long_name::OrdinalMask;
    return (ordinal & ~(long_name::OrdinalMask | long_name::LastSlot)) == 0 && number >= 1 &&
           number <= long_name::MaxOrdinal;
}

}  // namespace

bool LongNameChecksumMatches(std::span<const uint8_t> entry, uint8_t checksum) {
    if (entry[0] != dir_entry::Deleted) {
        return ShortNameChecksum(entry) == checksum;
    }
    const uint8_t lost = LostFirstByte(entry, checksum);
    return lost != ' ' && IsShortNameByte(lost);
}

uint8_t ShortNameChecksum(std::span<const uint8_t> entry) {
    uint8_t sum = 0;
    for (std::size_t i = 0; i < kShortNameBytes; ++i) {
        sum = static_cast<uint8_t>(RotateRight(sum) + entry[i]);
    }
    return sum;
}

uint8_t LostFirstByte(std::span<const uint8_t> entry, uint8_t checksum) {
    // Each step of the checksum is a bijection: undo the steps of bytes 10 down to 1.
    uint8_t sum = checksum;
    for (std::size_t i = kShortNameBytes; i-- > 1;) {
        sum = RotateLeft(static_cast<uint8_t>(sum - entry[i]));
    }
    return sum;
}

bool MayBeginDirectoryCluster(std::span<const uint8_t> slot, const EntryLimits& limits) {
    if (slot.size() < dir_entry::Size) {
        return false;
    }
    return slot[dir_entry::Attributes] == dir_entry::AttrLongName
               ? ValidNameSlot(slot)
               : ValidShortEntry(slot.first(dir_entry::Size), limits);
}

EntriesCheck CheckDirectoryEntries(std::span<const uint8_t> cluster, const EntryLimits& limits) {
    EntriesCheck check;
    constexpr int kNoName = -1;
    int nameChecksum = kNoName;  // of the long-name slots in front of this one
    const std::size_t slots = cluster.size() / dir_entry::Size;
    for (std::size_t i = 0; i < slots; ++i) {
        const std::span<const uint8_t> slot = cluster.subspan(i * dir_entry::Size, dir_entry::Size);
        if (slot[0] == 0) {
            break;
        }
        if (slot[dir_entry::Attributes] == dir_entry::AttrLongName) {
            const uint8_t checksum = slot[long_name::Checksum];
            if (!ValidNameSlot(slot) || (nameChecksum != kNoName && nameChecksum != checksum)) {
                return {};
            }
            nameChecksum = checksum;
            continue;
        }
        if (!ValidShortEntry(slot, limits) ||
            (nameChecksum != kNoName &&
             !LongNameChecksumMatches(slot, static_cast<uint8_t>(nameChecksum)))) {
            return {};
        }
        nameChecksum = kNoName;
        ++check.shortEntries;
        const int64_t first = (int64_t{bytes::U16(slot, dir_entry::FirstClusterHigh)} << 16) |
                              bytes::U16(slot, dir_entry::FirstClusterLow);
        if (check.firstDataCluster == 0 && first != 0) {
            check.firstDataCluster = first;
        }
    }
    check.readsAsEntries = check.shortEntries > 0;
    return check;
}

}  // namespace relicta::scan
