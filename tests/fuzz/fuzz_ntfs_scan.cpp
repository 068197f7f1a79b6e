// The NTFS scan over an MFT whose user records come from the input.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "scan/found_files.h"
#include "scan/scan_driver.h"
#include "support/ntfs_builder.h"

using namespace relicta;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static test::NtfsImage image(64, 512);
    const fuzz::Patch records = fuzz::PatchUserRecords(image.bytes, data, size);
    fuzz::Session session;
    session.Lend(image.bytes, (size % 2) != 0 ? "NTFS" : "RAW");
    // As from a container: folders' paths noted while the records stream past.
    session.os.Drive('C').readsWholeChunks = (size % 4) >= 2;
    fuzz::ScanDriveC();
    return 0;
}
