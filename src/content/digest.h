#pragma once
// SHA-256 and MD5 of bytes as they go by (nettle's), as hex text.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace relicta::content {

class Digest {
  public:
    enum class Kind { Sha256, Md5 };
    explicit Digest(Kind kind);
    ~Digest();
    Digest(Digest&&) noexcept;
    Digest& operator=(Digest&&) noexcept;
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    void Update(std::span<const uint8_t> bytes);
    // The digest of everything given so far, in lower-case hex.
    std::string Hex() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace relicta::content
