#include "scan/directory_path_cache.h"

namespace relicta::scan {
namespace {
constexpr std::size_t kFirstSlots = 1024;
constexpr uint64_t kGoldenRatio = 0x9E3779B97F4A7C15ULL;  // spreads neighbouring records
}  // namespace

std::size_t DirectoryPathCache::Home(uint64_t key) const {
    return static_cast<std::size_t>((key * kGoldenRatio) >> 32) & (slots_.size() - 1);
}

const SharedText* DirectoryPathCache::Find(uint64_t key) const {
    if (slots_.empty()) {
        return nullptr;
    }
    for (std::size_t i = Home(key);; i = (i + 1) & (slots_.size() - 1)) {
        const Slot& slot = slots_[i];
        if (slot.path == kEmpty) {
            return nullptr;
        }
        if (slot.key == key) {
            return &paths_[slot.path];
        }
    }
}

void DirectoryPathCache::Add(uint64_t key, SharedText path) {
    if (2 * (paths_.size() + 1) > slots_.size()) {
        Grow();
    }
    std::size_t i = Home(key);
    for (; slots_[i].path != kEmpty; i = (i + 1) & (slots_.size() - 1)) {
        if (slots_[i].key == key) {
            return;
        }
    }
    slots_[i] = Slot{key, static_cast<uint32_t>(paths_.size())};
    paths_.push_back(path);
}

void DirectoryPathCache::Grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? kFirstSlots : 2 * old.size(), Slot{});
    for (const Slot& slot : old) {
        if (slot.path == kEmpty) {
            continue;
        }
        std::size_t i = Home(slot.key);
        while (slots_[i].path != kEmpty) {
            i = (i + 1) & (slots_.size() - 1);
        }
        slots_[i] = slot;
    }
}

}  // namespace relicta::scan
