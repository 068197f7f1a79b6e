#include "platform/block_probe.h"

#include <blkid.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <memory>
#include <vector>

#include "platform/image_source.h"

namespace relicta::platform {
namespace {

struct ProbeDeleter {
    void operator()(blkid_probe probe) const { blkid_free_probe(probe); }
};
using ProbePtr = std::unique_ptr<std::remove_pointer_t<blkid_probe>, ProbeDeleter>;

ProbePtr NewProbe(int fd, uint64_t offset, uint64_t length) {
    ProbePtr probe(blkid_new_probe());
    if (!probe) {
        errno = ENOMEM;
        return nullptr;
    }
    if (blkid_probe_set_device(probe.get(), fd, static_cast<blkid_loff_t>(offset),
                               static_cast<blkid_loff_t>(length)) != 0) {
        if (errno == 0) {
            errno = EIO;
        }
        return nullptr;
    }
    return probe;
}

std::string Value(blkid_probe probe, const char* name) {
    const char* data = nullptr;
    if (blkid_probe_lookup_value(probe, name, &data, nullptr) == 0 && data != nullptr) {
        return data;
    }
    return {};
}

// MBR types of extended partitions: containers, never volumes.
bool IsExtendedType(int type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

}  // namespace

std::optional<ProbeResult> ProbeFileSystem(int fd, uint64_t offset, uint64_t length) {
    ProbePtr probe = NewProbe(fd, offset, length);
    if (!probe) {
        return std::nullopt;
    }
    blkid_probe_enable_superblocks(probe.get(), 1);
    blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION);
    ProbeResult result;
    const int rc = blkid_do_safeprobe(probe.get());
    if (rc == 0) {
        result.found = true;
        result.type = Value(probe.get(), "TYPE");
        result.version = Value(probe.get(), "VERSION");
    }
    // rc 1 (nothing) and -2 (ambiguous signatures) both leave the naming to the boot sector.
    return result;
}

std::vector<Partition> ListPartitions(int fd, uint64_t length) {
    std::vector<Partition> partitions;
    ProbePtr probe = NewProbe(fd, 0, length);
    if (!probe) {
        return partitions;
    }
    blkid_probe_enable_superblocks(probe.get(), 0);
    blkid_probe_enable_partitions(probe.get(), 1);
    blkid_probe_set_partitions_flags(probe.get(), BLKID_PARTS_ENTRY_DETAILS);
    blkid_partlist list = blkid_probe_get_partitions(probe.get());
    if (list == nullptr) {
        return partitions;
    }
    const int count = blkid_partlist_numof_partitions(list);
    for (int i = 0; i < count; ++i) {
        blkid_partition part = blkid_partlist_get_partition(list, i);
        if (part == nullptr) {
            continue;
        }
        const blkid_loff_t start = blkid_partition_get_start(part);
        const blkid_loff_t size = blkid_partition_get_size(part);
        if (start < 0 || size <= 0) {
            continue;
        }
        Partition p;
        p.number = blkid_partition_get_partno(part);
        p.offset = static_cast<uint64_t>(start) * 512;
        p.length = static_cast<uint64_t>(size) * 512;
        p.container = blkid_partition_is_extended(part) != 0 ||
                      IsExtendedType(blkid_partition_get_type(part));
        if (p.offset >= length) {
            continue;  // a table entry pointing past the end of the disk
        }
        if (p.length > length - p.offset) {
            p.length = length - p.offset;
        }
        partitions.push_back(p);
    }
    return partitions;
}

std::string FileSystemNameOf(const ProbeResult& probe) {
    if (probe.type == "ntfs") {
        return "NTFS";
    }
    if (probe.type == "exfat") {
        return "exFAT";
    }
    if (probe.type == "vfat") {
        return probe.version == "FAT32" ? "FAT32" : "FAT";
    }
    std::string name = probe.type;
    for (char& c : name) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return name;
}

ProbeCopy::ProbeCopy(ImageSource& source)
    : source_(source), fd_(::memfd_create("relicta-probe", MFD_CLOEXEC)) {
    // Sparse: only what is copied in takes memory.
    if (fd_ >= 0 && ::ftruncate(fd_, static_cast<off_t>(source.Size())) == 0) {
        Copy(0, kTableBytes);
        Copy(source.Size() - std::min(source.Size(), kTableBytes), kTableBytes);
    }
}

ProbeCopy::~ProbeCopy() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void ProbeCopy::Copy(uint64_t offset, uint64_t bytes) {
    const uint64_t size = source_.Size();
    std::vector<uint8_t> buffer(
        static_cast<std::size_t>(std::min(bytes, size - std::min(offset, size))));
    std::size_t got = 0;
    if (fd_ >= 0 && !buffer.empty() && source_.ReadAt(offset, buffer, got) && got > 0 &&
        ::pwrite(fd_, buffer.data(), got, static_cast<off_t>(offset)) < 0) {
        return;  // the probe then sees zeros there, as for an unreadable stretch
    }
}

}  // namespace relicta::platform
