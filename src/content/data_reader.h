#pragma once
// Random access to a deleted file's data, as recovery would write it; and a window over it
// that the structure checks read through, so that each reads only what it needs.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace relicta::content {

// Bytes of a file as the volume holds them: `length` bytes from byte `volumeOffset` of the
// volume, or zeros where `volumeOffset` is kZeros.
struct StoredRange {
    static constexpr int64_t kZeros = -1;
    int64_t volumeOffset = kZeros;
    uint64_t length = 0;
};

class DataReader {
  public:
    virtual ~DataReader() = default;
    virtual uint64_t Size() const = 0;
    // Fills `out` from `offset`; false when the data cannot be read there.
    virtual bool Read(uint64_t offset, std::span<uint8_t> out) = 0;
    // The `n` bytes at `offset` where they are already in memory, else an empty span: a reader
    // over memory spares the window a copy.
    virtual std::span<const uint8_t> View(uint64_t /*offset*/, std::size_t /*n*/) { return {}; }
    // Where the first `n` bytes lie on the volume, in order, when positioned reads of it give
    // them as they are (no expansion); false otherwise, or when they cannot all be found.
    virtual bool Locate(std::size_t /*n*/, std::vector<StoredRange>& /*ranges*/) { return false; }
};

// A reader over bytes in memory: tests, the fuzz target.
class MemoryReader : public DataReader {
  public:
    explicit MemoryReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint64_t Size() const override { return bytes_.size(); }
    bool Read(uint64_t offset, std::span<uint8_t> out) override;
    std::span<const uint8_t> View(uint64_t offset, std::size_t n) override;

  private:
    std::span<const uint8_t> bytes_;
};

// The first bytes of a larger file, read ahead of the rest: most checks decide on them. A read
// past them fails and is remembered, so that the file can be read whole and checked again.
class HeadReader : public DataReader {
  public:
    HeadReader(std::span<const uint8_t> head, uint64_t size) : head_(head), size_(size) {}
    uint64_t Size() const override { return size_; }
    bool Read(uint64_t offset, std::span<uint8_t> out) override;
    std::span<const uint8_t> View(uint64_t offset, std::size_t n) override;
    // Whether a read went past the head: what was decided then does not count.
    bool WantedMore() const { return wantedMore_; }

  private:
    MemoryReader head_;
    uint64_t size_;
    bool wantedMore_ = false;
};

// Reads through a window of 64 KiB: small reads one after another cost one read of the data.
// A checker of many files lends each window the same storage.
class Window {
  public:
    explicit Window(DataReader& data) : Window(data, own_) {}
    Window(DataReader& data, std::vector<uint8_t>& storage) : data_(data), bytes_(storage) {}
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;
    uint64_t Size() const { return data_.Size(); }
    // `n` bytes at `offset`, or an empty span when they lie past the end or cannot be read.
    // The span stays valid until the next call.
    std::span<const uint8_t> At(uint64_t offset, std::size_t n);
    bool Byte(uint64_t offset, uint8_t& value);
    // How much a walk through the data reads at `pos` at once: the first page alone, then a
    // window's worth.
    std::size_t BlockAt(uint64_t pos) const;

  private:
    static constexpr std::size_t kWindowBytes = std::size_t{64} * 1024;
    // The first read is small: most files are told by their first page.
    static constexpr std::size_t kFirstBytes = std::size_t{4} * 1024;
    std::vector<uint8_t> own_;
    DataReader& data_;
    std::vector<uint8_t>& bytes_;
    uint64_t start_ = 0;
    std::size_t held_ = 0;        // bytes of `bytes_` read from `start_`
    bool filled_ = false;         // whether a read has been made
    std::vector<uint8_t> large_;  // a read larger than the window
};

}  // namespace relicta::content
