#pragma once
// The NTFS deleted-file scan: every free MFT record that still describes a named file.

#include <cstdint>
#include <optional>
#include <string>

#include "bytes/le_bytes.h"
#include "ntfs/mft_record.h"
#include "scan/scan_context.h"

namespace relicta::scan {

// A reference to a record: its number and the sequence number it had (0: not checked).
struct FileReference {
    uint32_t record = 0;
    uint16_t sequence = 0;
};

// A $STANDARD_INFORMATION value; its four times are UTC FILETIMEs.
struct StandardInformation {
    uint64_t modified = 0;
    uint32_t attributes = 0;
    uint64_t created = 0;
    uint64_t changed = 0;
    uint64_t accessed = 0;
};

// A $FILE_NAME value.
struct FileName {
    FileReference parent;
    uint32_t attributes = 0;
    std::u16string name;
};

// The values as a record holds them; nullopt when one is cut short.
std::optional<StandardInformation> ParseStandardInformation(bytes::Bytes value);
std::optional<FileName> ParseFileName(bytes::Bytes value);

// The checks before the scan, then the scan itself.
void PrepareAndScanNtfsVolume(ScanContext& context);
void ScanNtfsVolume(ScanContext& context);
void EvaluateMftRecord(const ntfs::MftRecordPtr& record, uint32_t number, ScanContext& context);

// The directory path of a parent reference, "X:\dir\sub\" (empty for parent 0). With a
// cache, directories whose chain reached the root once are not walked again.
SharedText BuildDirectoryPath(FileReference parent, DirectoryPathCache* cache = nullptr);

}  // namespace relicta::scan
