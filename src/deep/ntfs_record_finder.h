#pragma once
// NTFS FILE records anywhere on the drive, each kept as a compact summary of the file it
// described: enough to place it in its old MFT and to find its data again.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "deep/checkpoint_io.h"
#include "deep/finder.h"
#include "ntfs/attribute.h"

namespace relicta::deep {

// `clusters` clusters of a file's data from cluster `lcn`, or clusters the volume never
// stored (a sparse run) where lcn is kSparse.
struct OldRun {
    static constexpr int64_t kSparse = -1;
    int64_t lcn = kSparse;
    int64_t clusters = 0;
    friend bool operator==(const OldRun&, const OldRun&) = default;
};

// What a record says of its unnamed $DATA.
enum class OldData : uint8_t {
    None,        // none in the record (or only in another record its attribute list names)
    Resident,    // the bytes are in the record
    Runs,        // its run list: clusters of the old volume
    Compressed,  // compressed or encrypted: its clusters do not hold the bytes as they are
};

struct FoundNtfsRecord {
    int64_t offset = 0;  // where it lies on the drive
    uint32_t number = 0;
    uint16_t sequence = 0;
    uint16_t flags = 0;  // the header's: in use, directory
    uint32_t recordBytes = 0;
    uint32_t attributes = 0;  // $STANDARD_INFORMATION's
    uint64_t parent = 0;      // $FILE_NAME's parent reference: record | sequence << 48
    uint64_t created = 0;     // UTC FILETIMEs
    uint64_t modified = 0;
    uint64_t changed = 0;
    uint64_t accessed = 0;
    int64_t dataSize = 0;
    int64_t allocatedSize = 0;  // non-resident data
    int64_t validLength = 0;    // non-resident data: bytes past it read as zeros
    OldData data = OldData::None;
    // Its runs in NtfsRecordFinder::Runs(), or its resident bytes in Resident().
    std::size_t first = 0;
    std::size_t count = 0;
    std::string name;  // UTF-8; a long name rather than its 8.3 alias

    bool IsDirectory() const;
    bool InUse() const;
};

class NtfsRecordFinder final : public Finder {
  public:
    NtfsRecordFinder();
    void Feed(const Block& block) override;

    const std::vector<FoundNtfsRecord>& Found() const { return found_; }
    std::span<const OldRun> RunsOf(const FoundNtfsRecord& record) const;
    std::span<const uint8_t> ResidentOf(const FoundNtfsRecord& record) const;
    // What was found, for a checkpoint; Load reads it back, false (the finder then unusable)
    // when it is not what Feed could have found.
    void Save(CheckpointWriter& out) const;
    bool Load(CheckpointReader& in);

  private:
    // An MFT of this many records is a volume of as many files: past it the rest is noise.
    static constexpr std::size_t kMaxFound = std::size_t{1} << 23;

    // Reads the record that `bytes` begin with (it lies at drive offset `offset`).
    void Read(std::span<const uint8_t> bytes, int64_t offset);
    // Summarises the record in scratch_, its fixups undone; false when it names no file.
    bool Summarize(FoundNtfsRecord& found);
    void KeepData(const ntfs::Attribute& data, FoundNtfsRecord& found);

    std::vector<FoundNtfsRecord> found_;
    std::vector<OldRun> runs_;
    std::vector<uint8_t> resident_;
    ntfs::MftRecordPtr scratch_;  // a copy of the record read, its fixups undone
};

}  // namespace relicta::deep
