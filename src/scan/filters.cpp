#include "scan/filters.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace relicta::scan {
namespace {

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

constexpr std::array<const char*, 5> kTempDirectories = {
    "\\TEMP\\", "\\TMP\\", "\\TEMPORARY INTERNET FILES\\", "\\SYSTEM32\\SPOOL\\PRINTERS\\",
    "\\NETSCAPE\\USERS\\DEFAULT\\CACHE\\"};

}  // namespace

std::string PatternToRegex(const std::string& pattern) {
    std::string regex;
    for (char c : pattern) {
        switch (c) {
            case '*':
                regex += ".*";
                break;
            case '.':
                regex += "\\.";
                break;
            case '\\':
                regex += "\\\\";
                break;
            default:
                regex += c;
                break;
        }
    }
    if (!pattern.empty() && pattern.back() != '*') {
        regex += '$';
    }
    return regex;
}

CompiledPattern::~CompiledPattern() {
    if (compiled_) {
        regfree(&regex_);
    }
}

bool CompiledPattern::Compile(const std::string& pattern) {
    if (compiled_) {
        regfree(&regex_);
    }
    compiled_ = regcomp(&regex_, PatternToRegex(pattern).c_str(), REG_EXTENDED | REG_ICASE) == 0;
    return compiled_;
}

bool MatchesPattern(const std::string& name, const CompiledPattern& compiledPattern) {
    // A pattern that did not compile matches nothing.
    return compiledPattern.ok() && regexec(compiledPattern.get(), name.c_str(), 0, nullptr, 0) == 0;
}

bool PatternFiltersNothing(const std::string& patternText) {
    return patternText.empty() || patternText == "*" || patternText == "*.*";
}

bool IsTempFile(const std::string& dir, const std::string& name) {
    std::string directory = dir;
    if (directory.empty() || directory.back() != '\\') {
        directory += '\\';
    }
    directory = Upper(directory);
    const std::string upperName = Upper(name);
    for (const char* part : kTempDirectories) {
        if (directory.find(part) != std::string::npos) {
            return true;
        }
    }
    if (EndsWith(upperName, ".TMP")) {
        return true;
    }
    if (upperName.size() >= 7 && upperName.compare(1, 6, "FASTUN") == 0 &&
        upperName.compare(upperName.size() - 4, 3, ".FF") == 0) {
        return true;
    }
    return EndsWith(upperName, "!~IE5.~!~");
}

bool ScanFilters::Accepts(std::string_view dir, std::string_view name) const {
    if (!PatternFiltersNothing(patternText) &&
        (compiledPattern == nullptr || !MatchesPattern(std::string(name), *compiledPattern))) {
        return false;
    }
    return !(skipTempFiles && IsTempFile(std::string(dir), std::string(name)));
}

}  // namespace relicta::scan
