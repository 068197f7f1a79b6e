#pragma once
// Full paths of the directories a scan has already walked up to the root, by record number
// and sequence number. Looked up once for every deleted file: one flat table probed in
// place, not a node per entry scattered over the heap.

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "scan/found_text.h"

namespace relicta::scan {

class DirectoryPathCache {
  public:
    // The path kept for `key`, or nullptr. Stays valid while the cache lives.
    const SharedText* Find(uint64_t key) const;
    // Keeps `path` for `key` unless one is kept already.
    void Add(uint64_t key, SharedText path);
    std::size_t Size() const { return paths_.size(); }

  private:
    static constexpr uint32_t kEmpty = UINT32_MAX;
    struct Slot {
        uint64_t key = 0;
        uint32_t path = kEmpty;  // index into paths_
    };
    std::size_t Home(uint64_t key) const;
    void Grow();

    std::vector<Slot> slots_;       // a power of two long, at most half full
    std::deque<SharedText> paths_;  // a deque: found paths never move
};

}  // namespace relicta::scan
