#include "deep/bifragment.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <utility>

#include "deep/bifragment_search.h"

namespace relicta::deep {
namespace bifragment {

// The break shows at or after where the foreign bytes begin: the first piece is tried ending
// at the break's block and this many blocks before it.
constexpr int64_t kBackBlocks = 8;
// Places a checksummed stretch (a PNG chunk, a stored ZIP entry) is tried split at, and how
// far the one read for its running CRCs goes.
constexpr int64_t kMaxSplitPoints = int64_t{1} << 20;
constexpr int64_t kMaxCrcStreamBytes = int64_t{512} << 20;

Search::Search(platform::Handle drive, const content::Format& format, const GapSearch& in,
               const WholeCheck& whole)
    : in_(in),
      format_(format),
      whole_(whole),
      drive_(drive),
      disk_(drive, {{0, static_cast<uint64_t>(in.driveLength)}},
            static_cast<uint64_t>(in.driveLength)) {}

uint64_t Search::MaxBytes() const {
    return format_.maxBytes != 0 ? format_.maxBytes : UINT64_MAX;
}

int64_t Search::Floor(int64_t at) const {
    const int64_t from = at - in_.blockOrigin;
    const int64_t blocks = from >= 0 ? from / Block() : -((-from + Block() - 1) / Block());
    return in_.blockOrigin + blocks * Block();
}

int64_t Search::Ceil(int64_t at) const {
    const int64_t floor = Floor(at);
    return floor == at ? at : floor + Block();
}

bool Search::MayHold(int64_t at) const {
    return at >= 0 && at < in_.driveLength && (!in_.mayHold || in_.mayHold(at));
}

std::span<const uint8_t> Search::Bytes(int64_t at, std::size_t n, std::vector<uint8_t>& into) {
    if (at < 0 || at >= in_.driveLength) {
        return {};
    }
    into.resize(static_cast<std::size_t>(std::min<uint64_t>(n, in_.driveLength - at)));
    return disk_.Read(static_cast<uint64_t>(at), into) ? std::span<const uint8_t>(into)
                                                       : std::span<const uint8_t>();
}

bool Search::Holds(int64_t at, std::string_view text) {
    const std::span<const uint8_t> b = Bytes(at, text.size(), scratch_);
    return b.size() == text.size() && std::memcmp(b.data(), text.data(), text.size()) == 0;
}

std::optional<uint32_t> Search::Crc(int64_t from, int64_t to, uint32_t crc) {
    for (int64_t at = from; at < to;) {
        const auto n = static_cast<std::size_t>(std::min<int64_t>(kStreamBytes, to - at));
        const std::span<const uint8_t> b = Bytes(at, n, stream_);
        if (b.size() != n) {
            return std::nullopt;
        }
        crc = static_cast<uint32_t>(crc32(crc, b.data(), static_cast<uInt>(n)));
        at += static_cast<int64_t>(n);
    }
    return crc;
}

ExtentReader Search::Joined(int64_t e1, int64_t s2, uint64_t size) const {
    const auto first = static_cast<uint64_t>(e1 - in_.start);
    return ExtentReader(drive_, {{in_.start, first}, {s2, size - std::min(size, first)}}, size);
}

std::optional<Pieces> Search::Try(int64_t e1, int64_t s2) {
    if (e1 <= in_.start || s2 <= e1 || s2 - e1 > GapLimit() || !MayHold(s2) || Spent()) {
        return std::nullopt;
    }
    const auto first = static_cast<uint64_t>(e1 - in_.start);
    const auto room = static_cast<uint64_t>(in_.driveLength - s2);
    uint64_t size = 0;
    if (in_.knownSize) {
        size = *in_.knownSize;
        if (size <= first || size - first > room ||
            !MayHold(Floor(s2 + static_cast<int64_t>(size - first) - 1))) {
            return std::nullopt;
        }
    } else {
        const uint64_t most = std::min(MaxBytes(), first + room);
        if (most <= first) {
            return std::nullopt;
        }
        ExtentReader joined = Joined(e1, s2, most);
        content::Window window(joined, window_);
        ++endWalks_;
        const content::FileEnd end = format_.FindEnd(window);
        if (!end.found || end.end <= first || end.end > most) {
            return std::nullopt;
        }
        size = end.end;
    }
    ++wholeChecks_;
    ExtentReader exact = Joined(e1, s2, size);
    if (!whole_(exact)) {
        return std::nullopt;
    }
    return Pieces{{in_.start, first}, {s2, size - first}};
}

std::optional<int64_t> FirstBlockWhere(
    Search& s, int64_t from, int64_t to,
    const std::function<bool(std::span<const uint8_t>)>& foreign) {
    std::vector<uint8_t> buffer;
    const auto n = static_cast<std::size_t>(std::min<int64_t>(s.Block(), kQuickBytes));
    for (int64_t at = s.Ceil(from); at + s.Block() <= to; at += s.Block()) {
        const std::span<const uint8_t> b = s.Bytes(at, n, buffer);
        if (b.size() == n && foreign(b)) {
            return at;
        }
    }
    return std::nullopt;
}

bool AllZero(std::span<const uint8_t> bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t c) { return c == 0; });
}

namespace {

// The running CRC of the drive from `from` at each of `points` (past `from`, in any order),
// from one read of the drive.
std::optional<std::vector<uint32_t>> RunningCrcs(Search& s, int64_t from,
                                                 const std::vector<int64_t>& points) {
    std::vector<std::size_t> order(points.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&points](std::size_t a, std::size_t b) { return points[a] < points[b]; });
    std::vector<uint32_t> crcs(points.size());
    uint32_t crc = 0;
    int64_t at = from;
    for (const std::size_t i : order) {
        const std::optional<uint32_t> next = s.Crc(at, points[i], crc);
        if (!next) {
            return std::nullopt;
        }
        crc = *next;
        at = points[i];
        crcs[i] = crc;
    }
    return crcs;
}

}  // namespace

