#pragma once
// A found file's data as recovery would write it (compression expanded, the clusters the
// design's rules give it, zeros past an exFAT valid length), read at any offset: what the
// content check reads.

#include <cstdint>
#include <memory>

#include "content/data_reader.h"

namespace relicta::recover {

// The data of found file `itemNum`, whose drive's volume must be open; nullptr when its
// record or clusters cannot be found any more.
std::unique_ptr<content::DataReader> OpenFoundFileData(uint32_t itemNum);

}  // namespace relicta::recover
