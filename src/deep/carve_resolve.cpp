#include "deep/carve_resolve.h"

#include <algorithm>

#include "content/formats/format.h"

namespace relicta::deep {
namespace {

int64_t EndOf(int64_t offset, uint64_t length) {
    return offset + static_cast<int64_t>(std::min<uint64_t>(length, INT64_MAX - offset));
}

content::Family FamilyOf(std::size_t format) {
    const std::span<const content::Format* const> formats = content::CarvedFormats();
    return format < formats.size() ? formats[format]->family : content::Family::Unknown;
}

// Formats whose check ties every byte to the next (a decode, checksums, a chain of frames or
// blocks, a ZIP's entries inflated against their CRCs): another file's bytes inside one would
// have broken it. Other formats hold bytes
// nothing checks (a sound's samples, a video's frames).
bool ChecksEveryByte(std::size_t format) {
    switch (FamilyOf(format)) {
        case content::Family::Jpeg:
        case content::Family::Png:
        case content::Family::Gif:
        case content::Family::Mp3:
        case content::Family::Zip:
            return true;
        default:
            return false;
    }
}

}  // namespace

void ByteSpans::Add(int64_t offset, uint64_t length, std::size_t owner) {
    if (length == 0 || offset < 0) {
        return;
    }
    const int64_t end = EndOf(offset, length);
    int64_t at = offset;
    if (const auto held = Find(at); held != spans_.end()) {
        at = held->second.end;
    }
    while (at < end) {
        const auto next = spans_.lower_bound(at);
        const int64_t stop = next == spans_.end() ? end : std::min(end, next->first);
        if (stop > at) {
            spans_.emplace_hint(next, at, Span{stop, owner});
        }
        if (next == spans_.end() || next->first >= end) {
            break;
        }
        at = next->second.end;
    }
}

std::map<int64_t, ByteSpans::Span>::const_iterator ByteSpans::Find(int64_t offset) const {
    auto it = spans_.upper_bound(offset);
    if (it == spans_.begin()) {
        return spans_.end();
    }
    --it;
    return it->second.end > offset ? it : spans_.end();
}

std::size_t ByteSpans::OwnerOf(int64_t offset) const {
    const auto it = Find(offset);
    return it == spans_.end() ? kNoOwner : it->second.owner;
}

bool ByteSpans::Overlaps(int64_t offset, uint64_t length) const {
    if (length == 0) {
        return false;
    }
    const auto next = spans_.lower_bound(offset);
    return Contains(offset) || (next != spans_.end() && next->first < EndOf(offset, length));
}

bool CarveResolver::IsListed(const CarvedFile& carved) const {
    if (listed_.known.Contains(carved.offset)) {
        return true;
    }
    const std::size_t owner = listed_.guessed.OwnerOf(carved.offset);
    if (owner == ByteSpans::kNoOwner) {
        return false;
    }
    return !carved.accepted || !carved.good || owner >= listed_.guessedFamilies.size() ||
           FamilyOf(carved.format) == listed_.guessedFamilies[owner] ||
           listed_.guessedFamilies[owner] == content::Family::Unknown;
}

CarveResolver::Fate CarveResolver::Take(CarvedFile carved) {
    if (IsListed(carved)) {
        return Fate::Listed;
    }
    if (const std::size_t owner = keptSpans_.OwnerOf(carved.offset); owner != ByteSpans::kNoOwner) {
        // A whole file of another kind where the holder's check cannot see it: the holder
        // more likely ran over it than holds it, so its bytes are not all known to be its own.
        CarvedFile& holder = kept_[owner];
        if (carved.accepted && carved.good && carved.offset > holder.offset &&
            carved.format != holder.format && !ChecksEveryByte(holder.format)) {
            holder.good = false;
        }
        return Fate::Embedded;
    }
    if (!carved.accepted) {
        return Fate::Refused;
    }
    if (carved.good && !ChecksEveryByte(carved.format)) {
        // Over a listed file's bytes: likewise.
        carved.good = std::none_of(carved.extents.begin(), carved.extents.end(),
                                   [&](const scan::DeepExtent& e) {
                                       return listed_.known.Overlaps(e.offset, e.length) ||
                                              listed_.guessed.Overlaps(e.offset, e.length);
                                   });
    }
    for (const scan::DeepExtent& e : carved.extents) {
        keptSpans_.Add(e.offset, e.length, kept_.size());
    }
    kept_.push_back(std::move(carved));
    return Fate::Kept;
}

bool CarveResolver::Decided(int64_t offset, std::size_t format) const {
    if (listed_.known.Contains(offset)) {
        return true;
    }
    if (const std::size_t owner = listed_.guessed.OwnerOf(offset); owner != ByteSpans::kNoOwner) {
        return owner >= listed_.guessedFamilies.size() ||
               listed_.guessedFamilies[owner] == content::Family::Unknown ||
               listed_.guessedFamilies[owner] == FamilyOf(format);
    }
    const std::size_t owner = keptSpans_.OwnerOf(offset);
    if (owner == ByteSpans::kNoOwner) {
        return false;
    }
    const CarvedFile& holder = kept_[owner];
    return !holder.good || holder.format == format || holder.offset == offset ||
           ChecksEveryByte(holder.format);
}

}  // namespace relicta::deep
