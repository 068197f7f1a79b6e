#include "view/list_filter.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>

#include "content/content_check.h"
#include "content/structure_checks.h"
#include "volume/filetime.h"

namespace relicta::view {
namespace {

constexpr std::array<const char*, kFileKinds> kKindNames = {"Pictures", "Documents", "Audio",
                                                            "Video",    "Archives",  "Other"};

struct KindByExtension {
    std::string_view extension;
    FileKind kind;
};

constexpr KindByExtension kKindsByExtension[] = {
    {"jpg", FileKind::Pictures},   {"jpeg", FileKind::Pictures},  {"jpe", FileKind::Pictures},
    {"png", FileKind::Pictures},   {"gif", FileKind::Pictures},   {"bmp", FileKind::Pictures},
    {"tif", FileKind::Pictures},   {"tiff", FileKind::Pictures},  {"webp", FileKind::Pictures},
    {"heic", FileKind::Pictures},  {"heif", FileKind::Pictures},  {"cr2", FileKind::Pictures},
    {"cr3", FileKind::Pictures},   {"nef", FileKind::Pictures},   {"arw", FileKind::Pictures},
    {"dng", FileKind::Pictures},   {"orf", FileKind::Pictures},   {"rw2", FileKind::Pictures},
    {"raf", FileKind::Pictures},   {"psd", FileKind::Pictures},   {"ico", FileKind::Pictures},
    {"svg", FileKind::Pictures},   {"doc", FileKind::Documents},  {"docx", FileKind::Documents},
    {"xls", FileKind::Documents},  {"xlsx", FileKind::Documents}, {"ppt", FileKind::Documents},
    {"pptx", FileKind::Documents}, {"odt", FileKind::Documents},  {"ods", FileKind::Documents},
    {"odp", FileKind::Documents},  {"pdf", FileKind::Documents},  {"rtf", FileKind::Documents},
    {"txt", FileKind::Documents},  {"csv", FileKind::Documents},  {"htm", FileKind::Documents},
    {"html", FileKind::Documents}, {"xml", FileKind::Documents},  {"md", FileKind::Documents},
    {"epub", FileKind::Documents}, {"wpd", FileKind::Documents},  {"mp3", FileKind::Audio},
    {"wav", FileKind::Audio},      {"wma", FileKind::Audio},      {"aac", FileKind::Audio},
    {"m4a", FileKind::Audio},      {"flac", FileKind::Audio},     {"ogg", FileKind::Audio},
    {"oga", FileKind::Audio},      {"opus", FileKind::Audio},     {"aif", FileKind::Audio},
    {"aiff", FileKind::Audio},     {"mid", FileKind::Audio},      {"midi", FileKind::Audio},
    {"amr", FileKind::Audio},      {"mp4", FileKind::Video},      {"m4v", FileKind::Video},
    {"mov", FileKind::Video},      {"avi", FileKind::Video},      {"mkv", FileKind::Video},
    {"wmv", FileKind::Video},      {"mpg", FileKind::Video},      {"mpeg", FileKind::Video},
    {"3gp", FileKind::Video},      {"webm", FileKind::Video},     {"flv", FileKind::Video},
    {"mts", FileKind::Video},      {"m2ts", FileKind::Video},     {"vob", FileKind::Video},
    {"zip", FileKind::Archives},   {"rar", FileKind::Archives},   {"7z", FileKind::Archives},
    {"gz", FileKind::Archives},    {"tgz", FileKind::Archives},   {"bz2", FileKind::Archives},
    {"xz", FileKind::Archives},    {"tar", FileKind::Archives},   {"cab", FileKind::Archives},
    {"iso", FileKind::Archives},   {"lzh", FileKind::Archives},   {"zst", FileKind::Archives},
};

constexpr std::size_t kMaxExtensionBytes = 8;

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return LowerAscii(x) == LowerAscii(y);
           });
}

bool ContainsIgnoringCase(std::string_view haystack, std::string_view needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                       [](char h, char n) { return LowerAscii(h) == LowerAscii(n); }) !=
           haystack.end();
}

FileKind KindOfExtension(std::string_view name) {
    // Looked up lower-cased in a sorted copy of the table: a kind filter asks it of every row.
    static const std::vector<KindByExtension> sorted = [] {
        std::vector<KindByExtension> table(std::begin(kKindsByExtension),
                                           std::end(kKindsByExtension));
        std::sort(table.begin(), table.end(),
                  [](const KindByExtension& a, const KindByExtension& b) {
                      return a.extension < b.extension;
                  });
        return table;
    }();
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || name.size() - dot - 1 > kMaxExtensionBytes) {
        return FileKind::Other;
    }
    char lower[kMaxExtensionBytes];
    const std::size_t length = name.size() - dot - 1;
    std::transform(name.begin() + static_cast<std::ptrdiff_t>(dot) + 1, name.end(), lower,
                   LowerAscii);
    const std::string_view extension(lower, length);
    const auto found = std::lower_bound(
        sorted.begin(), sorted.end(), extension,
        [](const KindByExtension& entry, std::string_view key) { return entry.extension < key; });
    return found != sorted.end() && found->extension == extension ? found->kind : FileKind::Other;
}

