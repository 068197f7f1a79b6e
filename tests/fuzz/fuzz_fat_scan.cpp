// The FAT scan over a volume whose FAT, root directory and first data clusters come from
// the input.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "scan/found_files.h"
#include "scan/scan_driver.h"
#include "support/fat_builder.h"

using namespace relicta;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static test::FatImage image;
    // The input is laid over the root directory and the clusters after it; its tail over
    // the start of the FAT.
    const size_t root = test::FatImage::kRootSector * 512;
    const size_t n = std::min<size_t>(size, 16384 + 16 * test::FatImage::kClusterBytes);
    const fuzz::Patch directories(image.bytes, root, data, n);
    const size_t fatBytes = std::min<size_t>(size / 4, 4096);
    const fuzz::Patch fat(image.bytes, 512 + 4, data + size - fatBytes, fatBytes);
    fuzz::Session session;
    session.Lend(image.bytes, "FAT");
    fuzz::ScanDriveC();
    return 0;
}
