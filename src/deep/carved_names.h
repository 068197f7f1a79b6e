#pragma once
// Names for files found by their content: what they say of themselves ("2024-06-01 14-03-22
// Canon EOS 80D.jpg", "Artist - Title.mp3"), else where they begin ("Sector 2048.jpg").

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

#include "content/formats/format.h"

namespace relicta::deep {

// The made-up folder of each format's carved files, below the drive's root: "$Carved\JPEG".
inline constexpr const char* kCarvedFolder = "$Carved";

// A title (after its artist), else when the file was made and with what camera; "" when the
// metadata says nothing a name can be made of. Not yet fit for a file system.
std::string NameFromMetadata(const content::Metadata& metadata);

// `time` as a local FILETIME; 0 when it states none or no real date.
uint64_t FileTimeOfStated(const content::StatedTime& time);

// Names given in the carved folders: each fit for FAT and Windows, and new in its folder.
class CarvedNames {
  public:
    // `base` (or "Sector <sector>" when empty) with `extension`; a name its folder has already
    // gets " (sector <sector>)" before the extension.
    std::string Give(const std::string& folder, const std::string& base, std::string_view extension,
                     uint64_t sector);

  private:
    std::unordered_set<std::string> given_;  // folder, then the name in lower case
};

}  // namespace relicta::deep
