#include "content/digest.h"

#include <nettle/md5.h>
#include <nettle/sha2.h>

#include <array>

namespace relicta::content {

struct Digest::State {
    Kind kind;
    sha256_ctx sha256{};
    md5_ctx md5{};
};

Digest::Digest(Kind kind) : state_(std::make_unique<State>()) {
    state_->kind = kind;
    if (kind == Kind::Sha256) {
        sha256_init(&state_->sha256);
    } else {
        md5_init(&state_->md5);
    }
}

Digest::~Digest() = default;
Digest::Digest(Digest&&) noexcept = default;
Digest& Digest::operator=(Digest&&) noexcept = default;

void Digest::Update(std::span<const uint8_t> bytes) {
    if (state_->kind == Kind::Sha256) {
        sha256_update(&state_->sha256, bytes.size(), bytes.data());
    } else {
        md5_update(&state_->md5, bytes.size(), bytes.data());
    }
}

std::string Digest::Hex() const {
    std::array<uint8_t, SHA256_DIGEST_SIZE> bytes{};
    std::size_t size = 0;
    State copy = *state_;  // digesting resets the context: the running one goes on
    if (copy.kind == Kind::Sha256) {
        size = SHA256_DIGEST_SIZE;
        sha256_digest(&copy.sha256, size, bytes.data());
    } else {
        size = MD5_DIGEST_SIZE;
        md5_digest(&copy.md5, size, bytes.data());
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0xF];
    }
    return text;
}

}  // namespace relicta::content
