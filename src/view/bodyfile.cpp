#include "view/bodyfile.h"

#include <algorithm>

#include "view/saved_list.h"
#include "volume/filetime.h"

namespace relicta::view {
namespace {

// Unix seconds of a local FILETIME; 0 for none.
int64_t UnixSeconds(uint64_t localFileTime) {
    if (localFileTime == 0) {
        return 0;
    }
    const uint64_t utc = volume::UtcFileTimeFromLocal(localFileTime);
    return std::max<int64_t>(0, static_cast<int64_t>(utc / volume::kFileTimeTicksPerSecond) -
                                    volume::kUnixEpochInFileTimeSeconds);
}

}  // namespace

std::string BodyfileLine(const scan::FoundFile& file) {
    // The bodyfile has no quoting: a "|" in a damaged name would shift every field after it.
    std::string path = FullPath(file) + " (deleted)";
    std::replace(path.begin(), path.end(), '|', '_');
    const bool readOnly = (file.attributes & scan::kAttributeReadOnly) != 0;
    const std::string& md5 = file.Notes().md5;
    return (md5.empty() ? std::string("0") : md5) + '|' + path + '|' +
           std::to_string(file.mftOrCluster) + '|' + (readOnly ? "r/rr-xr-xr-x" : "r/rrwxrwxrwx") +
           "|0|0|" + std::to_string(std::max<int64_t>(file.size, 0)) + '|' +
           std::to_string(UnixSeconds(file.accessedTime)) + '|' +
           std::to_string(UnixSeconds(file.modifiedTime)) + '|' +
           std::to_string(UnixSeconds(file.changedTime)) + '|' +
           std::to_string(UnixSeconds(file.createdTime));
}

bool WriteBodyfile(std::ostream& out, const ItemList& items) {
    for (uint32_t item : items) {
        out << BodyfileLine(scan::foundFiles.at(item)) << '\n';
    }
    return static_cast<bool>(out.flush());
}

}  // namespace relicta::view
