#include "deep/cluster_geometry.h"

#include <algorithm>
#include <iterator>

#include "deep/finder.h"

namespace relicta::deep {

int64_t ClusterGeometry::ClusterAt(int64_t offset) const {
    if (clusterBytes == 0 || offset < heapStart) {
        return 0;
    }
    return kFirstCluster + (offset - heapStart) / int64_t{clusterBytes};
}

uint64_t ClusterGeometry::ClustersFor(uint64_t bytes) const {
    return clusterBytes == 0 ? 0 : bytes / clusterBytes + (bytes % clusterBytes != 0 ? 1 : 0);
}

std::vector<VouchedGeometry> VouchedGeometries(std::span<const FoundBootSector> boots,
                                               BootKind kind, const CurrentVolume& current,
                                               CurrentKind currentKind) {
    std::vector<VouchedGeometry> vouched;
    if (current.kind == currentKind && current.clusterBytes != 0) {
        vouched.push_back({{current.clusterBytes, current.clusterAreaOffset},
                           GeometrySource::CurrentVolume,
                           0,
                           current.length,
                           nullptr});
    }
    for (const FoundBootSector& b : boots) {
        if (b.kind != kind || b.clusterBytes == 0) {
            continue;
        }
        const __int128 bytes = static_cast<__int128>(b.totalSectors) * b.bytesPerSector;
        for (const int64_t start : b.VolumeStarts()) {
            const __int128 end = start + bytes;
            vouched.push_back({{b.clusterBytes, start + b.ClusterAreaOffset()},
                               GeometrySource::BootSector,
                               start,
                               static_cast<int64_t>(std::min<__int128>(end, INT64_MAX)),
                               &b});
        }
    }
    return vouched;
}

void VoteForPlace(std::vector<ClusterGeometry>& votes, int64_t offset, int64_t cluster,
                  uint32_t maxClusterBytes) {
    for (uint32_t bytes = kMinClusterBytes; bytes <= maxClusterBytes; bytes *= 2) {
        votes.push_back({bytes, offset - (cluster - kFirstCluster) * int64_t{bytes}});
    }
}

std::vector<GeometryScore> CountVotes(std::vector<ClusterGeometry> votes) {
    std::sort(votes.begin(), votes.end(), [](const ClusterGeometry& a, const ClusterGeometry& b) {
        return a.clusterBytes != b.clusterBytes ? a.clusterBytes < b.clusterBytes
                                                : a.heapStart < b.heapStart;
    });
    std::vector<GeometryScore> scores;
    for (const ClusterGeometry& g : votes) {
        if (!scores.empty() && scores.back().geometry == g) {
            ++scores.back().votes;
        } else {
            scores.push_back({g, 1});
        }
    }
    return scores;
}

std::optional<ChosenGeometry> ChooseGeometry(std::vector<GeometryScore> scores,
                                             std::span<const VouchedGeometry> vouched,
                                             int64_t driveLength) {
    std::erase_if(scores, [driveLength](const GeometryScore& s) {
        return s.votes == 0 || s.geometry.heapStart < 0 || s.geometry.heapStart >= driveLength;
    });
    std::size_t best = 0;
    for (const GeometryScore& s : scores) {
        best = std::max(best, s.votes);
    }
    if (best == 0) {
        return std::nullopt;
    }
    for (const GeometryScore& s : scores) {
        for (const VouchedGeometry& v : vouched) {
            if (s.votes == best && s.geometry == v.geometry) {
                return ChosenGeometry{v.geometry,  v.source, v.volumeStart,
                                      v.volumeEnd, v.boot,   false};
            }
        }
    }
    if (best < 2) {
        return std::nullopt;
    }
    const auto top = std::find_if(scores.begin(), scores.end(),
                                  [best](const GeometryScore& s) { return s.votes == best; });
    return ChosenGeometry{
        top->geometry, GeometrySource::Inferred, top->geometry.heapStart, driveLength, nullptr,
        false};
}

namespace {

constexpr std::size_t kMaxVolumes = 16;
constexpr std::size_t kNone = SIZE_MAX;

void SetStretches(std::vector<ChosenVolume>& volumes, int64_t rootBytes) {
    for (ChosenVolume& v : volumes) {
        const bool inferred = v.chosen.source == GeometrySource::Inferred;
        v.low = inferred ? v.chosen.geometry.heapStart - rootBytes : v.chosen.volumeStart;
        v.high = v.chosen.volumeEnd;
    }
    for (ChosenVolume& v : volumes) {
        for (const ChosenVolume& other : volumes) {
            if (v.chosen.source == GeometrySource::Inferred && other.low > v.low &&
                other.low < v.high) {
                v.high = other.low;
            }
        }
    }
}

}  // namespace

std::vector<ChosenVolume> ChooseVolumes(const GeometryVoting& voting,
                                        std::span<const VouchedGeometry> vouched,
                                        int64_t driveLength) {
    std::vector<ChosenVolume> volumes;
    std::vector<std::size_t> remaining(voting.voters);
    for (std::size_t i = 0; i < remaining.size(); ++i) {
        remaining[i] = i;
    }
    while (!remaining.empty() && volumes.size() < kMaxVolumes) {
        const std::optional<ChosenGeometry> chosen =
            ChooseGeometry(voting.scores(remaining), vouched, driveLength);
        if (!chosen) {
            break;
        }
        ChosenVolume v;
        v.chosen = *chosen;
        std::erase_if(remaining, [&](std::size_t i) {
            const bool fits = voting.fits(chosen->geometry, i);
            if (fits) {
                v.voters.push_back(i);
            }
            return fits;
        });
        volumes.push_back(std::move(v));
    }
    if (volumes.empty() && voting.anyFound && !vouched.empty()) {
        const VouchedGeometry& g = vouched.front();
        ChosenVolume v;
        v.chosen = {g.geometry, g.source, g.volumeStart, g.volumeEnd, g.boot, true};
        volumes.push_back(std::move(v));
    }
    SetStretches(volumes, voting.rootBytes);
    return volumes;
}

Assignment AssignToVolumes(std::span<const int64_t> offsets, std::span<const ChosenVolume> volumes,
                           const std::function<int64_t(std::size_t voter)>& firstCluster) {
    std::vector<std::size_t> owner(offsets.size(), kNone);
    for (std::size_t v = 0; v < volumes.size(); ++v) {
        const ClusterGeometry& g = volumes[v].chosen.geometry;
        for (const std::size_t voter : volumes[v].voters) {
            const int64_t start = g.OffsetOf(firstCluster(voter));
            for (auto it = std::lower_bound(offsets.begin(), offsets.end(), start);
                 it != offsets.end() && *it < start + int64_t{g.clusterBytes}; ++it) {
                std::size_t& o = owner[static_cast<std::size_t>(it - offsets.begin())];
                o = o == kNone ? v : o;
            }
        }
    }
    Assignment assignment;
    assignment.held.resize(volumes.size());
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        for (std::size_t v = 0; v < volumes.size() && owner[i] == kNone; ++v) {
            if (offsets[i] >= volumes[v].low && offsets[i] < volumes[v].high) {
                owner[i] = v;
            }
        }
        (owner[i] == kNone ? assignment.lost : assignment.held[owner[i]]).push_back(i);
    }
    return assignment;
}

