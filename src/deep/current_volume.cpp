#include "deep/current_volume.h"

#include <algorithm>

namespace relicta::deep {

bool CurrentVolume::InUse(int64_t offset, uint64_t length) const {
    if (length == 0) {
        return false;
    }
    const int64_t end =
        offset + static_cast<int64_t>(std::min<uint64_t>(length, INT64_MAX - offset));
    // The last stretch that begins before `end`: it or none overlaps.
    auto after = std::lower_bound(used.begin(), used.end(), end,
                                  [](const ByteRange& r, int64_t at) { return r.offset < at; });
    if (after == used.begin()) {
        return false;
    }
    const ByteRange& r = *std::prev(after);
    return r.offset + r.length > offset;
}

std::vector<ByteRange> CurrentVolume::Unused() const {
    std::vector<ByteRange> free;
    int64_t at = 0;
    for (const ByteRange& r : used) {
        if (r.offset > at) {
            free.push_back({at, r.offset - at});
        }
        at = std::max(at, r.offset + r.length);
    }
    if (at < length) {
        free.push_back({at, length - at});
    }
    return free;
}

}  // namespace relicta::deep
