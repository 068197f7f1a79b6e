#pragma once
// What every format's walk through a file's bytes shares: the words of its verdicts, a bound on
// its loops, and small readers over untrusted bytes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include <zlib.h>

#include "content/data_reader.h"
#include "content/formats/format.h"

namespace relicta::content {

// How much a walk reads at once where it reads on through data (entropy-coded data, a chunk
// to be checksummed).
inline constexpr std::size_t kBlockBytes = std::size_t{64} * 1024;
// Boxes, chunks, frames, entries, segments: a bound on any walk.
inline constexpr uint64_t kMaxItems = 1000000;

inline std::string At(uint64_t offset) {
    return "at byte " + std::to_string(offset);
}

inline StructureResult Ok() {
    return {true, false, {}, 0};
}
// Ok from a walk: the file ends at `end`.
inline StructureResult OkUpTo(uint64_t end) {
    return {true, false, {}, end};
}
inline StructureResult Broken(std::string detail, uint64_t at = 0) {
    return {false, false, std::move(detail), at};
}
inline StructureResult NoSignature(std::string detail) {
    return {false, true, std::move(detail), 0};
}

// A file's end found by its structure.
inline FileEnd EndAt(uint64_t end) {
    return {true, end, false, {}};
}
// A file's end where its bytes stop looking like it (text, audio frames nothing counts): a
// guess.
inline FileEnd GuessedEndAt(uint64_t end) {
    return {true, end, true, {}};
}
// No end found. `at` is where the structure broke: a file whose first piece is followed by
// other data has that piece end at or before it. 0 when it never began.
inline FileEnd NoEnd(std::string detail, uint64_t at = 0) {
    return {false, at, false, std::move(detail)};
}

// A walk through a file that gives Ok with `at` just past the file's end, or where it broke:
// the structure check and the end finder of a format built on it.
using WalkFunction = StructureResult (*)(Window& data);
template <WalkFunction Walk>
StructureResult CheckByWalk(Window& data) {
    StructureResult result = Walk(data);
    if (result.ok) {
        result.at = 0;
    }
    return result;
}
template <WalkFunction Walk>
FileEnd EndByWalk(Window& data) {
    StructureResult result = Walk(data);
    return result.ok ? EndAt(result.at) : NoEnd(std::move(result.detail), result.at);
}

// Whether `text` lies at `at` of `b`.
inline bool Is(std::span<const uint8_t> b, std::size_t at, std::string_view text) {
    return at <= b.size() && text.size() <= b.size() - at &&
           std::memcmp(b.data() + at, text.data(), text.size()) == 0;
}

inline std::string_view AsText(std::span<const uint8_t> b) {
    return {reinterpret_cast<const char*>(b.data()), b.size()};
}

// The 4 characters at `at` of `b` (a chunk's or box's type); empty when not all there.
inline std::string FourCc(std::span<const uint8_t> b, std::size_t at) {
    return at <= b.size() && b.size() - at >= 4 ? std::string(AsText(b.subspan(at, 4)))
                                                : std::string();
}

// Up to `n` bytes from `offset`: fewer where the data ends first.
inline std::span<const uint8_t> UpTo(Window& data, uint64_t offset, std::size_t n) {
    const uint64_t size = data.Size();
    if (offset >= size) {
        return {};
    }
    return data.At(offset, static_cast<std::size_t>(std::min<uint64_t>(n, size - offset)));
}

// The CRC-32 of ZIP and PNG, continued from `crc` (0 to begin): zlib's, several times faster
// than a byte-wise table.
inline uint32_t Crc32(uint32_t crc, std::span<const uint8_t> bytes) {
    constexpr std::size_t kMaxPiece = std::size_t{1} << 30;  // what zlib's length type holds
    uLong c = crc;
    for (std::size_t done = 0; done < bytes.size();) {
        const std::size_t n = std::min(bytes.size() - done, kMaxPiece);
        c = ::crc32(c, bytes.data() + done, static_cast<uInt>(n));
        done += n;
    }
    return static_cast<uint32_t>(c);
}

// The CRC-32 of `length` bytes at `pos`, continued from `crc`, read a block at a time; nullopt
// when they cannot be read.
inline std::optional<uint32_t> CrcOf(Window& data, uint64_t pos, uint64_t length,
                                     uint32_t crc = 0) {
    for (uint64_t done = 0; done < length;) {
        const std::size_t piece =
            static_cast<std::size_t>(std::min<uint64_t>(kBlockBytes, length - done));
        const std::span<const uint8_t> bytes = data.At(pos + done, piece);
        if (bytes.empty()) {
            return std::nullopt;
        }
        crc = Crc32(crc, bytes);
        done += piece;
    }
    return crc;
}

// Where `text` first lies in [from, to) of the data, reading a block at a time; `to` when it
// does not (or the data cannot be read).
inline uint64_t FindForward(Window& data, uint64_t from, uint64_t to, std::string_view text) {
    to = std::min(to, data.Size());
    if (text.empty() || from >= to || text.size() > to - from) {
        return to;
    }
    const std::size_t overlap = text.size() - 1;
    for (uint64_t pos = from; pos < to && to - pos >= text.size();) {
        const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(kBlockBytes, to - pos));
        const std::span<const uint8_t> block = data.At(pos, n);
        if (block.size() < text.size()) {
            return to;
        }
        const std::string_view hay = AsText(block);
        if (const std::size_t hit = hay.find(text); hit != std::string_view::npos) {
            return pos + hit;
        }
        if (pos + n >= to) {
            break;
        }
        pos += n - overlap;
    }
    return to;
}

}  // namespace relicta::content
