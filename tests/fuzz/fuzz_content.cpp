// Arbitrary bytes to every structure check of the content check: they parse untrusted data.
#include <cstddef>
#include <cstdint>
#include <span>

#include "content/structure_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace relicta::content;
    MemoryReader bytes(std::span<const uint8_t>(data, size));
    for (Family family : {Family::Jpeg, Family::Png, Family::Gif, Family::Pdf, Family::Zip,
                          Family::Mp4, Family::Riff, Family::Mp3, Family::Text}) {
        Window window(bytes);
        const StructureResult result = CheckStructure(family, window);
        if (result.ok && result.signatureMissing) {
            __builtin_trap();
        }
    }
    return 0;
}
