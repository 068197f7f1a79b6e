#include "deep/extent_reader.h"

#include <algorithm>

#include "platform/unreadable.h"
#include "volume/vcb.h"

namespace relicta::deep {
namespace {

// `into` whole from `offset` of the drive. On the open volume, reads go around the sectors
// known unreadable and narrow a failed read to the sectors that fail, so a failing disk is not
// asked for them again; either way bytes that could not be read fail the read: what a file
// holds there is unknown, and nothing is decided on zeros put in their place.
bool ReadDrive(platform::Handle drive, int64_t offset, std::span<uint8_t> into) {
    platform::Platform& os = platform::CurrentPlatform();
    if (volume::Vcb != nullptr && volume::Vcb->hVolume == drive) {
        return platform::ReadAroundUnreadable(os, drive, offset, into, volume::Vcb->Unreadable)
            .Whole(into.size());
    }
    for (std::size_t got = 0; got < into.size();) {
        std::size_t n = 0;
        if (!os.ReadAt(drive, offset + static_cast<int64_t>(got), into.subspan(got), n) || n == 0) {
            return false;  // unreadable, or the drive ends first
        }
        got += n;
    }
    return true;
}

}  // namespace

ExtentReader::ExtentReader(platform::Handle drive, std::vector<scan::DeepExtent> extents,
                           uint64_t size)
    : drive_(drive), extents_(std::move(extents)), size_(size) {
    starts_.reserve(extents_.size());
    uint64_t at = 0;
    for (const scan::DeepExtent& e : extents_) {
        starts_.push_back(at);
        // Saturating: extents past 2^64 bytes would only be read as far as `size_`.
        at = e.length > UINT64_MAX - at ? UINT64_MAX : at + e.length;
    }
}

bool ExtentReader::Read(uint64_t offset, std::span<uint8_t> out) {
    if (offset > size_ || out.size() > size_ - offset) {
        return false;
    }
    std::size_t done = 0;
    auto next = std::upper_bound(starts_.begin(), starts_.end(), offset);
    for (std::size_t i = static_cast<std::size_t>(next - starts_.begin());
         done < out.size() && i > 0 && i <= extents_.size(); ++i) {
        const scan::DeepExtent& e = extents_[i - 1];
        if (e.length == 0) {
            continue;
        }
        const uint64_t at = offset + done;
        const uint64_t inside = at - starts_[i - 1];
        if (inside >= e.length) {
            return false;  // the extents end before the file does
        }
        const std::span<uint8_t> into = out.subspan(
            done,
            static_cast<std::size_t>(std::min<uint64_t>(e.length - inside, out.size() - done)));
        if (e.offset == scan::DeepExtent::kZeros) {
            std::fill(into.begin(), into.end(), 0);
        } else {
            if (e.offset < 0 || inside > static_cast<uint64_t>(INT64_MAX - e.offset)) {
                return false;
            }
            if (!ReadDrive(drive_, e.offset + static_cast<int64_t>(inside), into)) {
                return false;
            }
        }
        done += into.size();
    }
    return done == out.size();
}

bool ExtentReader::Locate(std::size_t n, std::vector<content::StoredRange>& ranges) {
    ranges.clear();
    if (n > size_) {
        return false;
    }
    uint64_t at = 0;
    for (std::size_t i = 0; i < extents_.size() && at < n; ++i) {
        const scan::DeepExtent& e = extents_[i];
        const uint64_t take = std::min<uint64_t>(e.length, n - at);
        if (take > 0) {
            ranges.push_back(
                {e.offset == scan::DeepExtent::kZeros ? content::StoredRange::kZeros : e.offset,
                 take});
        }
        at += take;
    }
    return at == n;
}

}  // namespace relicta::deep
