#pragma once
// The content check of found files, drive by drive: what `scan --check-content`, the desktop
// program's Check Content and recovery run.

#include <cstdint>
#include <vector>

#include "content/content_check.h"

namespace relicta::recover {

// Checks found files `items` under the progress window the front end provides (Cancel and
// Ctrl+C stop it) and keeps each verdict in the found-file table; with `md5`, also the MD5
// of each file's whole data. Returns false when stopped before the end.
bool CheckFoundFiles(const std::vector<uint32_t>& items, bool md5 = false);

// The verdict of one found file whose drive's volume is open.
content::ContentResult CheckFoundFile(content::ContentChecker& checker, uint32_t itemNum);

}  // namespace relicta::recover
