#pragma once
// What the format tests share: running a format over bytes, and a scratch directory for the
// files real tools make at test time.

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "content/formats/format.h"

namespace relicta::content::test {

using Bytes = std::vector<uint8_t>;

inline Bytes Of(std::string_view text) {
    return {text.begin(), text.end()};
}

inline Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes RandomBytes(std::size_t n, unsigned seed = 7) {
    std::mt19937 random(seed);
    Bytes b(n);
    std::generate(b.begin(), b.end(), [&] { return static_cast<uint8_t>(random()); });
    return b;
}

inline bool IsHeader(const Format& format, const Bytes& b) {
    return format.IsHeader(std::span(b).first(std::min(b.size(), kHeaderBytes)));
}

inline FileEnd EndOf(const Format& format, const Bytes& b) {
    MemoryReader reader(b);
    Window window(reader);
    return format.FindEnd(window);
}

inline StructureResult CheckOf(const Format& format, const Bytes& b) {
    MemoryReader reader(b);
    Window window(reader);
    return format.Check(window);
}

inline Metadata MetadataOf(const Format& format, const Bytes& b) {
    MemoryReader reader(b);
    Window window(reader);
    return format.ReadMetadata(window, b.size());
}

inline Bytes ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// A directory of its own for the files a test makes, removed after it.
class Scratch {
  public:
    Scratch() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "relicta-formats-XXXXXX").string();
        dir_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    const std::string& Dir() const { return dir_; }

  private:
    std::string dir_;
};

}  // namespace relicta::content::test