FileKind KindOfFamily(content::Family family, std::string_view description) {
    switch (family) {
        case content::Family::Jpeg:
        case content::Family::Png:
        case content::Family::Gif:
        case content::Family::Heic:
        case content::Family::Tiff:
            return FileKind::Pictures;
        case content::Family::Pdf:
        case content::Family::Html:
        case content::Family::Xml:
        case content::Family::Text:
            return FileKind::Documents;
        case content::Family::Zip:
            return FileKind::Archives;
        case content::Family::Mp4:
            return FileKind::Video;
        case content::Family::Mp3:
            return FileKind::Audio;
        case content::Family::Riff:
            return ContainsIgnoringCase(description, "wave") ? FileKind::Audio : FileKind::Video;
        case content::Family::Unknown:
            break;
    }
    return FileKind::Other;
}

bool ParseNumber(std::string_view text, int& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// The fields of "YYYY-MM-DD[(T| )HH:MM[:SS]]" in order.
std::optional<volume::CalendarTime> ParseCalendar(std::string_view text) {
    constexpr std::size_t kDateBytes = 10;
    constexpr std::size_t kMinuteBytes = 16;
    constexpr std::size_t kSecondBytes = 19;
    constexpr int kFirstYear = 1601;
    constexpr int kLastYear = 30827;  // FILETIME's last
    if (text.size() != kDateBytes && text.size() != kMinuteBytes && text.size() != kSecondBytes) {
        return std::nullopt;
    }
    volume::CalendarTime t;
    const bool dateOk =
        text[4] == '-' && text[7] == '-' && ParseNumber(text.substr(0, 4), t.year) &&
        ParseNumber(text.substr(5, 2), t.month) && ParseNumber(text.substr(8, 2), t.day);
    if (!dateOk || t.year < kFirstYear || t.year > kLastYear || t.month < 1 || t.month > 12 ||
        t.day < 1 || t.day > 31) {
        return std::nullopt;
    }
    if (text.size() > kDateBytes) {
        const bool timeOk = (text[10] == 'T' || text[10] == ' ') && text[13] == ':' &&
                            ParseNumber(text.substr(11, 2), t.hour) &&
                            ParseNumber(text.substr(14, 2), t.minute) &&
                            (text.size() == kMinuteBytes ||
                             (text[16] == ':' && ParseNumber(text.substr(17, 2), t.second)));
        if (!timeOk || t.hour > 23 || t.minute > 59 || t.second > 59) {
            return std::nullopt;
        }
    }
    // A day the month does not have (2023-02-30) comes back as another date.
    const volume::CalendarTime back = volume::CalendarFromFileTime(volume::FileTimeFromCalendar(t));
    if (back.day != t.day || back.month != t.month) {
        return std::nullopt;
    }
    return t;
}

}  // namespace

const char* FileKindName(FileKind kind) {
    return kKindNames[static_cast<std::size_t>(kind)];
}

std::optional<FileKind> FileKindFromName(std::string_view name) {
    for (int k = 0; k < kFileKinds; ++k) {
        if (EqualsIgnoringCase(name, kKindNames[k])) {
            return static_cast<FileKind>(k);
        }
    }
    return std::nullopt;
}

FileKind KindOf(const scan::FoundFile& file) {
    const scan::FoundFileNotes& notes = file.Notes();
    if (notes.content == content::VerdictName(content::Verdict::Mismatch)) {
        return KindOfFamily(content::FamilyOfDescription(notes.contentDetail), notes.contentDetail);
    }
    return KindOfExtension(file.name);
}

int ConditionRank(std::string_view condition) {
    constexpr std::array<const char*, 4> kRanked = {scan::kHopeless, scan::kPoor, scan::kGood,
                                                    scan::kExcellent};
    for (std::size_t rank = 0; rank < kRanked.size(); ++rank) {
        if (condition == kRanked[rank]) {
            return static_cast<int>(rank);
        }
    }
    return -1;
}

FoundByGroup FoundByGroupOf(scan::FoundBy foundBy) {
    switch (foundBy) {
        case scan::FoundBy::Record:
        case scan::FoundBy::Directory:
            return FoundByGroup::OldFileSystem;
        case scan::FoundBy::Carved:
            return FoundByGroup::Carved;
        case scan::FoundBy::Entry:
            break;
    }
    return FoundByGroup::DeletedEntry;
}

