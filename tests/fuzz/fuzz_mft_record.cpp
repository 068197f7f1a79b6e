// MFT records from the input placed in a crafted volume (the first one, and as many more
// as the input holds, so attribute lists can lead between them): fixups, attribute walks,
// run lists and attribute data, raw and expanded.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"
#include "ntfs/attribute.h"
#include "ntfs/attribute_data.h"
#include "ntfs/mft_layout.h"
#include "ntfs/mft_record.h"
#include "ntfs/runs.h"
#include "support/ntfs_builder.h"

using namespace relicta;

namespace {
constexpr uint32_t kFirst = 40;
constexpr uint32_t kTypes[] = {
    ntfs::kStandardInformation, ntfs::kAttributeList, ntfs::kFileName, ntfs::kData,
    ntfs::kIndexRoot,           ntfs::kBitmap};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static test::NtfsImage image(64, 512);
    const size_t records = std::min<size_t>(size / test::NtfsImage::kRecordBytes + 1, 8);
    const fuzz::Patch mft(image.bytes, image.RecordOffset(kFirst), data,
                          std::min<size_t>(size, records * test::NtfsImage::kRecordBytes));
    // Some data clusters for the run lists to point at.
    const fuzz::Patch clusters(image.bytes, 100 * test::NtfsImage::kClusterBytes, data,
                               std::min<size_t>(size, 64 * 1024));
    fuzz::Session session;
    session.Lend(image.bytes, "NTFS");
    try {
        const std::optional<platform::Handle> h = ntfs::OpenNtfsVolume('C');
        if (!h || !platform::IsOpenHandle(*h)) {
            return 0;
        }
        std::vector<uint8_t> raw(data, data + std::min<size_t>(size, 4096));
        ntfs::ApplyFixups(raw, raw.size());
        for (uint32_t n = kFirst; n < kFirst + records; ++n) {
            ntfs::MftRecordPtr record = ntfs::ReadMftRecord(*h, n, true);
            for (uint32_t type : kTypes) {
                for (int instance = 0; instance < 2; ++instance) {
                    const std::optional<ntfs::Attribute> a =
                        ntfs::FindAttribute(*h, record, type, std::nullopt, instance);
                    if (!a) {
                        continue;
                    }
                    ntfs::CountRuns(&*a, true);
                    const int64_t length = std::min<int64_t>(ntfs::Get_Attr_Datasize(a), 1 << 20);
                    ntfs::ReadAttributeData(*h, *a, 0, length, true);
                    ntfs::ReadAttributeData(*h, *a, 0, length, false);
                    ntfs::ReadAttributeData(*h, *a, 5000, 100, false);
                }
            }
            if (record) {
                ntfs::ReleaseMftRecord(record);
            }
        }
    } catch (const app::ProcessExit&) {
    }
    return 0;
}
