#pragma once
// The texts of the file list and of the saved list.

#include <cstddef>
#include <cstdint>
#include <string>

namespace relicta::view {

inline constexpr int kColumnName = 0;
inline constexpr int kColumnDirectory = 1;
inline constexpr int kColumnSize = 2;
inline constexpr int kColumnModified = 3;
inline constexpr int kColumnCondition = 4;
inline constexpr int kColumnNumber = 5;
// The desktop list's column beyond the six: the content check's verdict.
inline constexpr int kColumnContent = 6;

// "0  ", then whole KB rounded up below 1 MiB, else whole MB rounded up.
std::string SizeText(int64_t size);

// A local FILETIME as "year/month/day hour:minute" (2000/1/2 9:05).
std::string DateText(uint64_t localFileTime);

// The same time as ISO 8601 with seconds (2000-01-02T09:05:07).
std::string IsoDateText(uint64_t localFileTime);

// Appends `text` to `out` as a JSON string, quoted and escaped.
void AppendJsonString(std::string& out, const std::string& text);

// What a list says of a file named from the Recycle Bin: where it was found, and when it
// was put in the bin.
std::string RecycledText(const std::string& recycledAs, uint64_t deletedLocalTime);

// Room enough for either date text: six numbers of an int's digits and their separators.
inline constexpr std::size_t kMaxDateTextBytes = 80;
// Writes IsoDateText's text at `out` (at most kMaxDateTextBytes); returns its end.
char* WriteIsoDateText(char* out, uint64_t localFileTime);

}  // namespace relicta::view
