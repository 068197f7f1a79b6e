#include "deep/carved_names.h"

#include <cctype>
#include <cstdio>

#include "volume/filetime.h"

namespace relicta::deep {
namespace {

// Room for the rest of a path below a destination: a base name is cut at this many bytes.
constexpr std::size_t kMaxBaseBytes = 120;
constexpr std::size_t kMaxExtensionBytes = 8;

bool IsRealDate(const content::StatedTime& t) {
    return t.year >= 1900 && t.year <= 9999 && t.month >= 1 && t.month <= 12 && t.day >= 1 &&
           t.day <= 31 && t.hour >= 0 && t.hour <= 23 && t.minute >= 0 && t.minute <= 59 &&
           t.second >= 0 && t.second <= 60;
}

std::string DateText(const content::StatedTime& t) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d-%02d-%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

// Bytes no FAT or Windows name holds become '_'; white space and dots that Windows drops
// from a name's ends go; the rest is cut to `limit` bytes on a UTF-8 character's start.
std::string FitName(std::string_view text, std::size_t limit) {
    std::string name;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool refused = byte < 0x20 || byte == 0x7F ||
                             std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos;
        name += refused ? '_' : c;
    }
    if (name.size() > limit) {
        std::size_t cut = limit;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        name.resize(cut);
    }
    const std::size_t first = name.find_first_not_of(' ');
    const std::size_t last = name.find_last_not_of(". ");
    return first == std::string::npos || last == std::string::npos || last < first
               ? std::string()
               : name.substr(first, last - first + 1);
}

std::string Lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::string Trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    const std::size_t last = text.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

}  // namespace

std::string NameFromMetadata(const content::Metadata& metadata) {
    const std::string title = Trimmed(metadata.title);
    const std::string artist = Trimmed(metadata.artist);
    if (!title.empty()) {
        return artist.empty() ? title : artist + " - " + title;
    }
    std::string name = IsRealDate(metadata.time) ? DateText(metadata.time) : std::string();
    if (const std::string camera = Trimmed(metadata.camera); !camera.empty()) {
        name += (name.empty() ? "" : " ") + camera;
    }
    return name.empty() ? artist : name;
}

uint64_t FileTimeOfStated(const content::StatedTime& time) {
    if (!IsRealDate(time) || time.year < 1601) {
        return 0;
    }
    const volume::CalendarTime calendar{time.year, time.month,  time.day,
                                        time.hour, time.minute, std::min(time.second, 59)};
    const uint64_t stated = volume::FileTimeFromCalendar(calendar);
    return time.utc ? volume::LocalFileTimeFromUtc(stated) : stated;
}

std::string CarvedNames::Give(const std::string& folder, const std::string& base,
                              std::string_view extension, uint64_t sector) {
    std::string stem = FitName(base, kMaxBaseBytes);
    if (stem.empty()) {
        stem = "Sector " + std::to_string(sector);
    }
    std::string suffix = FitName(extension, kMaxExtensionBytes);
    suffix = suffix.empty() ? std::string() : "." + suffix;
    std::string name = stem + suffix;
    if (!given_.insert(folder + '\\' + Lower(name)).second) {
        name = stem + " (sector " + std::to_string(sector) + ")" + suffix;
        given_.insert(folder + '\\' + Lower(name));
    }
    return name;
}

}  // namespace relicta::deep
