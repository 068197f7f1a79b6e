#include <cstdio>
#include <sstream>

#include "cli/commands.h"
#include "view/list_filter.h"

namespace relicta::cli {
namespace {

bool Refuse(const std::string& option, const std::string& value, const char* expected) {
    std::fprintf(stderr, "relicta: --%s takes %s, not %s\n", option.c_str(), expected,
                 value.c_str());
    return false;
}

// "pictures,video" or repeated options: each word adds its bit.
template <typename Word>
bool AddWords(const Options& options, const std::string& option, uint8_t& bits,
              std::optional<Word> (*fromName)(std::string_view), const char* expected) {
    for (const std::string& value : NamedValues(options, option)) {
        std::stringstream words(value);
        for (std::string word; std::getline(words, word, ',');) {
            const std::optional<Word> found = fromName(word);
            if (!found) {
                return Refuse(option, word, expected);
            }
            bits |= view::ListFilter::Bit(*found);
        }
    }
    return true;
}

template <typename Value>
bool ParseBound(const Options& options, const std::string& option, std::optional<Value>& bound,
                std::optional<Value> (*parse)(std::string_view), const char* expected) {
    const std::string value = NamedValue(options, option);
    if (value.empty()) {
        return true;
    }
    bound = parse(value);
    return bound.has_value() || Refuse(option, value, expected);
}

std::optional<int> ConditionRankOf(std::string_view word) {
    const int rank = view::ConditionRank(word);
    if (rank >= 0) {
        return rank;
    }
    // "good" and "GOOD" as well as "Good"
    std::string title(word);
    for (std::size_t i = 0; i < title.size(); ++i) {
        title[i] = static_cast<char>(i == 0 ? std::toupper(static_cast<unsigned char>(title[i]))
                                            : std::tolower(static_cast<unsigned char>(title[i])));
    }
    const int titled = view::ConditionRank(title);
    return titled >= 0 ? std::optional<int>(titled) : std::nullopt;
}

}  // namespace

std::optional<view::ListFilter> FilterFromOptions(const Options& options) {
    view::ListFilter filter;
    std::optional<int> rank;
    const bool ok =
        AddWords<view::FileKind>(options, "kind", filter.kinds, view::FileKindFromName,
                                 "pictures, documents, audio, video, archives or other") &&
        AddWords<view::FoundByGroup>(options, "found-by", filter.foundBy,
                                     view::FoundByGroupFromName, "entry, old or carved") &&
        ParseBound<int>(options, "min-condition", rank, ConditionRankOf,
                        "excellent, good, poor or hopeless") &&
        ParseBound<int64_t>(options, "min-size", filter.minSize, view::ParseSize,
                            "a size such as 4096, 100K or 2M") &&
        ParseBound<int64_t>(options, "max-size", filter.maxSize, view::ParseSize,
                            "a size such as 4096, 100K or 2M") &&
        ParseBound<uint64_t>(options, "modified-after", filter.modifiedFrom, view::ParseIsoDate,
                             "a date such as 2024-06-01 or 2024-06-01T13:05") &&
        ParseBound<uint64_t>(options, "modified-before", filter.modifiedBefore, view::ParseIsoDate,
                             "a date such as 2024-06-01 or 2024-06-01T13:05");
    if (!ok) {
        return std::nullopt;
    }
    filter.minCondition = rank.value_or(-1);
    return filter;
}

void KeepFilteredRows(view::FoundFileList& list, const view::ListFilter& filter) {
    if (filter.FiltersNothing()) {
        return;
    }
    std::erase_if(list.rows, [&filter](const view::FoundFileList::Row& row) {
        return row.itemData >= scan::foundFiles.size() ||
               !filter.Accepts(scan::foundFiles[row.itemData]);
    });
}

}  // namespace relicta::cli
