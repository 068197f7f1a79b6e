#include "recover/recovered_names.h"

namespace relicta::recover {
namespace {
constexpr char kReplacement = '_';
constexpr char kLostLetter = '?';
constexpr char kLostLetterStandIn = '~';
constexpr std::size_t kDrivePrefix = 3;  // "C:\"
}  // namespace

std::string SafeFileName(std::string name) {
    for (char& c : name) {
        if (c == '/' || c == '\0') {
            c = kReplacement;
        }
    }
    // "." and ".." (a damaged or hostile volume) would lead out of the destination; the
    // file is kept under a name that cannot.
    if (name == "." || name == "..") {
        name.insert(name.begin(), kReplacement);
    }
    return name;
}

bool IsUsableFileName(const std::string& name) {
    return !name.empty() && name != "." && name != "..";
}

std::optional<std::string> RelativePathOfListedDir(const std::string& dir) {
    const bool hasDrive = dir.size() >= 2 && dir[1] == ':';
    std::size_t at = hasDrive ? std::min(dir.size(), kDrivePrefix) : 0;
    std::string path;
    while (at < dir.size()) {
        std::size_t end = dir.find('\\', at);
        if (end == std::string::npos) {
            end = dir.size();
        }
        std::string part = SafeFileName(dir.substr(at, end - at));
        at = end + 1;
        if (part.empty()) {
            continue;
        }
        if (part[0] == kLostLetter) {
            part[0] = kLostLetterStandIn;
        }
        if (!IsUsableFileName(part)) {
            return std::nullopt;
        }
        path += part + "/";
    }
    return path;
}

std::string WithTrailingSlash(std::string dir) {
    if (dir.empty()) {
        return "./";
    }
    if (dir.back() != '/') {
        dir += '/';
    }
    return dir;
}

}  // namespace relicta::recover
