#pragma once
// Names and texts read from disks, decoded to UTF-8 in full.

#include <string>

#include "bytes/le_bytes.h"

namespace relicta::bytes {

// UTF-16LE bytes; unpaired surrogates become U+FFFD.
std::string Utf8FromUtf16(Bytes utf16);
std::string Utf8FromUtf16(const std::u16string& utf16);

// An 8.3 name byte string in code page 437.
std::string Utf8FromCp437(Bytes bytes);

void AppendUtf8(std::string& out, char32_t c);

// A name that can be printed, saved and given to a new file: control characters (NUL
// included), which no file system allows in names, become "_".
std::string PrintableName(std::string name);

}  // namespace relicta::bytes
