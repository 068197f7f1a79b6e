#include "scan/recycle_bin.h"

#include <algorithm>
#include <string_view>

#include "bytes/le_bytes.h"
#include "bytes/text.h"
#include "volume/filetime.h"

namespace relicta::scan {
namespace {

// $I file layout: version, original size, deletion time, then the path (version 1: 260
// UTF-16 characters; version 2: a character count with the closing NUL, then the path).
constexpr std::size_t kVersion = 0x00;
constexpr std::size_t kDeletedTime = 0x10;
constexpr std::size_t kV1Path = 0x18;
constexpr std::size_t kV1PathChars = 260;
constexpr std::size_t kV2PathChars = 0x18;
constexpr std::size_t kV2Path = 0x1C;
constexpr uint32_t kMaxV2PathChars = 32767;

constexpr char kBinFolder[] = "$RECYCLE.BIN";
constexpr std::size_t kDrivePrefix = 3;     // "X:\"
constexpr std::size_t kRecycledPrefix = 2;  // "$R", "$I"

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

std::optional<std::u16string> PathChars(std::span<const uint8_t> data, std::size_t at,
                                        std::size_t chars, bool nulLast) {
    if (at > data.size() || chars > (data.size() - at) / 2) {
        return std::nullopt;
    }
    std::u16string path;
    for (std::size_t i = 0; i < chars; ++i) {
        const char16_t c = static_cast<char16_t>(bytes::U16(data, at + 2 * i));
        if (c == 0) {
            if (nulLast && i + 1 != chars) {
                return std::nullopt;
            }
            return path;
        }
        if (c < 0x20) {
            return std::nullopt;
        }
        path.push_back(c);
    }
    return std::nullopt;  // no closing NUL
}

bool IsDrivePath(const std::u16string& path) {
    const char16_t letter = path.size() > kDrivePrefix ? path[0] : 0;
    return ((letter >= u'A' && letter <= u'Z') || (letter >= u'a' && letter <= u'z')) &&
           path[1] == u':' && path[2] == u'\\' && path.back() != u'\\';
}

// The components of `path` after "X:\".
std::vector<std::string> Components(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t at = std::min(path.size(), kDrivePrefix);
    while (at < path.size()) {
        std::size_t end = path.find('\\', at);
        end = end == std::string::npos ? path.size() : end;
        if (end > at) {
            parts.emplace_back(path.substr(at, end - at));
        }
        at = end + 1;
    }
    return parts;
}

bool IsBinFolderName(const std::string& name) {
    const std::string upper = Upper(name);
    // A deleted FAT folder keeps its name but its first letter.
    return upper == kBinFolder || (upper.size() == sizeof kBinFolder - 1 && upper[0] == '?' &&
                                   upper.substr(1) == std::string(kBinFolder).substr(1));
}

// "$I"/"$R" + key, or "?I"/"?R" + key where a FAT entry lost the "$": the kind and the key.
std::optional<std::pair<char, std::string>> RecycledName(std::string_view name) {
    if (name.size() <= kRecycledPrefix || (name[0] != '$' && name[0] != '?')) {
        return std::nullopt;
    }
    const char kind = static_cast<char>(name[1] & ~0x20);
    if (kind != 'I' && kind != 'R') {
        return std::nullopt;
    }
    return std::make_pair(kind, Upper(std::string(name.substr(kRecycledPrefix))));
}

// A cheap look before the path is split: most found files are nowhere near a bin.
bool MayBeInBin(std::string_view dir) {
    constexpr std::size_t kNameAt = kDrivePrefix + 1;  // after the "$" or "?"
    const std::string_view rest(kBinFolder + 1);
    return dir.size() >= kNameAt + rest.size() &&
           Upper(std::string(dir.substr(kNameAt, rest.size()))) == rest;
}

bool IsBinFolderPath(const std::vector<std::string>& parts) {
    return parts.size() >= 2 && IsBinFolderName(parts[0]);
}

std::string JoinDir(const std::string& root, const std::vector<std::string>& parts,
                    std::size_t from, std::size_t to) {
    std::string dir = root;
    for (std::size_t i = from; i < to; ++i) {
        dir += (dir.ends_with('\\') ? "" : "\\") + parts[i];
    }
    return dir;
}

// Folder paths compared as Windows does, with or without a closing backslash.
bool SameFolder(std::string a, std::string b) {
    for (std::string* path : {&a, &b}) {
        if (path->ends_with('\\')) {
            path->pop_back();
        }
    }
    return Upper(a) == Upper(b);
}

}  // namespace

std::optional<RecycleInfo> ParseRecycleInfo(std::span<const uint8_t> data) {
    if (data.size() < kV1Path) {
        return std::nullopt;
    }
    const uint64_t version = bytes::U64(data, kVersion);
    std::optional<std::u16string> path;
    if (version == 1) {
        path = PathChars(data, kV1Path, kV1PathChars, false);
    } else if (version == 2 && data.size() >= kV2Path) {
        const uint32_t chars = bytes::U32(data, kV2PathChars);
        if (chars >= 2 && chars <= kMaxV2PathChars) {
            path = PathChars(data, kV2Path, chars, true);
        }
    }
    if (!path || !IsDrivePath(*path)) {
        return std::nullopt;
    }
    return RecycleInfo{bytes::Utf8FromUtf16(*path), bytes::U64(data, kDeletedTime)};
}

bool RecycleBin::IsInfoFile(std::string_view dir, std::string_view name) {
    const std::optional<std::pair<char, std::string>> recycled = RecycledName(name);
    if (!recycled || recycled->first != 'I' || !MayBeInBin(dir)) {
        return false;
    }
    const std::vector<std::string> parts = Components(dir);
    return parts.size() == 2 && IsBinFolderPath(parts);
}

void RecycleBin::HoldInfo(FoundFile file, RecycleInfo info, bool accepted) {
    std::string key = RecycledName(file.name)->second;
    held_.push_back({std::move(file), std::move(info), std::move(key), accepted, false});
}

RecycleBin::Held* RecycleBin::Partner(const std::string& binFolder,
                                      const std::string& recycledName) {
    const std::optional<std::pair<char, std::string>> recycled = RecycledName(recycledName);
    if (!recycled || recycled->first != 'R') {
        return nullptr;
    }
    for (Held& h : held_) {
        if (h.key == recycled->second && SameFolder(h.file.dir.Str(), binFolder)) {
            return &h;
        }
    }
    return nullptr;
}

void RecycleBin::Apply(FileListControl& listCtrl, std::size_t firstItem) {
    if (held_.empty()) {
        return;
    }
    std::vector<std::size_t> renamed;
    for (std::size_t item = firstItem; item < foundFiles.size(); ++item) {
        FoundFile& file = foundFiles[item];
        if (!MayBeInBin(file.dir)) {
            continue;
        }
        const std::vector<std::string> parts = Components(file.dir);
        if (!IsBinFolderPath(parts)) {
            continue;
        }
        const std::string root(file.dir.substr(0, kDrivePrefix));
        const std::string binFolder = JoinDir(root, parts, 0, 2);
        // A recycled file sits in the bin folder; a file of a recycled folder below it.
        const bool inFolder = parts.size() > 2;
        Held* held = Partner(binFolder, inFolder ? parts[2] : file.name.Str());
        if (held == nullptr) {
            continue;
        }
        held->paired = true;
        const std::vector<std::string> original = Components(held->info.originalPath);
        const std::string originalRoot = held->info.originalPath.substr(0, kDrivePrefix);
        file.EditNotes().recycledAs =
            file.dir.Str() + (file.dir.ends_with('\\') ? "" : "\\") + file.name;
        file.EditNotes().deletedTime = volume::LocalFileTimeFromUtc(held->info.deletedTime);
        // The volume's own way with directories stays: NTFS paths end in a backslash.
        const bool trailing = file.dir.ends_with('\\');
        std::string dir;
        if (inFolder) {
            dir = JoinDir(JoinDir(originalRoot, original, 0, original.size()), parts, 3,
                          parts.size());
        } else {
            dir = JoinDir(originalRoot, original, 0, original.size() - 1);
            file.name = bytes::PrintableName(original.back());
        }
        if (trailing && !dir.ends_with('\\')) {
            dir += '\\';
        }
        file.dir = dir;
        renamed.push_back(item);
    }
    RefreshCells(listCtrl, renamed);
    for (Held& h : held_) {
        if (!h.paired && h.accepted) {
            AddFoundFile(listCtrl, std::move(h.file));
        }
    }
    held_.clear();
}

}  // namespace relicta::scan
