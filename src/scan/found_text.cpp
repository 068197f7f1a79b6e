#include "scan/found_text.h"

#include <atomic>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace relicta::scan {
namespace {

using Length = uint32_t;
constexpr unsigned kLengthBits = 7;  // per byte of the length; the top bit says more follow
constexpr uint8_t kMore = 0x80;
constexpr std::size_t kMaxLengthBytes = 5;
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;
// A longer string gets a chunk of its own rather than wasting a chunk's tail.
constexpr std::size_t kOwnChunkAbove = kChunkBytes / 16;

// Append-only storage in large chunks: strings never move, and a name costs its bytes and a
// length, not a heap block each.
class Pool {
  public:
    const char* Add(std::string_view text) {
        const std::lock_guard lock(mutex_);
        return AddLocked(text).first;
    }

    const char* Shared(std::string_view text) {
        const std::lock_guard lock(mutex_);
        if (const auto found = shared_.find(text); found != shared_.end()) {
            return found->second;
        }
        const auto [chars, kept] = AddLocked(text);
        shared_.emplace(kept, chars);
        return chars;
    }

    void Clear() {
        const std::lock_guard lock(mutex_);
        shared_.clear();
        chunks_.clear();
        chunks_.shrink_to_fit();
        own_.clear();
        own_.shrink_to_fit();
        used_ = kChunkBytes;
        bytes_ = 0;
        generation_.fetch_add(1, std::memory_order_release);
    }

    std::size_t Bytes() const {
        const std::lock_guard lock(mutex_);
        return bytes_;
    }

    // Read for every file a filter looks at: no lock.
    uint64_t Generation() const { return generation_.load(std::memory_order_acquire); }

  private:
    // Where the text begins (its length), and its bytes as kept.
    std::pair<const char*, std::string_view> AddLocked(std::string_view text) {
        text = text.substr(0, std::numeric_limits<Length>::max());
        uint8_t header[kMaxLengthBytes];
        std::size_t headerBytes = 0;
        for (std::size_t rest = text.size();; rest >>= kLengthBits) {
            header[headerBytes++] = static_cast<uint8_t>(rest & (kMore - 1));
            if (rest >> kLengthBits == 0) {
                break;
            }
            header[headerBytes - 1] |= kMore;
        }
        const std::size_t need = headerBytes + text.size();
        char* at = nullptr;
        if (need > kOwnChunkAbove) {
            at = own_.emplace_back(std::make_unique<char[]>(need)).get();
            bytes_ += need;
        } else {
            if (used_ + need > kChunkBytes) {
                chunks_.push_back(std::make_unique<char[]>(kChunkBytes));
                used_ = 0;
                bytes_ += kChunkBytes;
            }
            at = chunks_.back().get() + used_;
            used_ += need;
        }
        std::memcpy(at, header, headerBytes);
        std::memcpy(at + headerBytes, text.data(), text.size());
        return {at, std::string_view(at + headerBytes, text.size())};
    }

    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<char[]>> chunks_;  // the last one is being filled
    std::vector<std::unique_ptr<char[]>> own_;     // the long strings
    std::size_t used_ = kChunkBytes;               // of the last chunk
    std::size_t bytes_ = 0;
    std::atomic<uint64_t> generation_ = 0;
    std::unordered_map<std::string_view, const char*> shared_;
};

Pool& ThePool() {
    static Pool pool;
    return pool;
}

}  // namespace

Text::Text(std::string_view text) : chars_(text.empty() ? nullptr : ThePool().Add(text)) {}

Text Text::Shared(std::string_view text) {
    return text.empty() ? Text() : Text(FromPool{}, ThePool().Shared(text));
}

std::string_view Text::View() const {
    if (chars_ == nullptr) {
        return {};
    }
    std::size_t length = 0;
    std::size_t at = 0;
    for (unsigned shift = 0; at < kMaxLengthBytes; shift += kLengthBits) {
        const auto byte = static_cast<uint8_t>(chars_[at++]);
        length |= std::size_t{byte & (kMore - 1U)} << shift;
        if ((byte & kMore) == 0) {
            break;
        }
    }
    return {chars_ + at, length};
}

void ClearTextPool() {
    ThePool().Clear();
}

std::size_t TextPoolBytes() {
    return ThePool().Bytes();
}

uint64_t TextPoolGeneration() {
    return ThePool().Generation();
}

}  // namespace relicta::scan
