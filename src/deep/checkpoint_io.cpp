#include "deep/checkpoint_io.h"

#include <algorithm>
#include <cstring>

namespace relicta::deep {
namespace {

constexpr uint64_t kFnvPrime = 1099511628211ULL;

}  // namespace

void RunningHash::Add(std::span<const uint8_t> bytes) {
    uint64_t h = value_;
    for (const uint8_t b : bytes) {
        h = (h ^ b) * kFnvPrime;
    }
    value_ = h;
}

CheckpointWriter::CheckpointWriter(std::FILE* file) : file_(file), buffer_(kBufferBytes) {}

CheckpointWriter::~CheckpointWriter() {
    Flush();
}

void CheckpointWriter::Raw(std::span<const uint8_t> bytes) {
    if (bytes.empty()) {
        return;
    }
    hash_.Add(bytes);
    if (used_ + bytes.size() > buffer_.size()) {
        Flush();
    }
    if (bytes.size() >= buffer_.size()) {
        ok_ = ok_ && std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size();
        return;
    }
    std::memcpy(buffer_.data() + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
}

void CheckpointWriter::Blob(std::span<const uint8_t> bytes) {
    (*this)(static_cast<uint32_t>(bytes.size()));
    Raw(bytes);
}

bool CheckpointWriter::Flush() {
    if (used_ > 0) {
        ok_ = ok_ && std::fwrite(buffer_.data(), 1, used_, file_) == used_;
        used_ = 0;
    }
    return ok_;
}

CheckpointReader::CheckpointReader(std::FILE* file, uint64_t length, int64_t driveLength)
    : file_(file), left_(length), driveLength_(driveLength) {}

bool CheckpointReader::Fill() {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(at_));
    at_ = 0;
    const std::size_t want = static_cast<std::size_t>(
        std::min<uint64_t>(kBufferBytes - buffer_.size(), left_ - buffer_.size()));
    const std::size_t had = buffer_.size();
    buffer_.resize(had + want);
    const std::size_t got = std::fread(buffer_.data() + had, 1, want, file_);
    buffer_.resize(had + got);
    return got == want;
}

void CheckpointReader::Raw(std::span<uint8_t> out) {
    if (out.empty()) {
        return;
    }
    if (ok_ && out.size() <= buffer_.size() - at_) {
        // Nearly every field: from what is buffered.
        std::memcpy(out.data(), buffer_.data() + at_, out.size());
        at_ += out.size();
        left_ -= out.size();
        hash_.Add(out);
        return;
    }
    if (!ok_ || out.size() > left_) {
        ok_ = false;
        std::fill(out.begin(), out.end(), 0);
        return;
    }
    std::size_t done = 0;
    while (done < out.size()) {
        if (at_ == buffer_.size() && !Fill() && at_ == buffer_.size()) {
            ok_ = false;
            std::fill(out.begin() + static_cast<std::ptrdiff_t>(done), out.end(), 0);
            return;
        }
        const std::size_t n = std::min(out.size() - done, buffer_.size() - at_);
        std::memcpy(out.data() + done, buffer_.data() + at_, n);
        at_ += n;
        done += n;
    }
    left_ -= out.size();
    hash_.Add(out);
}

void CheckpointReader::Blob(std::vector<uint8_t>& out, std::size_t max) {
    uint32_t n = 0;
    (*this)(n);
    if (n > max || n > left_) {
        ok_ = false;
        out.clear();
        return;
    }
    out.resize(n);
    Raw(out);
}

void CheckpointReader::String(std::string& out) {
    uint32_t n = 0;
    (*this)(n);
    if (n > kMaxStringBytes || n > left_) {
        ok_ = false;
        out.clear();
        return;
    }
    out.resize(n);
    Raw({reinterpret_cast<uint8_t*>(out.data()), out.size()});
}

std::size_t CheckpointReader::Count(std::size_t itemBytes, std::size_t max) {
    uint64_t n = 0;
    (*this)(n);
    if (!ok_ || n > max || (itemBytes > 0 && n > left_ / itemBytes)) {
        ok_ = false;
        return 0;
    }
    return static_cast<std::size_t>(n);
}

int64_t CheckpointReader::Offset(int64_t after) {
    int64_t offset = 0;
    (*this)(offset);
    if (offset < 0 || offset <= after || offset >= driveLength_) {
        ok_ = false;
    }
    return offset;
}

void CheckpointReader::Skip(uint64_t n) {
    uint8_t scratch[4096];
    while (ok_ && n > 0) {
        const std::size_t step = static_cast<std::size_t>(std::min<uint64_t>(n, sizeof scratch));
        Raw({scratch, step});
        n -= step;
    }
}

}  // namespace relicta::deep