// Each CRC is put together from running CRCs of one read of the drive, so that a split costs a
// few table operations, not a read.
std::vector<Split> CrcSplits(Search& s, const CrcStretch& stretch, const std::vector<int64_t>& gaps,
                             const std::function<std::optional<uint32_t>(int64_t gap)>& expected) {
    const int64_t first = s.Ceil(std::max(stretch.lo, stretch.from));
    const int64_t last = std::min(stretch.hi, stretch.to);
    std::vector<int64_t> reached;  // the gaps whose moved stretch the one read reaches
    for (const int64_t gap : gaps) {
        if (stretch.to + gap - stretch.from <= kMaxCrcStreamBytes) {
            reached.push_back(gap);
        }
    }
    if (reached.empty() || first > last || (last - first) / s.Block() >= kMaxSplitPoints) {
        return {};
    }
    const int64_t ends = (last - first) / s.Block() + 1;
    const int64_t widest = reached.back() / s.Block();
    // Block boundaries from the first end to the last one's second piece, then the stretch's
    // end moved by each gap.
    std::vector<int64_t> points;
    points.reserve(static_cast<std::size_t>(ends + widest) + reached.size());
    for (int64_t i = 0; i < ends + widest; ++i) {
        points.push_back(first + i * s.Block());
    }
    const std::size_t moved = points.size();
    for (const int64_t gap : reached) {
        points.push_back(stretch.to + gap);
    }
    const std::optional<std::vector<uint32_t>> running = RunningCrcs(s, stretch.from, points);
    if (!running) {
        return {};
    }
    const std::vector<uint32_t>& at = *running;
    std::vector<uLong> ops(static_cast<std::size_t>(ends));
    for (int64_t i = 0; i < ends; ++i) {
        ops[static_cast<std::size_t>(i)] = crc32_combine_gen(stretch.to - (first + i * s.Block()));
    }
    std::vector<Split> splits;
    for (std::size_t g = 0; g < reached.size(); ++g) {
        const std::optional<uint32_t> want = expected(reached[g]);
        if (!want) {
            continue;
        }
        const uint32_t whole = at[moved + g];  // from `from` to the moved end
        const int64_t shift = reached[g] / s.Block();
        for (int64_t i = 0; i < ends; ++i) {
            const uLong op = ops[static_cast<std::size_t>(i)];
            const uint32_t head = at[static_cast<std::size_t>(i)];
            const uint32_t skipped = at[static_cast<std::size_t>(i + shift)];
            // The CRC of the second piece's part: what runs from the gap's end to the moved end.
            const auto tail = static_cast<uint32_t>(whole ^ crc32_combine_op(skipped, 0, op));
            if (crc32_combine_op(head, tail, op) == *want) {
                splits.push_back({first + i * s.Block(), reached[g]});
            }
        }
    }
    return splits;
}

std::vector<int64_t> EndsBeforeBreak(const Search& s, int64_t floor) {
    std::vector<int64_t> ends;
    for (int64_t i = 0, e1 = s.Floor(s.In().breakAt); i <= kBackBlocks; ++i, e1 -= s.Block()) {
        if (e1 <= s.In().start || e1 < floor) {
            break;
        }
        ends.push_back(e1);
    }
    return ends;
}

// Gaps from the smallest, every end near the break. The format tells nothing between the
// pieces, so a split is taken only when no other one tried checks out too.
std::optional<Pieces> SearchLoosely(Search& s) {
    const std::vector<int64_t> ends = EndsBeforeBreak(s, s.In().start + 1);
    std::optional<Pieces> found;
    int tries = 0;
    for (int64_t gap = s.Block(); gap <= s.GapLimit(); gap += s.Block()) {
        for (const int64_t e1 : ends) {
            if (!s.MayHold(e1 + gap)) {
                continue;
            }
            if (++tries > kMaxLooseTries || s.Spent()) {
                return found;
            }
            if (std::optional<Pieces> pieces = s.Try(e1, e1 + gap)) {
                if (found) {
                    return std::nullopt;  // two ways to put it together: neither is sure
                }
                found = std::move(pieces);
            }
        }
    }
    return found;
}

}  // namespace bifragment

std::optional<std::vector<scan::DeepExtent>> ReassembleTwoFragments(platform::Handle drive,
                                                                    const content::Format& format,
                                                                    const GapSearch& search,
                                                                    const WholeCheck& whole) {
    if (search.blockBytes == 0 || search.start < 0 || search.breakAt <= search.start ||
        search.driveLength <= search.start || format.FindEnd == nullptr || !whole) {
        return std::nullopt;
    }
    GapSearch bounded = search;
    bounded.breakAt = std::min(search.breakAt, search.driveLength);
    bifragment::Search s(drive, format, bounded, whole);
    switch (format.family) {
        case content::Family::Jpeg:
            return bifragment::SearchJpeg(s);
        case content::Family::Png:
            return bifragment::SearchPng(s);
        case content::Family::Zip:
            return bifragment::SearchZip(s);
        case content::Family::Text:
        case content::Family::Unknown:
            return std::nullopt;  // nothing in plain text tells where its pieces meet
        default:
            return bifragment::SearchLoosely(s);
    }
}

}  // namespace relicta::deep
