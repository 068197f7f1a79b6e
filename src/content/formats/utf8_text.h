#pragma once
// Telling text from other bytes, one byte at a time: plain text and the markup built on it.

#include <cstdint>

namespace relicta::content {

// Follows UTF-8 through a run of bytes.
class Utf8Follower {
  public:
    // Whether `c` may come next in UTF-8 text; a NUL may not.
    bool Take(uint8_t c) {
        if (pending_ > 0) {
            --pending_;
            return (c & 0xC0) == 0x80;
        }
        if (c < 0x80) {
            return c != 0;
        }
        pending_ = (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 0;
        return pending_ != 0 && c != 0xC0 && c != 0xC1 && c <= 0xF4;
    }
    // Whether a character has begun and not ended.
    bool InCharacter() const { return pending_ != 0; }

  private:
    int pending_ = 0;  // continuation bytes still due
};

// Control bytes other than tabs, line ends and form feeds: text holds none.
inline bool IsControlByte(uint8_t c) {
    return (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f') || c == 0x7F;
}

}  // namespace relicta::content
