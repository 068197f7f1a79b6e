#include "platform/chunked_source.h"

#include <libdeflate.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/last_error.h"

namespace relicta::platform {
namespace {

// Expanded chunks kept: 24 MiB of them, or four where chunks are larger.
constexpr uint64_t kCacheBytes = uint64_t{24} << 20;
constexpr uint64_t kMinCacheSlots = 4;
constexpr uint64_t kMaxCacheSlots = 1024;  // each read that misses looks at every slot
constexpr std::size_t kStreamReadBytes = std::size_t{64} * 1024;

// The chunks read last, kept expanded, and those after a stream of long reads expanded ahead on
// a thread of its own. A read takes a chunk the cache holds, waits for one being expanded, or
// expands it itself: while a stream is read, both threads expand.
class ChunkCache {
  public:
    ChunkCache(const ChunkGeometry& geometry, std::size_t slots,
               std::unique_ptr<ChunkDecoder> decoder)
        : geometry_(geometry), slots_(slots), decoder_(std::move(decoder)) {
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            Append(i);
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~ChunkCache() {
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    ChunkCache(const ChunkCache&) = delete;
    ChunkCache& operator=(const ChunkCache&) = delete;

    // Copies `into` from chunk `chunk` at `within`, expanding it with `own` when nobody has
    // begun it; false when it cannot be read. `stream`: for a long read.
    bool Read(uint64_t chunk, uint64_t within, std::span<uint8_t> into, ChunkDecoder& own,
              bool stream);
    // A stream of reads has reached chunk `from`: the chunks after it are expanded ahead.
    void ReadAhead(uint64_t from) {
        {
            const std::lock_guard lock(mutex_);
            from_ = std::min(from, geometry_.chunks);
            to_ = std::min(from_ + StreamSlots() / 2, geometry_.chunks);
        }
        changed_.notify_all();
    }

  private:
    enum class State { Claimed, Ready, Failed };
    static constexpr std::size_t kNone = SIZE_MAX;
    struct Slot {
        uint64_t chunk = UINT64_MAX;
        State state = State::Failed;
        bool kept = false;           // a short read took it
        std::vector<uint8_t> bytes;  // allocated when first used
        // Its place in the kept or the streamed slots, used longest ago first; a slot being
        // expanded is in neither.
        std::size_t older = kNone;
        std::size_t newer = kNone;
    };
    // The slots not being expanded, of one kind, used longest ago first.
    struct Order {
        std::size_t oldest = kNone;
        std::size_t newest = kNone;
    };
    static constexpr std::size_t kStreamSlots = 128;  // half of them read ahead

    std::size_t StreamSlots() const { return std::min(kStreamSlots, slots_.size() / 2); }

    Slot* Find(uint64_t chunk) {
        const auto found = index_.find(chunk);
        return found == index_.end() ? nullptr : &slots_[found->second];
    }
    Order& OrderOf(const Slot& s) { return s.kept ? kept_ : streamed_; }
    // Puts slot `i` last in its order: the one used most recently.
    void Append(std::size_t i) {
        Slot& s = slots_[i];
        Order& order = OrderOf(s);
        s.older = order.newest;
        s.newer = kNone;
        (order.newest == kNone ? order.oldest : slots_[order.newest].newer) = i;
        order.newest = i;
    }
    void Unlink(std::size_t i) {
        Slot& s = slots_[i];
        Order& order = OrderOf(s);
        (s.older == kNone ? order.oldest : slots_[s.older].newer) = s.newer;
        (s.newer == kNone ? order.newest : slots_[s.newer].older) = s.older;
        s.older = s.newer = kNone;
    }
    // Slot `i` was just read: last in its order, and among the kept ones after a short read.
    void Used(std::size_t i, bool stream) {
        Unlink(i);
        if (!stream && !slots_[i].kept) {
            slots_[i].kept = true;
            ++keptSlots_;
        }
        Append(i);
    }
    // The slot used longest ago that nobody is expanding into, given to `chunk`. Chunks a
    // short read took are kept before those a stream passed over, but for the stream's room.
    Slot& Claim(uint64_t chunk) {
        const bool fromKept = keptSlots_ + StreamSlots() >= slots_.size();
        const Order& first = fromKept ? kept_ : streamed_;
        const Order& second = fromKept ? streamed_ : kept_;
        // Two threads claim at most two of the slots: one order has one to give.
        const std::size_t victim = first.oldest != kNone ? first.oldest : second.oldest;
        Unlink(victim);
        Slot& s = slots_[victim];
        keptSlots_ -= s.kept ? 1 : 0;
        s.kept = false;
        index_.erase(s.chunk);
        index_[chunk] = victim;
        s.chunk = chunk;
        s.state = State::Claimed;
        return s;
    }
    // Expands chunk `chunk` into a slot, with the lock released meanwhile.
    Slot& Expand(std::unique_lock<std::mutex>& lock, uint64_t chunk, ChunkDecoder& decoder) {
        Slot& s = Claim(chunk);
        lock.unlock();
        const auto length = static_cast<std::size_t>(geometry_.ChunkLength(chunk));
        s.bytes.resize(static_cast<std::size_t>(geometry_.chunkBytes));
        const bool ok = decoder.Decode(chunk, std::span<uint8_t>(s.bytes).first(length));
        lock.lock();
        s.state = ok ? State::Ready : State::Failed;
        Append(static_cast<std::size_t>(&s - slots_.data()));
        changed_.notify_all();
        return s;
    }
    // The first chunk to read ahead that the cache lacks; UINT64_MAX when there is none.
    uint64_t Wanted() {
        for (uint64_t c = from_; c < to_; ++c) {
            if (!index_.contains(c)) {
                return c;
            }
        }
        return UINT64_MAX;
    }
    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            uint64_t chunk = UINT64_MAX;
            changed_.wait(lock, [&] { return stop_ || (chunk = Wanted()) != UINT64_MAX; });
            if (stop_) {
                return;
            }
            Expand(lock, chunk, *decoder_);
        }
    }

