#include "platform/rescue_map.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <optional>

namespace relicta::platform {
namespace {

constexpr uint64_t kLargestPosition = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
constexpr std::string_view kRunStatuses = "?*/-FG+";  // what ddrescue was doing
constexpr std::string_view kBlockStatuses = "?*/-+";
constexpr char kRescued = '+';

// The line without its comment: '#' at its start or after blanks begins one.
std::string_view WithoutComment(std::string_view line) {
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '#' && (i == 0 || std::isspace(static_cast<unsigned char>(line[i - 1])))) {
            return line.substr(0, i);
        }
    }
    return line;
}

std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t at = 0;
    while (at < line.size()) {
        while (at < line.size() && std::isspace(static_cast<unsigned char>(line[at]))) {
            ++at;
        }
        const std::size_t start = at;
        while (at < line.size() && !std::isspace(static_cast<unsigned char>(line[at]))) {
            ++at;
        }
        if (at > start) {
            fields.push_back(line.substr(start, at - start));
        }
    }
    return fields;
}

int DigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return 99;
}

// A non-negative integer written as a C++ constant is: decimal, 0x hexadecimal or 0 octal.
std::optional<uint64_t> ParseInteger(std::string_view text) {
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.size() > 1 && text[0] == '0') {
        base = 8;
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : text) {
        const int digit = DigitValue(c);
        if (digit >= static_cast<int>(base) ||
            value > (kLargestPosition - static_cast<uint64_t>(digit)) / base) {
            return std::nullopt;
        }
        value = value * base + static_cast<uint64_t>(digit);
    }
    return value;
}

bool IsStatus(std::string_view field, std::string_view statuses) {
    return field.size() == 1 && statuses.find(field[0]) != std::string_view::npos;
}

bool IsPass(std::string_view field) {
    return !field.empty() && field.size() <= 9 && field[0] != '0' &&
           std::all_of(field.begin(), field.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

class MapParser {
  public:
    explicit MapParser(const std::string& path) : path_(path) {}

    LoadedRescueMap Parse(std::string_view text) {
        std::size_t lineNumber = 0;
        while (!text.empty()) {
            const std::size_t newline = text.find('\n');
            const std::string_view line = text.substr(0, newline);
            text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
            ++lineNumber;
            const std::vector<std::string_view> fields = Fields(WithoutComment(line));
            if (fields.empty()) {
                continue;
            }
            const std::string problem = sawStatus_ ? TakeBlock(fields) : TakeStatus(fields);
            if (!problem.empty()) {
                return Failed("line " + std::to_string(lineNumber) + ": " + problem);
            }
        }
        if (!sawStatus_) {
            return Failed("no status line: not a GNU ddrescue map file");
        }
        AddNotRescued(coveredTo_, kLargestPosition);
        return {std::make_shared<const RescueMap>(path_, std::move(notRescued_)), {}};
    }

  private:
    LoadedRescueMap Failed(const std::string& problem) const {
        return {nullptr, path_ + ", " + problem};
    }

    std::string TakeStatus(const std::vector<std::string_view>& fields) {
        // Maps older than the pass number give the position and the status alone.
        if (fields.size() < 2 || fields.size() > 3 || !ParseInteger(fields[0]) ||
            !IsStatus(fields[1], kRunStatuses) || (fields.size() == 3 && !IsPass(fields[2]))) {
            return "not a GNU ddrescue status line (position, status, pass)";
        }
        sawStatus_ = true;
        return {};
    }

    std::string TakeBlock(const std::vector<std::string_view>& fields) {
        if (fields.size() != 3) {
            return "a block line has a position, a size and a status, not " +
                   std::to_string(fields.size()) + " fields";
        }
        const std::optional<uint64_t> position = ParseInteger(fields[0]);
        const std::optional<uint64_t> size = ParseInteger(fields[1]);
        if (!position || !size) {
            return "the position or size " + std::string(!position ? fields[0] : fields[1]) +
                   " is not a number ddrescue writes";
        }
        if (!IsStatus(fields[2], kBlockStatuses)) {
            return "unknown block status " + std::string(fields[2]);
        }
        if (*size > kLargestPosition - *position) {
            return "the block ends past the largest position a disk can have";
        }
        if (*position < coveredTo_) {
            return "the block begins before the one above it ends";
        }
        if (++blocks_ > kMaxRescueMapBlocks) {
            return "more than " + std::to_string(kMaxRescueMapBlocks) + " blocks";
        }
        AddNotRescued(coveredTo_, *position);  // a stretch the map skips was not copied either
        if (fields[2][0] != kRescued) {
            AddNotRescued(*position, *position + *size);
        }
        coveredTo_ = *position + *size;
        return {};
    }

    void AddNotRescued(uint64_t from, uint64_t to) {
        if (from >= to) {
            return;
        }
        if (!notRescued_.empty() && notRescued_.back().End() == static_cast<int64_t>(from)) {
            notRescued_.back().length += to - from;
            return;
        }
        notRescued_.push_back({static_cast<int64_t>(from), to - from});
    }

    const std::string& path_;
    bool sawStatus_ = false;
    std::size_t blocks_ = 0;
    uint64_t coveredTo_ = 0;
    std::vector<ByteRun> notRescued_;
};

}  // namespace

RescueMap::RescueMap(std::string path, std::vector<ByteRun> notRescued)
    : path_(std::move(path)), notRescued_(std::move(notRescued)) {}

bool RescueMap::Touches(uint64_t offset, uint64_t length) const {
    if (length == 0 || offset >= kLargestPosition) {
        return length != 0;
    }
    const int64_t from = static_cast<int64_t>(offset);
    const int64_t to = static_cast<int64_t>(std::min(length, kLargestPosition - offset) + offset);
    const auto after = std::upper_bound(notRescued_.begin(), notRescued_.end(), from,
                                        [](int64_t at, const ByteRun& r) { return at < r.End(); });
    return after != notRescued_.end() && after->offset < to;
}

uint64_t RescueMap::NotRescuedBytes(uint64_t offset, uint64_t length) const {
    const int64_t from = static_cast<int64_t>(std::min(offset, kLargestPosition));
    const int64_t to = static_cast<int64_t>(std::min(length, kLargestPosition - from) + from);
    uint64_t bytes = 0;
    auto r = std::upper_bound(notRescued_.begin(), notRescued_.end(), from,
                              [](int64_t at, const ByteRun& run) { return at < run.End(); });
    for (; r != notRescued_.end() && r->offset < to; ++r) {
        bytes += static_cast<uint64_t>(std::min(r->End(), to) - std::max(r->offset, from));
    }
    return bytes;
}

LoadedRescueMap ParseRescueMap(const std::string& path, std::string_view text) {
    return MapParser(path).Parse(text);
}

LoadedRescueMap LoadRescueMap(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return {nullptr, path + ": " + std::strerror(errno)};
    }
    if (!S_ISREG(st.st_mode)) {
        return {nullptr, path + ": not a GNU ddrescue map file"};
    }
    if (static_cast<uint64_t>(st.st_size) > kMaxRescueMapBytes) {
        return {nullptr, path + ": too large to be a GNU ddrescue map file"};
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return {nullptr, path + ": " + std::strerror(errno)};
    }
    // Only as much as was measured: a file that grows meanwhile is cut there.
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (in.bad()) {
        return {nullptr, path + ": cannot be read"};
    }
    text.resize(static_cast<std::size_t>(in.gcount()));
    return ParseRescueMap(path, text);
}

}  // namespace relicta::platform
