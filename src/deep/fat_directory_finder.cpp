#include "deep/fat_directory_finder.h"

#include <algorithm>
#include <string_view>

#include "bytes/le_bytes.h"
#include "bytes/text.h"
#include "scan/fat_entries.h"
#include "scan/fat_scan.h"
#include "volume/dir_entry_layout.h"

namespace relicta::deep {
namespace {

namespace dir_entry = volume::dir_entry;
namespace long_name = volume::long_name;

constexpr uint32_t kLastFat32Cluster = 0x0FFFFFF6;
// Nothing of the old volume is known here: any cluster number and size an entry may hold.
constexpr scan::EntryLimits kAnyVolume{true, kLastFat32Cluster, UINT32_MAX};

std::span<const uint8_t> Slot(std::span<const uint8_t> slots, std::size_t i) {
    return slots.subspan(i * dir_entry::Size, dir_entry::Size);
}

std::size_t SlotCount(std::span<const uint8_t> slots) {
    return slots.size() / dir_entry::Size;
}

bool IsNameSlot(std::span<const uint8_t> slot) {
    return slot[0] != 0 && slot[dir_entry::Attributes] == dir_entry::AttrLongName;
}

uint32_t FirstClusterOf(std::span<const uint8_t> entry) {
    return uint32_t{bytes::U16(entry, dir_entry::FirstClusterHigh)} << 16 |
           bytes::U16(entry, dir_entry::FirstClusterLow);
}

bool NamedAs(std::span<const uint8_t> entry, std::string_view name) {
    return std::equal(name.begin(), name.end(), entry.begin(),
                      [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
}

bool IsDirectoryEntry(std::span<const uint8_t> entry) {
    const uint8_t wanted = dir_entry::AttrDirectory;
    return (entry[dir_entry::Attributes] & (dir_entry::AttrDirectory | dir_entry::AttrVolumeLabel |
                                            dir_entry::AttrReserved)) == wanted;
}

// Whether a folder's "." and ".." may name these clusters.
bool FolderClustersFit(uint32_t cluster, uint32_t parent) {
    return cluster >= 2 && cluster <= kLastFat32Cluster && parent != 1 && parent != cluster &&
           parent <= kLastFat32Cluster;
}

// "." naming the folder's own cluster, then ".." naming its parent's (0: the root).
std::optional<FoundFatFolder> DotEntries(std::span<const uint8_t> sector, int64_t offset) {
    const std::span<const uint8_t> dot = Slot(sector, 0);
    const std::span<const uint8_t> dotDot = Slot(sector, 1);
    if (!NamedAs(dot, ".          ") || !NamedAs(dotDot, "..         ") || !IsDirectoryEntry(dot) ||
        !IsDirectoryEntry(dotDot)) {
        return std::nullopt;
    }
    const uint32_t cluster = FirstClusterOf(dot);
    const uint32_t parent = FirstClusterOf(dotDot);
    if (!FolderClustersFit(cluster, parent)) {
        return std::nullopt;
    }
    return FoundFatFolder{offset, cluster, parent};
}

bool IsVolumeLabel(std::span<const uint8_t> slot) {
    const uint8_t attributes = slot[dir_entry::Attributes];
    return attributes != dir_entry::AttrLongName &&
           (attributes & (dir_entry::AttrVolumeLabel | dir_entry::AttrDirectory |
                          dir_entry::AttrReserved)) == dir_entry::AttrVolumeLabel &&
           slot[0] > ' ' && slot[0] != dir_entry::Deleted && FirstClusterOf(slot) == 0 &&
           bytes::U32(slot, dir_entry::FileSize) == 0;
}

// Whether a deleted name's slot holds its end: its ordinal is lost, but the slot that ends
// a name holds the terminating zero character (unless the name fills it exactly).
bool HoldsNameEnd(std::span<const uint8_t> slot) {
    return std::any_of(std::begin(long_name::Chars), std::end(long_name::Chars),
                       [slot](std::size_t at) { return bytes::U16(slot, at) == 0; });
}

FoundFatEntry EntryOf(std::span<const uint8_t> entry, std::string name) {
    FoundFatEntry e;
    e.name = bytes::PrintableName(std::move(name));
    const scan::EntryTimes times = scan::ReadEntryTimes(entry);
    e.modifiedTime = times.modified;
    e.createdTime = times.created;
    e.accessedTime = times.accessed;
    e.size = bytes::U32(entry, dir_entry::FileSize);
    e.firstCluster = FirstClusterOf(entry);
    e.attributes = entry[dir_entry::Attributes];
    e.deleted = entry[0] == dir_entry::Deleted;
    return e;
}

template <typename Io, typename Entry>
void EntryFields(Io& io, Entry& e) {
    io(e.name);
    io(e.modifiedTime);
    io(e.createdTime);
    io(e.accessedTime);
    io(e.size);
    io(e.firstCluster);
    io(e.attributes);
    io(e.deleted);
}

constexpr std::size_t kSavedFolderBytes = 8 + 4 + 4;
constexpr std::size_t kSavedSectorBytes = 8 + 4 + 1 + 1;
constexpr std::size_t kMinSavedEntryBytes = 4 + 3 * 8 + 4 + 4 + 1 + 1;
constexpr std::size_t kSlotsPerSector = kSectorBytes / dir_entry::Size;
constexpr uint8_t kSectorFlags = FoundFatSector::kBeginsFolder | FoundFatSector::kBeginsRoot |
                                 FoundFatSector::kEnds | FoundFatSector::kNameHead |
                                 FoundFatSector::kNameTail;

}  // namespace

void FatDirectoryFinder::Save(CheckpointWriter& out) const {
    out.Count(folders_.size());
    for (const FoundFatFolder& f : folders_) {
        out(f.offset);
        out(f.cluster);
        out(f.parentCluster);
    }
    out.Count(sectors_.size());
    for (const FoundFatSector& s : sectors_) {
        out(s.offset);
        out(s.firstEntry);
        out(s.entries);
        out(s.flags);
    }
    out.Count(entries_.size());
    for (const FoundFatEntry& e : entries_) {
        EntryFields(out, e);
    }
    heads_.Save(out);
    tails_.Save(out);
}

bool FatDirectoryFinder::Load(CheckpointReader& in) {
    folders_.resize(in.Count(kSavedFolderBytes, kMaxSectors));
    int64_t last = -1;
    for (FoundFatFolder& f : folders_) {
        f.offset = last = in.Offset(last);
        in(f.cluster);
        in(f.parentCluster);
        if (!FolderClustersFit(f.cluster, f.parentCluster)) {
            in.Fail();
            break;
        }
    }
    sectors_.resize(in.Count(kSavedSectorBytes, kMaxSectors));
    last = -1;
    // A sector's entries follow those of the sectors before it.
    std::size_t entries = 0;
    for (FoundFatSector& s : sectors_) {
        s.offset = last = in.Offset(last);
        in(s.firstEntry);
        in(s.entries);
        in(s.flags);
        if (s.firstEntry != entries || s.entries > kSlotsPerSector ||
            (s.flags & ~kSectorFlags) != 0) {
            in.Fail();
            break;
        }
        entries += s.entries;
    }
    const std::size_t count = in.Count(kMinSavedEntryBytes, kMaxEntries);
    if (count != entries) {
        in.Fail();
    }
    entries_.resize(in.ok() ? count : 0);
    for (FoundFatEntry& e : entries_) {
        EntryFields(in, e);
    }
    heads_.Load(in, kMaxSectors, kSectorBytes);
    tails_.Load(in, kMaxSectors, kSectorBytes);
    return in.ok();
}

bool FoundFatEntry::IsDirectory() const {
    return (attributes & dir_entry::AttrDirectory) != 0;
}

std::optional<std::string> WholeLongName(std::span<const uint8_t> slots, std::size_t index) {
    if (index == 0 || index >= SlotCount(slots) || !IsNameSlot(Slot(slots, index - 1))) {
        return std::nullopt;
    }
    const std::span<const uint8_t> entry = Slot(slots, index);
    const uint8_t checksum = Slot(slots, index - 1)[long_name::Checksum];
    std::size_t first = index;
    bool whole = false;
    while (first > 0 && first + long_name::MaxOrdinal > index) {
        const std::span<const uint8_t> slot = Slot(slots, first - 1);
        if (!IsNameSlot(slot) || slot[long_name::Checksum] != checksum) {
            whole = true;  // another entry's slot: the name began after it
            break;
        }
        --first;
        if (slot[0] != dir_entry::Deleted && (slot[0] & long_name::LastSlot) != 0) {
            whole = true;
            break;
        }
    }
    const std::span<const uint8_t> furthest = Slot(slots, first);
    whole = whole || (furthest[0] == dir_entry::Deleted && HoldsNameEnd(furthest));
    if (!whole || !scan::LongNameChecksumMatches(entry, checksum)) {
        return std::nullopt;
    }
    return scan::LongName(slots, index);
}

void FatDirectoryFinder::ReadSector(std::span<const uint8_t> sector, int64_t offset) {
    FoundFatSector record{offset, static_cast<uint32_t>(entries_.size()), 0, 0};
    std::size_t begin = 0;
    if (const std::optional<FoundFatFolder> folder = DotEntries(sector, offset)) {
        folders_.push_back(*folder);
        record.flags = FoundFatSector::kBeginsFolder;
        begin = 2;
    } else if (IsVolumeLabel(Slot(sector, 0))) {
        record.flags = FoundFatSector::kBeginsRoot;
        begin = 1;
    } else if (!scan::MayBeginDirectoryCluster(Slot(sector, 0), kAnyVolume)) {
        return;
    }
    const std::span<const uint8_t> slots = sector.subspan(begin * dir_entry::Size);
    if (slots[0] != 0 && !scan::CheckDirectoryEntries(slots, kAnyVolume).readsAsEntries) {
        return;  // a folder's "." and ".." are kept all the same
    }
    const std::size_t count = SlotCount(slots);
    for (std::size_t i = 0; i < count && entries_.size() < kMaxEntries; ++i) {
        const std::span<const uint8_t> slot = Slot(slots, i);
        if (slot[0] == 0) {
            record.flags |= FoundFatSector::kEnds;
            break;
        }
        if (slot[dir_entry::Attributes] == dir_entry::AttrLongName) {
            continue;
        }
        std::optional<std::string> name = WholeLongName(slots, i);
        if (!name && record.entries == 0 && begin == 0) {
            record.flags |= FoundFatSector::kNameHead;
            heads_.Keep(offset, slots.first((i + 1) * dir_entry::Size));
        }
        entries_.push_back(EntryOf(slot, name ? std::move(*name) : scan::ShortName(slot)));
        ++record.entries;
    }
    std::size_t tail = 0;
    while (!record.Has(FoundFatSector::kEnds) && tail < count &&
           IsNameSlot(Slot(slots, count - 1 - tail))) {
        ++tail;
    }
    if (tail > 0) {
        record.flags |= FoundFatSector::kNameTail;
        tails_.Keep(offset, slots.last(tail * dir_entry::Size));
    }
    sectors_.push_back(record);
}

void FatDirectoryFinder::Feed(const Block& block) {
    const std::size_t starts = std::min(block.starts, block.bytes.size());
    for (std::size_t at = 0; at < starts && at + kSectorBytes <= block.bytes.size();
         at += kSectorBytes) {
        // Most sectors are refused on two bytes: a free one (zeros) on its first, data on the
        // reserved bits of what would be its first entry's attributes.
        if (block.bytes[at] == 0 ||
            (block.bytes[at + dir_entry::Attributes] & dir_entry::AttrReserved) != 0 ||
            sectors_.size() >= kMaxSectors || folders_.size() >= kMaxSectors) {
            continue;
        }
        ReadSector(block.bytes.subspan(at, kSectorBytes), block.offset + static_cast<int64_t>(at));
    }
}

}  // namespace relicta::deep
