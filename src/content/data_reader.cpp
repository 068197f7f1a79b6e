#include "content/data_reader.h"

#include <algorithm>
#include <cstring>

namespace relicta::content {

bool MemoryReader::Read(uint64_t offset, std::span<uint8_t> out) {
    if (offset > bytes_.size() || out.size() > bytes_.size() - offset) {
        return false;
    }
    std::memcpy(out.data(), bytes_.data() + offset, out.size());
    return true;
}

std::span<const uint8_t> MemoryReader::View(uint64_t offset, std::size_t n) {
    if (offset > bytes_.size() || n > bytes_.size() - offset) {
        return {};
    }
    return bytes_.subspan(static_cast<std::size_t>(offset), n);
}

bool HeadReader::Read(uint64_t offset, std::span<uint8_t> out) {
    if (head_.Read(offset, out)) {
        return true;
    }
    wantedMore_ = wantedMore_ || (offset <= size_ && out.size() <= size_ - offset);
    return false;
}

std::span<const uint8_t> HeadReader::View(uint64_t offset, std::size_t n) {
    return head_.View(offset, n);
}

std::span<const uint8_t> Window::At(uint64_t offset, std::size_t n) {
    const uint64_t size = data_.Size();
    if (offset > size || n > size - offset) {
        return {};
    }
    if (const std::span<const uint8_t> view = data_.View(offset, n); view.size() == n && n > 0) {
        return view;
    }
    if (n > kWindowBytes) {
        large_.resize(n);
        return data_.Read(offset, large_) ? std::span<const uint8_t>(large_)
                                          : std::span<const uint8_t>();
    }
    if (offset < start_ || offset + n > start_ + held_) {
        bytes_.resize(kWindowBytes);
        start_ = offset;
        const std::size_t fill = filled_ ? kWindowBytes : std::max(kFirstBytes, n);
        filled_ = true;
        held_ = static_cast<std::size_t>(std::min<uint64_t>(fill, size - offset));
        if (!data_.Read(start_, std::span<uint8_t>(bytes_).first(held_))) {
            held_ = 0;
            return {};
        }
    }
    return std::span<const uint8_t>(bytes_).subspan(static_cast<std::size_t>(offset - start_), n);
}

std::size_t Window::BlockAt(uint64_t pos) const {
    const uint64_t left = pos < Size() ? Size() - pos : 0;
    return static_cast<std::size_t>(
        std::min<uint64_t>(pos == 0 ? kFirstBytes : kWindowBytes, left));
}

bool Window::Byte(uint64_t offset, uint8_t& value) {
    const std::span<const uint8_t> b = At(offset, 1);
    if (b.empty()) {
        return false;
    }
    value = b[0];
    return true;
}

}  // namespace relicta::content
