#pragma once
// The volume bitmap (clusters in use), the MFT bitmap (records in use), bad clusters.

#include <cstdint>
#include <vector>

#include "ntfs/runs.h"
#include "platform/platform.h"

namespace relicta::ntfs {

inline constexpr uint8_t kBitmapFill = 0xAB;  // bits no source covered

// One bit per cluster (on FAT: bit i is cluster i + 2); set means in use.
extern std::vector<uint8_t> VolumeBitmap;
extern int64_t VolumeBitmapBits;
// Where the bitmap file lies on disk (NTFS); grows past 100 runs.
extern std::vector<Run> VolumeBitmapRun;
// One bit per MFT record; set means in use.
extern std::vector<uint8_t> mftbitmapptr;
extern int64_t MftBitmapRecords;

// Bytes of the volume bitmap: whole 64-bit groups.
uint64_t VolumeBitmapBytesFor(int64_t clusters);

void LoadVolumeBitmap(platform::Handle hVolume);
void ReadVolumeBitmapRuns(platform::Handle hVolume, std::span<uint8_t> buffer);
void LoadMftBitmap(platform::Handle hVolume);
void CheckBadClusterFile(platform::Handle hVolume);

// Sets `bit` when the bitmap holds it.
void SetBit(std::vector<uint8_t>& bitmap, int64_t bit);
bool BitSet(const std::vector<uint8_t>& bitmap, int64_t bit);

// Whether a FAT or exFAT cluster (numbered from 2) is free by the volume bitmap; a cluster
// the bitmap does not cover counts as used.
bool FatClusterFree(int64_t cluster);
int64_t CountSetBits(const std::vector<uint8_t>& bitmap, int64_t bits);

// Whether MFT record `number` is in use; true while no MFT bitmap is loaded.
bool MftBitmapSays(uint32_t number);

void FreeBitmaps();

}  // namespace relicta::ntfs
