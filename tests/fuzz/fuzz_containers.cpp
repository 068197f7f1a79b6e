// Container headers of any shape, to the format detector and each library's opening and
// reading: the first byte picks the signature the rest follows.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "platform/image_source.h"

namespace {

struct Kind {
    std::string_view signature;
    const char* suffix;
};
const Kind kKinds[] = {
    {{"EVF\x09\x0d\x0a\xff\x00", 8}, ".E01"},
    {"vhdxfile", ".vhdx"},
    {"conectix", ".vhd"},
    {"KDMV", ".vmdk"},
    {"# Disk DescriptorFile\n", ".vmdk"},
    {"QFI\xfb", ".qcow2"},
    {"", ".001"},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const Kind& kind = kKinds[data[0] % (sizeof kKinds / sizeof kKinds[0])];
    const std::string path = "/tmp/relicta-fuzz-" + std::to_string(::getpid()) + kind.suffix;
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(kind.signature.data(), 1, kind.signature.size(), f);
        std::fwrite(data + 1, 1, size - 1, f);
        std::fclose(f);
    }
    relicta::platform::OpenedImage image = relicta::platform::OpenImage(path);
    if (image.source) {
        std::vector<uint8_t> buffer(4096);
        const uint64_t disk = image.source->Size();
        for (uint64_t offset : {uint64_t{0}, disk / 2, disk > 4096 ? disk - 4096 : 0}) {
            std::size_t got = 0;
            image.source->ReadAt(offset, buffer, got);
            if (got > buffer.size()) {
                __builtin_trap();
            }
        }
    }
    std::remove(path.c_str());
    return 0;
}
