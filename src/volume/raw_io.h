#pragma once
// The only way the volume is read: whole sectors, whole clusters, and the FAT.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/platform.h"

namespace relicta::volume {

// Every read goes around the sectors found unreadable (kept in the Vcb, left zero in the buffer
// and reported once, at the end); only a read past the volume's end is an inconsistency.

// Reads `numberToRead` sectors from `sectorNumber` into `buffer`. An empty buffer only
// checks the position. What cannot be read is left zero in the buffer.
void ReadLogicalSectors(platform::Handle hVolume, int64_t sectorNumber, std::span<uint8_t> buffer,
                        uint32_t numberToRead);

// Reads `numberToRead` clusters; on FAT cluster numbers start at 2 in the file area.
void ReadClusters(platform::Handle hVolume, int64_t cluster, std::span<uint8_t> buffer,
                  uint32_t numberToRead);

// Reads `buffer.size()` bytes from the start of `cluster` on: the clusters a file's last
// bytes lie in, without the rest of the last one.
void ReadClusterBytes(platform::Handle hVolume, int64_t cluster, std::span<uint8_t> buffer);

// Where `cluster` begins, in bytes from the volume's start; nullopt past what an offset holds.
std::optional<int64_t> ClusterOffset(int64_t cluster);

// Reads bytes at a byte offset of the volume; a negative offset shows the system error. What
// cannot be read is left zero. Returns the bytes read (without the unreadable ones).
uint64_t ReadVolumeBytes(platform::Handle hVolume, int64_t offset, std::span<uint8_t> buffer);
// The same without any message: true only when every byte was read.
bool TryReadVolumeBytes(platform::Handle hVolume, int64_t offset, std::span<uint8_t> buffer);
// Tells the source that [offset, offset + length) of the volume is read soon, in order, so
// that the device may fetch it while the caller works on what it read before.
void WillReadVolumeBytes(platform::Handle hVolume, int64_t offset, uint64_t length);
// Whether any of [offset, offset + length) of the open volume was found unreadable.
bool AnyUnreadable(int64_t offset, uint64_t length);

// Sector 0 as 512 bytes, creating the Vcb first when there is none.
std::vector<uint8_t> ReadBootSector(platform::Handle hVolume);

// Fills what was unreadable of `bytes` (read from `offset`) from the copy of the same table
// `distance` bytes further on (none: there is no other copy). False when some bytes could be
// read from neither; they stay zero. The report says which copy served.
bool PatchFromOtherCopy(int64_t offset, std::span<uint8_t> bytes, std::optional<int64_t> distance);

// The first FAT, read whole (FAT size x BytesPerSector bytes), with the second copy standing in
// for its unreadable sectors.
std::vector<uint8_t> ReadFat(platform::Handle hVolume);

}  // namespace relicta::volume
