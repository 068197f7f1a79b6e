#pragma once
// MFT records: read raw from the MFT, fixups undone, kept in a small cache.

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "bytes/le_bytes.h"
#include "platform/platform.h"

namespace relicta::ntfs {

struct MftRecord {
    uint32_t number = 0;
    std::vector<uint8_t> bytes;  // BytesPerFileRecordSegment long

    bytes::Bytes View() const { return bytes; }
    uint16_t Flags() const;
    uint16_t FirstAttributeOffset() const;
    uint16_t SequenceNumber() const;
    bool HasSignature(const char* signature) const;
};

// Records below 100 stay cached until the volume is closed; others are the holder's,
// given back with ReleaseMftRecord.
using MftRecordPtr = std::shared_ptr<MftRecord>;

inline constexpr uint32_t kCachedLowRecords = 100;
inline constexpr int kRecentRecords = 10;
inline constexpr uint32_t kNoRecord = 0xFFFFFFFF;

struct RecentRecords {
    std::array<uint32_t, kRecentRecords> numbers;
    std::array<MftRecordPtr, kRecentRecords> records;
    RecentRecords() { numbers.fill(kNoRecord); }
    MftRecordPtr Find(uint32_t number) const;
    void Push(uint32_t number, MftRecordPtr record);
    void Forget(const MftRecord* record);
    void Clear();
};

// The record cache: records 0..99, and the ten latest file and directory records.
extern std::array<MftRecordPtr, kCachedLowRecords> mftrecptr;
extern RecentRecords last10mftptr;
extern RecentRecords last10dirptr;

// The LCN where the last attribute read found its first cluster (for messages).
extern int64_t LastReadLcn;

// Undoes the update-sequence fixups of a record in place; false (and "BAAD" written over
// the signature) when a protected word does not carry the check value.
bool ApplyFixups(std::span<uint8_t> record, std::size_t size);

// Record N, verified and fixed up, or nullptr. `rawOnly` forbids the file system's own
// record request (never available here: records are always read raw).
MftRecordPtr ReadMftRecord(platform::Handle hVolume, uint32_t number, bool rawOnly);
// The first bytes of record `number` as the volume holds them (fixups not undone: enough for
// the header), read without making a record; false when the MFT is not one plain run list or
// they cannot be read.
bool PeekMftRecordHeader(platform::Handle hVolume, uint32_t number, std::span<uint8_t> header);

void ReleaseMftRecord(MftRecordPtr& record);

// Tells the source where MFT records [first, first + count) lie, so that the device fetches
// them before they are read; nothing when the MFT is not one plain run list.
void WillReadMftRecords(platform::Handle hVolume, int64_t first, int64_t count);

// Keeps the MFT fetched a stretch ahead of a pass that reads its records in order: the device
// reads while the records before are evaluated, in large requests.
class MftFetchAhead {
  public:
    explicit MftFetchAhead(int64_t records) : records_(records) {}
    // Before record `number` is read (or passed over).
    void Before(platform::Handle hVolume, int64_t number);

  private:
    int64_t records_;
    int64_t fetchedEnd_ = 0;
};

// Empties every cache slot (volume open and close).
void ReleaseCachedRecords();

// MFT records of the open volume that lie (in part) in sectors found unreadable.
uint32_t RecordsInUnreadableSectors(platform::Handle hVolume);

}  // namespace relicta::ntfs
