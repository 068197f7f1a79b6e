#pragma once
// Reading `relicta drives` lines and `fsstat` reports, to compare the two.

#include <cstdint>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/paths.h"

namespace relicta::test {

struct Geometry {
    std::string type;  // FAT12, FAT16, FAT32, exFAT or NTFS
    uint64_t clusterSize = 0;
    uint64_t clusters = 0;
    uint64_t recordSize = 0;  // NTFS
    uint64_t mftCluster = 0;  // NTFS
};

struct DriveLine {
    char letter = 0;
    uint64_t offset = 0;
    std::string fsName;
    std::optional<Geometry> geometry;  // nullopt when refused or not opened
};

inline std::vector<DriveLine> ParseDrives(const std::string& out) {
    static const std::regex line(
        R"(^([A-Z]):  (.*?)(?: partition \d+ \(offset (\d+), \d+ bytes\))?  (\w+)  (\S+)  (.*)$)");
    static const std::regex geometry(
        R"(^(FAT12|FAT16|FAT32|exFAT|NTFS), \d+-byte sectors, (\d+)-byte clusters, (\d+) clusters(?:, MFT at cluster (\d+), (\d+)-byte MFT records)?)");
    std::vector<DriveLine> drives;
    std::istringstream in(out);
    std::string text;
    while (std::getline(in, text)) {
        std::smatch m;
        if (!std::regex_match(text, m, line)) {
            continue;
        }
        DriveLine d;
        d.letter = m[1].str()[0];
        d.offset = m[3].matched ? std::stoull(m[3]) : 0;
        d.fsName = m[5];
        const std::string decision = m[6];
        std::smatch g;
        if (std::regex_search(decision, g, geometry)) {
            Geometry geo;
            geo.type = g[1];
            geo.clusterSize = std::stoull(g[2]);
            geo.clusters = std::stoull(g[3]);
            if (g[4].matched) {
                geo.mftCluster = std::stoull(g[4]);
                geo.recordSize = std::stoull(g[5]);
            }
            d.geometry = geo;
        }
        drives.push_back(d);
    }
    return drives;
}

// What fsstat of The Sleuth Kit reports for the volume at `offsetBytes`.
inline std::optional<Geometry> FsstatGeometry(const std::string& image, uint64_t offsetBytes) {
    const CommandResult r =
        RunCommand("fsstat -o " + std::to_string(offsetBytes / 512) + " '" + image + "'");
    if (r.status != 0) {
        return std::nullopt;
    }
    Geometry g;
    std::smatch m;
    static const std::regex type(R"(File System Type: (FAT12|FAT16|FAT32|NTFS))");
    static const std::regex clusterSize(R"(Cluster Size: (\d+))");
    static const std::regex range(R"(Total Cluster Range: (\d+) - (\d+))");
    static const std::regex record(R"(Size of MFT Entries: (\d+) bytes)");
    static const std::regex mft(R"(First Cluster of MFT: (\d+))");
    if (!std::regex_search(r.out, m, type))
        return std::nullopt;
    g.type = m[1];
    if (std::regex_search(r.out, m, clusterSize))
        g.clusterSize = std::stoull(m[1]);
    if (std::regex_search(r.out, m, range))
        g.clusters = std::stoull(m[2]) - std::stoull(m[1]) + 1;
    if (std::regex_search(r.out, m, record))
        g.recordSize = std::stoull(m[1]);
    if (std::regex_search(r.out, m, mft))
        g.mftCluster = std::stoull(m[1]);
    return g;
}

inline bool operator==(const Geometry& a, const Geometry& b) {
    return a.type == b.type && a.clusterSize == b.clusterSize && a.clusters == b.clusters &&
           a.recordSize == b.recordSize && a.mftCluster == b.mftCluster;
}

inline std::ostream& operator<<(std::ostream& out, const Geometry& g) {
    return out << g.type << " cluster " << g.clusterSize << " x " << g.clusters << " record "
               << g.recordSize << " mft@" << g.mftCluster;
}

}  // namespace relicta::test
