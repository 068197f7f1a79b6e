#pragma once
// What a drive's bytes are read from: a raw image file or block device, a raw image split into
// pieces, or a disk image container (EnCase E01, VHD/VHDX, VMDK, QCOW2), told apart by content.
// Every source is opened read-only.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace relicta::platform {

class ImageSource {
  public:
    virtual ~ImageSource() = default;
    // Reads up to `out.size()` bytes of the disk at `offset`; fewer only at its end. False,
    // with the last error set, when the source cannot give them.
    virtual bool ReadAt(uint64_t offset, std::span<uint8_t> out, std::size_t& bytesRead) = 0;
    // The bytes of the disk the source holds.
    virtual uint64_t Size() const = 0;
    // The bytes at [offset, offset + length) are read soon, in order: a source that reads
    // through the page cache has the kernel start fetching them.
    virtual void WillRead(uint64_t /*offset*/, uint64_t /*length*/) {}
    // Whether a read of a few bytes expands a whole chunk (a container that compresses or
    // translates its disk): reads out of order then cost far more than their bytes.
    virtual bool ReadsWholeChunks() const { return false; }
    // Whether reads may come from two threads at once: positioned reads of plain files.
    virtual bool ReadsFromAnyThread() const { return false; }
};

struct OpenedImage {
    std::unique_ptr<ImageSource> source;
    // How the drive table names the container ("E01, 3 segments"); empty for a raw source.
    std::string container;
    // Why nothing could be opened, naming the file: empty on success.
    std::string error;
};

// Opens `path` as what its content says it is (a raw file or device when nothing else).
OpenedImage OpenImage(const std::string& path);

// A raw source over a copy of `fd` (a device opened for us elsewhere); nullptr, the last error
// set, when it cannot be copied.
OpenedImage OpenRawDescriptor(int fd);

// Whether `path` is a container or the first piece of a split raw image: such a source is
// read through OpenImage, a plain one directly.
bool IsContainerOrSplit(const std::string& path);

// The disk image formats this build reads, and those it was built without, as --version
// tells them ("disk images: raw, split raw, E01, ...\n", then "built without: ...\n").
std::string DiskImageFormatsText();

}  // namespace relicta::platform
