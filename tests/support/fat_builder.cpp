#include "support/fat_builder.h"

#include <cstring>

#include "support/boot_sectors.h"

namespace relicta::test {
namespace {
constexpr std::size_t kSlot = 32;
constexpr std::size_t kLongNameChars[13] = {0x01, 0x03, 0x05, 0x07, 0x09, 0x0E, 0x10,
                                            0x12, 0x14, 0x16, 0x18, 0x1C, 0x1E};
}  // namespace

std::vector<uint8_t> EntryBytes(const DirEntry& e) {
    std::vector<uint8_t> b(kSlot, 0);
    std::memcpy(b.data(), e.name83.data(), std::min<std::size_t>(11, e.name83.size()));
    if (e.deleted) {
        b[0] = 0xE5;
    }
    b[0x0B] = e.attributes;
    b[0x0C] = e.caseFlags;
    PutLe(b, 0x14, e.cluster >> 16, 2);
    PutLe(b, 0x16, e.time, 2);
    PutLe(b, 0x18, e.date, 2);
    PutLe(b, 0x1A, e.cluster & 0xFFFF, 2);
    PutLe(b, 0x1C, e.size, 4);
    return b;
}

DirEntry File(const char* name83, uint32_t cluster, uint32_t size, bool deleted) {
    DirEntry e;
    e.name83 = name83;
    e.cluster = cluster;
    e.size = size;
    e.deleted = deleted;
    return e;
}

FatImage::FatImage() {
    FatLayout layout;
    layout.totalSectors = 40000;
    bytes = FatBootSector(layout);
    bytes.resize(std::size_t{40000} * 512, 0);
    SetFat(0, 0xFFF8);
    SetFat(1, 0xFFFF);
}

std::size_t FatImage::SlotOffset(uint32_t cluster, std::size_t slot) const {
    if (cluster == 0) {
        return std::size_t{kRootSector} * 512 + slot * kSlot;
    }
    return std::size_t{kDataSector} * 512 + std::size_t{cluster - 2} * kClusterBytes + slot * kSlot;
}

void FatImage::RawSlot(uint32_t cluster, std::size_t slot, const std::vector<uint8_t>& b) {
    std::copy(b.begin(), b.end(),
              bytes.begin() + static_cast<std::ptrdiff_t>(SlotOffset(cluster, slot)));
}

void FatImage::RootEntry(std::size_t slot, const DirEntry& entry) {
    RawSlot(0, slot, EntryBytes(entry));
}

void FatImage::ClusterEntry(uint32_t cluster, std::size_t slot, const DirEntry& entry) {
    RawSlot(cluster, slot, EntryBytes(entry));
}

void FatImage::LongName(uint32_t cluster, std::size_t slot, const std::u16string& name,
                        bool deleted) {
    const std::size_t slots = (name.size() + 12) / 13;
    for (std::size_t k = 0; k < slots; ++k) {
        std::vector<uint8_t> b(kSlot, 0);
        b[0] = deleted ? 0xE5 : static_cast<uint8_t>((k + 1) | (k + 1 == slots ? 0x40 : 0));
        b[0x0B] = 0x0F;
        b[0x0D] = 0x5A;  // checksum, the same in every slot of the name
        for (std::size_t c = 0; c < 13; ++c) {
            const std::size_t at = k * 13 + c;
            const uint16_t unit = at < name.size() ? name[at] : (at == name.size() ? 0 : 0xFFFF);
            PutLe(b, kLongNameChars[c], unit, 2);
        }
        RawSlot(cluster, slot - 1 - k, b);
    }
}

void FatImage::DirectoryHeader(uint32_t cluster, uint32_t parent) {
    DirEntry dot;
    dot.name83 = ".          ";
    dot.attributes = 0x10;
    dot.cluster = cluster;
    ClusterEntry(cluster, 0, dot);
    dot.name83 = "..         ";
    dot.cluster = parent;
    ClusterEntry(cluster, 1, dot);
}

void FatImage::SetFat(uint32_t cluster, uint16_t value) {
    for (uint32_t fat = 0; fat < 2; ++fat) {
        PutLe(bytes, 512 + std::size_t{fat} * 64 * 512 + std::size_t{cluster} * 2, value, 2);
    }
}

}  // namespace relicta::test