    const ChunkGeometry& geometry_;
    std::vector<Slot> slots_;
    std::unordered_map<uint64_t, std::size_t> index_;  // chunk -> slot
    Order kept_;
    Order streamed_;
    std::size_t keptSlots_ = 0;              // slots a short read took
    std::unique_ptr<ChunkDecoder> decoder_;  // the read-ahead thread's
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t from_ = 0;  // the chunks to read ahead
    uint64_t to_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

bool ChunkCache::Read(uint64_t chunk, uint64_t within, std::span<uint8_t> into, ChunkDecoder& own,
                      bool stream) {
    std::unique_lock lock(mutex_);
    Slot* s = nullptr;
    // While this thread waits for the other to expand the chunk, the other may expand it and
    // give its slot to a later chunk: then it is looked for again.
    while (s == nullptr || s->chunk != chunk) {
        s = Find(chunk);
        if (s == nullptr) {
            s = &Expand(lock, chunk, own);
        }
        changed_.wait(lock, [&] { return s->state != State::Claimed || s->chunk != chunk; });
    }
    if (s->state != State::Ready) {
        return false;
    }
    Used(static_cast<std::size_t>(s - slots_.data()), stream);
    std::memcpy(into.data(), s->bytes.data() + within, into.size());
    return true;
}

class ChunkedSource : public ImageSource {
  public:
    ChunkedSource(ChunkGeometry geometry,
                  const std::function<std::unique_ptr<ChunkDecoder>()>& makeDecoder)
        : geometry_(geometry),
          decoder_(makeDecoder()),
          cache_(geometry_,
                 static_cast<std::size_t>(
                     std::clamp<uint64_t>(kCacheBytes / std::max<uint64_t>(geometry_.chunkBytes, 1),
                                          kMinCacheSlots, kMaxCacheSlots)),
                 makeDecoder()) {}
    bool ReadAt(uint64_t offset, std::span<uint8_t> out, std::size_t& bytesRead) override;
    uint64_t Size() const override { return geometry_.size; }
    bool ReadsWholeChunks() const override { return true; }

  private:
    ChunkGeometry geometry_;
    std::unique_ptr<ChunkDecoder> decoder_;  // the reading thread's
    ChunkCache cache_;                       // last: its thread stops before the rest goes
};

bool ChunkedSource::ReadAt(uint64_t offset, std::span<uint8_t> out, std::size_t& bytesRead) {
    bytesRead = 0;
    const ChunkGeometry& g = geometry_;
    if (offset >= g.size || out.empty()) {
        return true;
    }
    const auto wanted = static_cast<std::size_t>(std::min<uint64_t>(out.size(), g.size - offset));
    const uint64_t end = offset + wanted;
    const uint64_t first = offset / g.chunkBytes;
    const uint64_t last = (end - 1) / g.chunkBytes;
    // A long read is a stream's: the read-ahead thread expands its chunks from the first on
    // while this one takes them from the last back, and then goes on past it.
    const bool stream = wanted >= kStreamReadBytes;
    if (stream) {
        cache_.ReadAhead(first);
    }
    for (uint64_t i = 0; i <= last - first; ++i) {
        const uint64_t chunk = stream ? last - i : first + i;
        const uint64_t chunkStart = chunk * g.chunkBytes;
        const uint64_t from = std::max(offset, chunkStart);
        const uint64_t to = std::min(end, chunkStart + geometry_.ChunkLength(chunk));
        if (!cache_.Read(chunk, from - chunkStart,
                         out.subspan(static_cast<std::size_t>(from - offset),
                                     static_cast<std::size_t>(to - from)),
                         *decoder_, stream)) {
            SetLastError(EIO);
            return false;
        }
    }
    if (stream) {
        cache_.ReadAhead(last + 1);
    }
    bytesRead = wanted;
    return true;
}

}  // namespace

Inflater::Inflater() : decompressor_(libdeflate_alloc_decompressor()) {}

Inflater::~Inflater() {
    libdeflate_free_decompressor(decompressor_);
}

std::optional<std::size_t> Inflater::Expand(Stream stream, std::span<const uint8_t> in,
                                            std::span<uint8_t> out) {
    if (decompressor_ == nullptr) {
        return std::nullopt;  // no memory for it
    }
    std::size_t expanded = 0;
    const libdeflate_result result =
        stream == Stream::Zlib ? libdeflate_zlib_decompress(decompressor_, in.data(), in.size(),
                                                            out.data(), out.size(), &expanded)
                               : libdeflate_deflate_decompress(decompressor_, in.data(), in.size(),
                                                               out.data(), out.size(), &expanded);
    return result == LIBDEFLATE_SUCCESS ? std::optional<std::size_t>(expanded) : std::nullopt;
}

std::unique_ptr<ImageSource> MakeChunkedSource(
    ChunkGeometry geometry, const std::function<std::unique_ptr<ChunkDecoder>()>& makeDecoder) {
    return std::make_unique<ChunkedSource>(geometry, makeDecoder);
}

}  // namespace relicta::platform
