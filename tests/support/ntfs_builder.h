#pragma once
// Crafted NTFS records and a small NTFS volume in memory, for tests and fuzz seeds.

#include <cstdint>
#include <string>
#include <vector>

namespace relicta::test {

class RecordBuilder {
  public:
    explicit RecordBuilder(uint32_t size = 1024) : size_(size) {}

    RecordBuilder& Flags(uint16_t flags);
    RecordBuilder& Sequence(uint16_t sequence);
    RecordBuilder& Base(uint32_t baseRecord);  // an extension record of `baseRecord`
    RecordBuilder& UsaOffset(uint16_t offset);
    RecordBuilder& Resident(uint32_t type, std::vector<uint8_t> value, std::u16string name = u"");
    RecordBuilder& NonResident(uint32_t type, std::vector<uint8_t> runs, int64_t fileSize,
                               std::u16string name = u"", int64_t lowestVcn = 0,
                               uint16_t flags = 0);
    // Raw attribute bytes, for malformed cases.
    RecordBuilder& RawAttribute(std::vector<uint8_t> bytes);

    // The record as stored on disk: the last word of every 512 bytes moved into the
    // update-sequence array and replaced by the check word.
    std::vector<uint8_t> Build() const;
    // The record as a reader sees it after the fixups.
    std::vector<uint8_t> BuildUnprotected() const;

  private:
    uint32_t size_;
    uint16_t flags_ = 1;
    uint16_t sequence_ = 1;
    uint32_t base_ = 0;
    uint16_t usaOffset_ = 48;
    std::vector<std::vector<uint8_t>> attributes_;
};

// A volume of 4096-byte clusters with 1024-byte records: boot sector, an MFT of `records`
// records at cluster 4, the MFT bitmap, the volume bitmap file (record 6) at cluster 40,
// a volume record (3), root directory (5) and bad-cluster file (8).
class NtfsImage {
  public:
    static constexpr uint32_t kClusterBytes = 4096;
    static constexpr uint32_t kRecordBytes = 1024;
    static constexpr int64_t kMftLcn = 4;
    static constexpr int64_t kBitmapLcn = 40;

    explicit NtfsImage(uint32_t records = 128, uint32_t clusters = 2048);

    void SetRecord(uint32_t number, const std::vector<uint8_t>& onDisk);
    void SetRecordInUse(uint32_t number, bool inUse);  // MFT bitmap bit
    std::size_t RecordOffset(uint32_t number) const;
    void Rebuild();  // rewrites record 0 after bitmap changes

    std::vector<uint8_t> bytes;
    uint32_t records;
    uint32_t clusters;
    std::vector<uint8_t> mftBitmap;
};

std::vector<uint8_t> Utf16Bytes(const std::u16string& text);

// A file as the scan sees it: standard information (modified 2021-06-07 08:09:10 UTC),
// a file name under `parent`, and a directory with an index root.
std::vector<uint8_t> Si(uint32_t attributes = 0x20);
std::vector<uint8_t> Fn(uint32_t parent, const std::u16string& name, uint16_t parentSequence = 0,
                        uint32_t attributes = 0x20);
RecordBuilder Named(uint16_t flags, uint32_t parent, const std::u16string& name,
                    uint16_t sequence = 1, uint32_t attributes = 0x20);
RecordBuilder Directory(uint16_t flags, uint32_t parent, const std::u16string& name,
                        uint16_t sequence = 1);

}  // namespace relicta::test
