// The exFAT scan over a volume whose root directory, following clusters, FAT and bitmap
// come from the input.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"

using namespace relicta;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static test::ExFatImage image;
    const fuzz::ExFatPatches patches(image, data, size);
    fuzz::Session session;
    session.Lend(image.bytes, "exFAT");
    fuzz::ScanDriveC();
    return 0;
}