std::vector<OldVolume> KeepVolumes(std::vector<OldVolume> built,
                                   std::span<const ChosenGeometry> geometries,
                                   std::vector<OldEntry> lost, const char* kind,
                                   std::vector<std::string>& notes) {
    std::vector<OldVolume> kept;
    for (std::size_t i = 0; i < built.size() && i < geometries.size(); ++i) {
        if (built[i].entries.empty()) {
            continue;
        }
        if (std::string note = GeometryNote(built[i].kind, geometries[i]); !note.empty()) {
            notes.push_back(std::move(note));
        }
        kept.push_back(std::move(built[i]));
    }
    if (!lost.empty()) {
        if (kept.empty()) {
            OldVolume alone;
            alone.kind = kind;
            alone.geometryInferred = true;
            alone.rootKey = 0;
            kept.push_back(std::move(alone));
        }
        std::move(lost.begin(), lost.end(), std::back_inserter(kept.front().entries));
    }
    return kept;
}

std::string GeometryNote(const char* kind, const ChosenGeometry& chosen) {
    if (chosen.source == GeometrySource::BootSector && !chosen.unconfirmed) {
        return {};
    }
    const std::string at = std::string("The old ") + kind + " volume whose clusters of " +
                           std::to_string(chosen.geometry.clusterBytes) +
                           " bytes begin at sector " +
                           std::to_string(chosen.geometry.heapStart / int64_t{kSectorBytes});
    if (chosen.unconfirmed) {
        return at + ": no folder of it is left to tell its geometry; this one, " +
               (chosen.source == GeometrySource::CurrentVolume ? "the current file system's"
                                                               : "a boot sector's") +
               ", was taken, so where its files' data lies is a guess.";
    }
    if (chosen.source == GeometrySource::CurrentVolume) {
        return at + ": its geometry is the current file system's, where its folders lie.";
    }
    return at + ": its geometry was inferred from where its folders lie.";
}

void PlaceFile(scan::FoundFile& file, const ChosenGeometry& chosen, int64_t first, uint64_t size,
               bool runKnown, const char* emptyCondition, const CurrentVolume& current) {
    const ClusterGeometry& geometry = chosen.geometry;
    file.size = static_cast<int64_t>(std::min<uint64_t>(size, INT64_MAX));
    file.layout = scan::DataLayout::Contiguous;
    if (size == 0) {
        file.condition = emptyCondition;
        file.SetDeep({});
        return;
    }
    const uint64_t clusters = geometry.ClustersFor(size);
    const int64_t offset = geometry.OffsetOf(first);
    file.condition = scan::kHopeless;
    // A damaged entry names clusters past the drive's end: nothing of it can be read.
    file.SetDeep({});
    const uint64_t length = static_cast<uint64_t>(std::max<int64_t>(current.length, 0));
    if (geometry.clusterBytes == 0 || first < kFirstCluster || offset < 0 || size > length ||
        static_cast<uint64_t>(offset) > length - size) {
        return;
    }
    const bool known = (runKnown || clusters == 1) && !chosen.unconfirmed;
    const uint64_t span = clusters * geometry.clusterBytes;
    if (known) {
        file.condition = current.InUse(offset, span) ? scan::kPoor : scan::kGood;
    } else {
        // The format erased the chain: contiguous from the first cluster is a guess.
        file.layout = scan::DataLayout::Guessed;
        file.condition = scan::kPoor;
    }
    scan::DeepLocation where;
    where.extents.push_back({offset, size});
    file.SetDeep(std::move(where));
}

}  // namespace relicta::deep
