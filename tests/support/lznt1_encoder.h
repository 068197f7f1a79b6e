#pragma once

#include <cstdint>
#include <vector>

namespace relicta::test {

// A plain LZNT1 encoder written from the format, independent of the decoder: greedy
// longest matches, chunks of 4096 bytes, a chunk stored raw when it does not shrink
// (unless `allowRaw` is false).
std::vector<uint8_t> Lznt1Compress(const std::vector<uint8_t>& data, bool allowRaw = true);

}  // namespace relicta::test
