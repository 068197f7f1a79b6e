#include "deep/exfat_entry_set_finder.h"

#include <algorithm>

#include "bytes/le_bytes.h"
#include "scan/exfat_entries.h"
#include "volume/exfat_layout.h"

namespace relicta::deep {
namespace {

namespace entry = volume::exfat_entry;

constexpr std::size_t kMaxSetBytes = (entry::MaxSecondaryCount + 1) * entry::Size;
// Attribute bits no File entry sets: above archive, and the one FAT gives volume labels.
constexpr uint16_t kReservedAttributes = 0xFFC8;

bool IsSecondary(uint8_t type) {
    const uint8_t live = entry::LiveType(type);
    return live == entry::StreamExtension || live == entry::FileName;
}

// Whether the File entry at `at` may begin a set that the sector's end cuts off: its
// attributes' reserved bits clear, and its Stream Extension, when the sector holds it, one
// whose name needs no more entries than the set has.
bool MayBeCut(std::span<const uint8_t> sector, std::size_t at, std::size_t count) {
    if ((bytes::U16(sector, at + entry::FileAttributes) & kReservedAttributes) != 0) {
        return false;
    }
    const std::size_t stream = at + entry::Size;
    if (stream >= sector.size()) {
        return true;
    }
    const std::size_t nameLength = sector[stream + entry::NameLength];
    return entry::LiveType(sector[stream]) == entry::StreamExtension && nameLength > 0 &&
           2 + (nameLength + entry::CharsPerNameEntry - 1) / entry::CharsPerNameEntry <= count + 1;
}

// Whether the entries from `at` to `end` may go on with a set a sector before began: what
// follows them begins a set or ends the directory.
bool MayBeHead(std::span<const uint8_t> bytes, std::size_t end) {
    return end < bytes.size() &&
           (entry::LiveType(bytes[end]) == entry::File || bytes[end] == entry::EndOfDirectory);
}

template <typename Io, typename Set>
void SetFields(Io& io, Set& s) {
    io(s.name);
    io(s.dataLength);
    io(s.validDataLength);
    io(s.modifiedTime);
    io(s.createdTimestamp);
    io(s.accessedTimestamp);
    io(s.firstCluster);
    io(s.attributes);
    io(s.utcOffsetMinutes);
    io(s.hasUtcOffset);
    io(s.noFatChain);
    io(s.deleted);
    io(s.entries);
    io(s.endsDirectory);
}

constexpr std::size_t kMinSavedSetBytes = 8 + 4 + 3 * 8 + 3 * 4 + 2 + 2 + 5;

}  // namespace

void ExFatEntrySetFinder::Save(CheckpointWriter& out) const {
    out.Count(sets_.size());
    for (const FoundExFatSet& s : sets_) {
        out(s.offset);
        SetFields(out, s);
    }
    out.Count(rootMarks_.size());
    for (const int64_t mark : rootMarks_) {
        out(mark);
    }
    cuts_.Save(out);
    heads_.Save(out);
    out(readUntil_);
}

bool ExFatEntrySetFinder::Load(CheckpointReader& in) {
    sets_.resize(in.Count(kMinSavedSetBytes, kMaxSets));
    int64_t last = -1;
    for (FoundExFatSet& s : sets_) {
        s.offset = last = in.Offset(last);
        SetFields(in, s);
        if (s.entries < entry::MinSecondaryCount + 1 || s.entries > entry::MaxSecondaryCount + 1) {
            in.Fail();
            break;
        }
    }
    rootMarks_.resize(in.Count(sizeof(int64_t), kMaxMarks));
    last = -1;
    for (int64_t& mark : rootMarks_) {
        mark = last = in.Offset(last);
    }
    cuts_.Load(in, kMaxSets, kMaxSetBytes);
    heads_.Load(in, kMaxSets, kMaxSetBytes);
    in(readUntil_);
    return in.ok();
}

bool FoundExFatSet::IsDirectory() const {
    return (attributes & entry::AttrDirectory) != 0;
}

std::optional<FoundExFatSet> ReadFoundExFatSet(std::span<const uint8_t> bytes, int64_t offset) {
    const std::optional<scan::ExFatFileSet> set = scan::ParseExFatFileSet(bytes, 0);
    if (!set || !set->checksumMatches) {
        return std::nullopt;
    }
    FoundExFatSet found;
    found.name = set->name;
    found.offset = offset;
    found.dataLength = set->dataLength;
    found.validDataLength = set->validDataLength;
    found.modifiedTime = set->ModifiedFileTime();
    found.createdTimestamp = set->createdTimestamp;
    found.accessedTimestamp = set->accessedTimestamp;
    found.firstCluster = set->HasClusters() ? set->firstCluster : 0;
    found.attributes = set->attributes;
    if (const std::optional<int16_t> minutes = set->UtcOffsetMinutes()) {
        found.utcOffsetMinutes = *minutes;
        found.hasUtcOffset = true;
    }
    found.noFatChain = set->NoFatChain();
    found.deleted = set->deleted;
    found.entries = static_cast<uint8_t>(set->entries);
    const std::size_t end = set->entries * entry::Size;
    found.endsDirectory = end < bytes.size() && bytes[end] == entry::EndOfDirectory;
    return found;
}

std::size_t ExFatEntrySetFinder::ReadSet(std::span<const uint8_t> bytes, std::size_t at,
                                         int64_t offset) {
    const std::size_t count = bytes[at + entry::SecondaryCount];
    const std::size_t setBytes = (count + 1) * entry::Size;
    if (count < entry::MinSecondaryCount || count > entry::MaxSecondaryCount ||
        sets_.size() >= kMaxSets) {
        return 0;
    }
    // The entry after the set tells whether the directory ends there.
    const std::size_t seen = std::min(setBytes + entry::Size, bytes.size() - at);
    std::optional<FoundExFatSet> set = at + setBytes <= bytes.size()
                                           ? ReadFoundExFatSet(bytes.subspan(at, seen), offset)
                                           : std::nullopt;
    if (!set) {
        // Its rest may lie in the directory's next cluster, elsewhere on the drive.
        const std::size_t sectorEnd = (at / kSectorBytes + 1) * kSectorBytes;
        if (at + setBytes > sectorEnd && sectorEnd <= bytes.size() &&
            MayBeCut(bytes.subspan(0, sectorEnd), at, count) &&
            sets_.size() + cuts_.Count() < kMaxSets) {
            cuts_.Keep(offset, bytes.subspan(at, std::min(setBytes, bytes.size() - at)));
        }
        return 0;
    }
    sets_.push_back(std::move(*set));
    readUntil_ = offset + static_cast<int64_t>(setBytes);
    return count + 1;
}

void ExFatEntrySetFinder::Feed(const Block& block) {
    const std::span<const uint8_t> bytes = block.bytes;
    const std::size_t starts = std::min(block.starts, bytes.size());
    for (std::size_t at = 0; at < starts && at + entry::Size <= bytes.size(); at += entry::Size) {
        // The type byte alone refuses nearly every slot.
        const uint8_t type = bytes[at];
        const int64_t offset = block.offset + static_cast<int64_t>(at);
        if (entry::LiveType(type) == entry::File) {
            if (const std::size_t taken = ReadSet(bytes, at, offset)) {
                at += (taken - 1) * entry::Size;
            }
        } else if (at % kSectorBytes == 0 && IsSecondary(type) && offset >= readUntil_ &&
                   heads_.Count() < kMaxSets) {
            // A sector that goes on with a set no sector before it began.
            std::size_t end = at;
            while (end < bytes.size() && end - at < kMaxSetBytes && IsSecondary(bytes[end])) {
                end += entry::Size;
            }
            if (MayBeHead(bytes, end)) {
                heads_.Keep(offset, bytes.subspan(at, end - at));
            }
        } else if (type == entry::AllocationBitmap && at + 2 * entry::Size <= bytes.size() &&
                   bytes[at + entry::Size] == entry::UpCaseTable && rootMarks_.size() < kMaxMarks) {
            rootMarks_.push_back(offset);
        }
    }
}

}  // namespace relicta::deep
