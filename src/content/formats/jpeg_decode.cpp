#include "content/formats/jpeg_decode.h"

#include <turbojpeg.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <vector>

#include "bytes/be_bytes.h"
#include "content/formats/jpeg_layout.h"

namespace relicta::content {
namespace {

// A decompressor per thread: the carver decodes on every core.
tjhandle ThreadDecompressor() {
    struct Destroy {
        void operator()(void* handle) const { tjDestroy(handle); }
    };
    thread_local const std::unique_ptr<void, Destroy> handle(tjInitDecompress());
    return handle.get();
}

// The smallest scale the library offers: every coefficient is still decoded, few are
// transformed.
tjscalingfactor SmallestScale() {
    int count = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&count);
    tjscalingfactor smallest{1, 1};
    for (int i = 0; factors != nullptr && i < count; ++i) {
        if (factors[i].num * smallest.denom < smallest.num * factors[i].denom) {
            smallest = factors[i];
        }
    }
    return smallest;
}

// Beyond this a scaled-down picture is not a photo: such a header is refused unread.
constexpr uint64_t kMaxScaledBytes = uint64_t{256} << 20;
// What a thread keeps for the next decode; a larger picture's room is given back.
constexpr std::size_t kKeptBytes = std::size_t{16} << 20;

// Where the first scan's entropy-coded data begins: past the segments before it, the
// thumbnails and padding of APP segments included. The size when no scan is found.
std::size_t EntropyStart(std::span<const uint8_t> jpeg) {
    std::size_t at = jpeg::MarkerBytes;
    while (bytes::InBounds(jpeg, at, jpeg::SegmentData) && jpeg[at] == jpeg::MarkerPrefix) {
        const uint8_t marker = jpeg[at + 1];
        const std::size_t length = bytes::Be16(jpeg, at + jpeg::MarkerBytes);
        if (length < jpeg::MinLength) {
            break;
        }
        at += jpeg::MarkerBytes + length;
        if (marker == jpeg::Sos) {
            return std::min(at, jpeg.size());
        }
    }
    return jpeg.size();
}

// A sector's worth of zero bytes in entropy-coded data is a drive's unwritten space, which the
// decoder may read through without a warning; an encoder writes nothing like it.
bool HoldsUnwrittenSpace(std::span<const uint8_t> jpeg) {
    constexpr std::size_t kZeroRun = 512;
    const std::span<const uint8_t> entropy = jpeg.subspan(EntropyStart(jpeg));
    return std::search_n(entropy.begin(), entropy.end(), kZeroRun, uint8_t{0}) != entropy.end();
}

}  // namespace

bool DecodesCleanly(std::span<const uint8_t> jpeg) {
    tjhandle tj = ThreadDecompressor();
    if (tj == nullptr || jpeg.empty() || jpeg.size() > ULONG_MAX || HoldsUnwrittenSpace(jpeg)) {
        return false;
    }
    const auto* bytes = jpeg.data();
    const auto size = static_cast<unsigned long>(jpeg.size());
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colorspace = 0;
    if (tjDecompressHeader3(tj, bytes, size, &width, &height, &subsampling, &colorspace) != 0 ||
        width <= 0 || height <= 0) {
        return false;
    }
    static const tjscalingfactor scale = SmallestScale();
    const int scaledWidth = TJSCALED(width, scale);
    const int scaledHeight = TJSCALED(height, scale);
    // Gray output spares the colour conversion; CMYK pictures cannot be turned gray.
    const bool cmyk = colorspace == TJCS_CMYK || colorspace == TJCS_YCCK;
    const int format = cmyk ? TJPF_CMYK : TJPF_GRAY;
    const uint64_t pixels =
        static_cast<uint64_t>(scaledWidth) * static_cast<uint64_t>(scaledHeight);
    if (pixels * static_cast<uint64_t>(tjPixelSize[format]) > kMaxScaledBytes) {
        return false;
    }
    thread_local std::vector<unsigned char> picture;
    picture.resize(pixels * static_cast<uint64_t>(tjPixelSize[format]));
    // A hostile progressive file may hold thousands of scans: it is refused after a few hundred.
    const bool clean =
        tjDecompress2(
            tj, bytes, size, picture.data(), scaledWidth, 0, scaledHeight, format,
            TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS | TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE) == 0;
    if (picture.capacity() > kKeptBytes) {
        std::vector<unsigned char>().swap(picture);
    }
    return clean;
}

}  // namespace relicta::content
