#pragma once
// The binary form of a deep scan's checkpoint: little-endian integers of their own width,
// length-prefixed byte runs and strings, a running hash a reader checks. What is read back
// is untrusted: a count is refused when the bytes left cannot hold that many items, an
// offset when it lies off the drive, and a failed read leaves zeros and a failed reader.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

namespace relicta::deep {

// FNV-1a, 64 bits: a damaged checkpoint, not a forged one, is what it guards against.
class RunningHash {
  public:
    void Add(std::span<const uint8_t> bytes);
    uint64_t Value() const { return value_; }

  private:
    static constexpr uint64_t kOffsetBasis = 14695981039346656037ULL;
    uint64_t value_ = kOffsetBasis;
};

class CheckpointWriter {
  public:
    explicit CheckpointWriter(std::FILE* file);
    ~CheckpointWriter();
    CheckpointWriter(const CheckpointWriter&) = delete;
    CheckpointWriter& operator=(const CheckpointWriter&) = delete;

    template <typename T>
    void operator()(const T& value) {
        if constexpr (std::is_same_v<T, std::string>) {
            Blob({reinterpret_cast<const uint8_t*>(value.data()), value.size()});
        } else if constexpr (std::is_same_v<T, bool>) {
            (*this)(static_cast<uint8_t>(value ? 1 : 0));
        } else if constexpr (std::is_enum_v<T>) {
            (*this)(static_cast<std::underlying_type_t<T>>(value));
        } else {
            static_assert(std::is_integral_v<T>);
            uint8_t bytes[sizeof(T)];
            auto v = static_cast<std::make_unsigned_t<T>>(value);
            for (uint8_t& b : bytes) {
                b = static_cast<uint8_t>(v & 0xFF);
                v = static_cast<decltype(v)>(v >> 4 >> 4);
            }
            Raw(bytes);
        }
    }
    void Raw(std::span<const uint8_t> bytes);
    void Blob(std::span<const uint8_t> bytes);  // its length first
    void Count(std::size_t n) { (*this)(static_cast<uint64_t>(n)); }
    // The hash of what was written since the last restart.
    void RestartHash() { hash_ = {}; }
    uint64_t Hash() const { return hash_.Value(); }
    // Writes out what is buffered; false when any write failed.
    bool Flush();

  private:
    static constexpr std::size_t kBufferBytes = std::size_t{1} << 20;
    std::FILE* file_;
    std::vector<uint8_t> buffer_;
    std::size_t used_ = 0;
    RunningHash hash_;
    bool ok_ = true;
};

class CheckpointReader {
  public:
    // Reads at most `length` bytes of `file` from where it stands; offsets must lie in
    // [0, driveLength).
    CheckpointReader(std::FILE* file, uint64_t length, int64_t driveLength = INT64_MAX);

    template <typename T>
    void operator()(T& value) {
        if constexpr (std::is_same_v<T, std::string>) {
            String(value);
        } else if constexpr (std::is_same_v<T, bool>) {
            uint8_t b = 0;
            (*this)(b);
            value = b != 0;
        } else if constexpr (std::is_enum_v<T>) {
            std::underlying_type_t<T> raw{};
            (*this)(raw);
            value = static_cast<T>(raw);
        } else {
            static_assert(std::is_integral_v<T>);
            uint8_t bytes[sizeof(T)];
            Raw(bytes);
            std::make_unsigned_t<T> v = 0;
            for (std::size_t i = sizeof(T); i-- > 0;) {
                v = static_cast<decltype(v)>(v << 4 << 4 | bytes[i]);
            }
            value = static_cast<T>(v);
        }
    }
    void Raw(std::span<uint8_t> out);
    // A byte run of at most `max` bytes.
    void Blob(std::vector<uint8_t>& out, std::size_t max);
    void String(std::string& out);
    // A count of items of at least `itemBytes` bytes each, at most `max`: 0 after a failure.
    std::size_t Count(std::size_t itemBytes, std::size_t max);
    // A drive offset: fails the reader when it lies off the drive or not after `after`.
    int64_t Offset(int64_t after = -1);
    // Skips `n` bytes, hashing them.
    void Skip(uint64_t n);

    void Fail() { ok_ = false; }
    bool ok() const { return ok_; }
    uint64_t Left() const { return left_; }
    int64_t DriveLength() const { return driveLength_; }
    void RestartHash() { hash_ = {}; }
    uint64_t Hash() const { return hash_.Value(); }

  private:
    static constexpr std::size_t kMaxStringBytes = 4096;
    static constexpr std::size_t kBufferBytes = std::size_t{1} << 20;
    bool Fill();

    std::FILE* file_;
    uint64_t left_;  // bytes not yet taken, buffered ones included
    int64_t driveLength_;
    std::vector<uint8_t> buffer_;
    std::size_t at_ = 0;
    RunningHash hash_;
    bool ok_ = true;
};

}  // namespace relicta::deep
