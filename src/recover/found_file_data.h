#pragma once
// A found file's data as recovery would write it (compression expanded, the clusters the
// design's rules give it, zeros past an exFAT valid length), read at any offset: what the
// content check reads.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "content/data_reader.h"

namespace relicta::recover {

// The data of found file `itemNum`, whose drive's volume must be open; nullptr when its
// record or clusters cannot be found any more.
std::unique_ptr<content::DataReader> OpenFoundFileData(uint32_t itemNum);

// Whether drive `letter`'s volume is the open one.
bool IsOpenVolumeOf(char letter);

// The same, its drive opened first unless it is the open one.
std::unique_ptr<content::DataReader> OpenFoundFileDataOnItsDrive(uint32_t itemNum);

// The first bytes of a file's data, for a preview: at most `maxBytes`, read in pieces so that
// `cancel` stops the read between them. Positioned reads only: it may run on a second thread
// while the volume's state is left alone.
struct DataHead {
    std::vector<uint8_t> bytes;
    uint64_t size = 0;     // of the whole data
    bool readable = true;  // false: a read failed; `bytes` holds what came before
    bool cancelled = false;
};
DataHead ReadDataHead(content::DataReader& data, uint64_t maxBytes,
                      const std::atomic<bool>& cancel);

}  // namespace relicta::recover
