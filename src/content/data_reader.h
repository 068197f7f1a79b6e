#pragma once
// Random access to a deleted file's data, as recovery would write it; and a window over it
// that the structure checks read through, so that each reads only what it needs.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace relicta::content {

class DataReader {
  public:
    virtual ~DataReader() = default;
    virtual uint64_t Size() const = 0;
    // Fills `out` from `offset`; false when the data cannot be read there.
    virtual bool Read(uint64_t offset, std::span<uint8_t> out) = 0;
};

// A reader over bytes in memory: tests, the fuzz target.
class MemoryReader : public DataReader {
  public:
    explicit MemoryReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint64_t Size() const override { return bytes_.size(); }
    bool Read(uint64_t offset, std::span<uint8_t> out) override;

  private:
    std::span<const uint8_t> bytes_;
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

  private:
    static constexpr std::size_t kWindowBytes = std::size_t{64} * 1024;
    std::vector<uint8_t> own_;
    DataReader& data_;
    std::vector<uint8_t>& bytes_;
    uint64_t start_ = 0;
    std::size_t held_ = 0;        // bytes of `bytes_` read from `start_`
    std::vector<uint8_t> large_;  // a read larger than the window
};

}  // namespace relicta::content