std::optional<FoundByGroup> FoundByGroupFromName(std::string_view name) {
    constexpr std::array<const char*, kFoundByGroups> kNames = {"entry", "old", "carved"};
    for (int g = 0; g < kFoundByGroups; ++g) {
        if (EqualsIgnoringCase(name, kNames[g])) {
            return static_cast<FoundByGroup>(g);
        }
    }
    return std::nullopt;
}

bool InFolder(std::string_view dir, std::string_view folder) {
    while (!folder.empty() && folder.back() == '\\') {
        folder.remove_suffix(1);
    }
    while (!dir.empty() && dir.back() == '\\') {
        dir.remove_suffix(1);
    }
    return dir.size() >= folder.size() && dir.substr(0, folder.size()) == folder &&
           (dir.size() == folder.size() || dir[folder.size()] == '\\');
}

bool ListFilter::FiltersNothing() const {
    return text.empty() && kinds == 0 && minCondition < 0 && !minSize && !maxSize &&
           !modifiedFrom && !modifiedBefore && foundBy == 0 && folder.empty();
}

ListFilter::FolderVerdict ListFilter::VerdictOn(const scan::SharedText& dir) const {
    if (const uint64_t generation = scan::TextPoolGeneration(); generation != verdictsOfPool_) {
        folderVerdicts_.clear();
        verdictsOfPool_ = generation;
    }
    const auto [it, added] = folderVerdicts_.try_emplace(dir.Identity());
    if (added) {
        it->second.inFolder = folder.empty() || InFolder(dir, folder);
        it->second.textInPath = !text.empty() && ContainsIgnoringCase(dir, text);
    }
    return it->second;
}

bool ListFilter::Accepts(const scan::FoundFile& file) const {
    if ((minSize && file.size < *minSize) || (maxSize && file.size > *maxSize) ||
        (modifiedFrom && file.modifiedTime < *modifiedFrom) ||
        (modifiedBefore && file.modifiedTime >= *modifiedBefore)) {
        return false;
    }
    if (minCondition >= 0 && ConditionRank(file.condition) < minCondition) {
        return false;
    }
    if (foundBy != 0 && (foundBy & Bit(FoundByGroupOf(file.foundBy))) == 0) {
        return false;
    }
    if (!folder.empty() || !text.empty()) {
        const FolderVerdict verdict = VerdictOn(file.dir);
        if (!verdict.inFolder ||
            (!text.empty() && !verdict.textInPath && !ContainsIgnoringCase(file.name, text))) {
            return false;
        }
    }
    return kinds == 0 || (kinds & Bit(KindOf(file))) != 0;
}

std::optional<uint64_t> ParseIsoDate(std::string_view text) {
    const std::optional<volume::CalendarTime> t = ParseCalendar(text);
    return t ? std::optional<uint64_t>(volume::FileTimeFromCalendar(*t)) : std::nullopt;
}

std::optional<uint64_t> ParseIsoDateEnd(std::string_view text) {
    constexpr uint64_t kDayTicks = uint64_t{86400} * volume::kFileTimeTicksPerSecond;
    const std::optional<volume::CalendarTime> t = ParseCalendar(text);
    if (!t) {
        return std::nullopt;
    }
    const volume::CalendarTime day{t->year, t->month, t->day, 0, 0, 0};
    return volume::FileTimeFromCalendar(day) + kDayTicks;
}

std::optional<int64_t> ParseSize(std::string_view text) {
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data() || value < 0) {
        return std::nullopt;
    }
    std::string_view unit = text.substr(static_cast<std::size_t>(end - text.data()));
    while (!unit.empty() && unit.front() == ' ') {
        unit.remove_prefix(1);
    }
    constexpr std::string_view kUnits = "kmgt";
    int shift = 0;
    if (!unit.empty()) {
        const std::size_t at = kUnits.find(LowerAscii(unit.front()));
        if (at == std::string_view::npos) {
            return EqualsIgnoringCase(unit, "b") ? std::optional<int64_t>(value) : std::nullopt;
        }
        shift = 10 * static_cast<int>(at + 1);
        unit.remove_prefix(1);
        if (!unit.empty() && !EqualsIgnoringCase(unit, "b") && !EqualsIgnoringCase(unit, "ib")) {
            return std::nullopt;
        }
    }
    if (value > (std::numeric_limits<int64_t>::max() >> shift)) {
        return std::nullopt;
    }
    return value << shift;
}

std::vector<uint32_t> FilteredItems(const std::vector<uint32_t>& items, const ListFilter& filter) {
    if (filter.FiltersNothing()) {
        return items;
    }
    std::vector<uint32_t> accepted;
    for (uint32_t item : items) {
        if (item < scan::foundFiles.size() && filter.Accepts(scan::foundFiles[item])) {
            accepted.push_back(item);
        }
    }
    return accepted;
}

}  // namespace relicta::view
