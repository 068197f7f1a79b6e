#include "platform/container_sources.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/last_error.h"

#if RELICTA_HAVE_LIBDEFLATE
#include "platform/ewf_source.h"
#include "platform/qcow_source.h"
#endif
#if RELICTA_HAVE_LIBEWF
#include <libewf.h>
#endif
#if RELICTA_HAVE_LIBVHDI
#include <libvhdi.h>
#endif
#if RELICTA_HAVE_LIBVMDK
#include <libvmdk.h>
#endif
#if RELICTA_HAVE_LIBQCOW
#include <libqcow.h>
#endif

namespace relicta::platform {
namespace {

constexpr std::size_t kSignatureBytes = 512;
constexpr std::string_view kEwf = {"EVF\x09\x0d\x0a\xff\x00", 8};
constexpr std::string_view kEwf2 = {"EVF2\x0d\x0a\x81\x00", 8};
constexpr std::string_view kVhdFooter = "conectix";
constexpr std::string_view kVhdx = "vhdxfile";
constexpr std::string_view kVmdkSparse = "KDMV";
constexpr std::string_view kVmdkEsxSparse = "COWD";
constexpr std::string_view kVmdkDescriptor = "# Disk DescriptorFile";
constexpr std::string_view kQcow = "QFI\xfb";

bool StartsWith(const std::vector<uint8_t>& bytes, std::string_view signature) {
    return bytes.size() >= signature.size() &&
           std::memcmp(bytes.data(), signature.data(), signature.size()) == 0;
}

std::vector<uint8_t> ReadBytes(int fd, off_t offset, std::size_t size) {
    std::vector<uint8_t> bytes(size);
    const ssize_t n = offset >= 0 ? ::pread(fd, bytes.data(), size, offset) : -1;
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
}

// The reason a libyal call failed: the first line of its backtrace, the innermost cause
// ("libqcow_cluster_table_read: unable to read cluster table at offset: 196608 (0x00030000).").
template <typename Error, typename Backtrace, typename Free>
std::string Reason(Error* error, Backtrace backtrace, Free free) {
    if (error == nullptr) {
        return "unknown error";
    }
    std::array<char, 4096> text{};
    backtrace(error, text.data(), text.size());
    free(&error);
    std::string reason(text.data());
    reason = reason.substr(0, reason.find('\n'));
    const std::size_t colon = reason.find(": ");
    if (colon != std::string::npos && reason.compare(0, 3, "lib") == 0) {
        reason = reason.substr(colon + 2);
    }
    while (!reason.empty() && reason.back() == '.') {
        reason.pop_back();
    }
    return reason.empty() ? "unknown error" : reason;
}

// A container read through one libyal library: `Lib` names its handle, error and calls.
template <typename Lib>
class LibyalSource : public ImageSource {
  public:
    LibyalSource(typename Lib::Handle* handle, uint64_t size) : handle_(handle), size_(size) {}
    ~LibyalSource() override {
        typename Lib::Error* error = nullptr;
        Lib::Close(handle_, &error);
        Lib::ErrorFree(&error);
        Lib::Free(&handle_, nullptr);
    }
    LibyalSource(const LibyalSource&) = delete;
    LibyalSource& operator=(const LibyalSource&) = delete;

    bool ReadAt(uint64_t offset, std::span<uint8_t> out, std::size_t& bytesRead) override {
        bytesRead = 0;
        if (offset >= size_) {
            return true;
        }
        const std::size_t wanted =
            static_cast<std::size_t>(std::min<uint64_t>(out.size(), size_ - offset));
        // A library may stop a read at a chunk's or segment's end: read on to the end asked for.
        while (bytesRead < wanted) {
            typename Lib::Error* error = nullptr;
            const ssize_t n = Lib::Read(handle_, out.data() + bytesRead, wanted - bytesRead,
                                        static_cast<off64_t>(offset + bytesRead), &error);
            if (n < 0) {
                Lib::ErrorFree(&error);
                SetLastError(EIO);  // a damaged chunk, grain or block the library could not read
                return false;
            }
            if (n == 0) {
                break;
            }
            bytesRead += static_cast<std::size_t>(n);
        }
        return true;
    }
    uint64_t Size() const override { return size_; }
    bool ReadsWholeChunks() const override { return true; }
    typename Lib::Handle* handle() const { return handle_; }

  private:
    typename Lib::Handle* handle_;
    uint64_t size_;
};

// Opens `path` with library `Lib`; `open` does the library's own opening of the handle.
template <typename Lib, typename OpenFn>
OpenedImage OpenWith(const std::string& path, const std::string& format, std::string container,
                     OpenFn open) {
    typename Lib::Handle* handle = nullptr;
    typename Lib::Error* error = nullptr;
    if (Lib::Initialize(&handle, &error) != 1) {
        return {nullptr, {}, path + ": " + Reason(error, Lib::Backtrace, Lib::ErrorFree)};
    }
    size64_t size = 0;
    if (open(handle, &error) != 1 || Lib::MediaSize(handle, &size, &error) != 1) {
        const std::string reason = Reason(error, Lib::Backtrace, Lib::ErrorFree);
        typename Lib::Error* closeError = nullptr;
        Lib::Close(handle, &closeError);
        Lib::ErrorFree(&closeError);
        Lib::Free(&handle, nullptr);
        return {nullptr, {}, path + ": cannot read the " + format + " image: " + reason};
    }
    return {std::make_unique<LibyalSource<Lib>>(handle, size), std::move(container), {}};
}

#if RELICTA_HAVE_LIBEWF
struct Ewf {
    using Handle = libewf_handle_t;
    using Error = libewf_error_t;
    static constexpr auto Initialize = libewf_handle_initialize;
    static constexpr auto Close = libewf_handle_close;
    static constexpr auto Free = libewf_handle_free;
    static constexpr auto Read = libewf_handle_read_random;
    static constexpr auto MediaSize = libewf_handle_get_media_size;
    static constexpr auto Backtrace = libewf_error_backtrace_sprint;
    static constexpr auto ErrorFree = libewf_error_free;
};

OpenedImage OpenEwf(const std::string& path, const char* name) {
    char** segments = nullptr;
    int count = 0;
    libewf_error_t* error = nullptr;
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &segments, &count, &error) !=
        1) {
        return {nullptr,
                {},
                path + ": cannot find the image's segments: " +
                    Reason(error, libewf_error_backtrace_sprint, libewf_error_free)};
    }
    const std::string container =
        std::string(name) + ", " + std::to_string(count) + (count == 1 ? " segment" : " segments");
    // Every segment stays open: this libewf's pool of a bounded number of open segments
    // hands back wrong data once it has to reopen one.
    OpenedImage opened = OpenWith<Ewf>(path, name, container, [&](Ewf::Handle* h, Ewf::Error** e) {
        return libewf_handle_open(h, segments, count, LIBEWF_OPEN_READ, e);
    });
    // This libewf opens a set with a segment missing, and fails only the reads past it.
    if (opened.source &&
        libewf_handle_segment_files_corrupted(
            static_cast<LibyalSource<Ewf>*>(opened.source.get())->handle(), nullptr) == 1) {
        opened = {nullptr,
                  {},
                  path + ": cannot read the " + name + " image: its segments are incomplete or " +
                      "damaged (" + std::to_string(count) + " found)"};
    }
    libewf_glob_free(segments, count, nullptr);
    return opened;
}
#endif

#if RELICTA_HAVE_LIBVHDI
struct Vhdi {
    using Handle = libvhdi_file_t;
    using Error = libvhdi_error_t;
    static constexpr auto Initialize = libvhdi_file_initialize;
    static constexpr auto Close = libvhdi_file_close;
    static constexpr auto Free = libvhdi_file_free;
    static constexpr auto Read = libvhdi_file_read_buffer_at_offset;
    static constexpr auto MediaSize = libvhdi_file_get_media_size;
    static constexpr auto Backtrace = libvhdi_error_backtrace_sprint;
    static constexpr auto ErrorFree = libvhdi_error_free;
};
#endif

#if RELICTA_HAVE_LIBVMDK
struct Vmdk {
    using Handle = libvmdk_handle_t;
    using Error = libvmdk_error_t;
    static constexpr auto Initialize = libvmdk_handle_initialize;
    static constexpr auto Close = libvmdk_handle_close;
    static constexpr auto Free = libvmdk_handle_free;
    static constexpr auto Read = libvmdk_handle_read_buffer_at_offset;
    static constexpr auto MediaSize = libvmdk_handle_get_media_size;
    static constexpr auto Backtrace = libvmdk_error_backtrace_sprint;
    static constexpr auto ErrorFree = libvmdk_error_free;
};
#endif

#if RELICTA_HAVE_LIBQCOW
struct Qcow {
    using Handle = libqcow_file_t;
    using Error = libqcow_error_t;
    static constexpr auto Initialize = libqcow_file_initialize;
    static constexpr auto Close = libqcow_file_close;
    static constexpr auto Free = libqcow_file_free;
    static constexpr auto Read = libqcow_file_read_buffer_at_offset;
    static constexpr auto MediaSize = libqcow_file_get_media_size;
    static constexpr auto Backtrace = libqcow_error_backtrace_sprint;
    static constexpr auto ErrorFree = libqcow_error_free;
};
#endif

}  // namespace

ContainerKind DetectContainer(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return ContainerKind::None;
    }
    const std::vector<uint8_t> head = ReadBytes(fd, 0, kSignatureBytes);
    const off_t end = ::lseek(fd, 0, SEEK_END);
    const std::vector<uint8_t> tail = end >= static_cast<off_t>(kSignatureBytes)
                                          ? ReadBytes(fd, end - kSignatureBytes, kSignatureBytes)
                                          : std::vector<uint8_t>();
    ::close(fd);
    if (StartsWith(head, kEwf)) {
        return ContainerKind::Ewf;
    }
    if (StartsWith(head, kEwf2)) {
        return ContainerKind::Ewf2;
    }
    if (StartsWith(head, kVhdx)) {
        return ContainerKind::Vhdx;
    }
    if (StartsWith(head, kVhdFooter) || StartsWith(tail, kVhdFooter)) {
        return ContainerKind::Vhd;
    }
    if (StartsWith(head, kVmdkSparse) || StartsWith(head, kVmdkEsxSparse) ||
        StartsWith(head, kVmdkDescriptor)) {
        return ContainerKind::Vmdk;
    }
    if (StartsWith(head, kQcow)) {
        return ContainerKind::Qcow;
    }
    return ContainerKind::None;
}

const char* ContainerName(ContainerKind kind) {
    switch (kind) {
        case ContainerKind::Ewf:
            return "E01";
        case ContainerKind::Ewf2:
            return "Ex01";
        case ContainerKind::Vhd:
            return "VHD";
        case ContainerKind::Vhdx:
            return "VHDX";
        case ContainerKind::Vmdk:
            return "VMDK";
        case ContainerKind::Qcow:
            return "QCOW2";
        case ContainerKind::None:
            break;
    }
    return "raw";
}

bool ContainerSupported(ContainerKind kind) {
    // Which library each format needs, and whether this build has it.
    static constexpr std::pair<ContainerKind, bool> kBuilt[] = {
        {ContainerKind::Ewf, RELICTA_HAVE_LIBDEFLATE != 0 || RELICTA_HAVE_LIBEWF != 0},
        {ContainerKind::Ewf2, RELICTA_HAVE_LIBEWF != 0},
        {ContainerKind::Vhd, RELICTA_HAVE_LIBVHDI != 0},
        {ContainerKind::Vhdx, RELICTA_HAVE_LIBVHDI != 0},
        {ContainerKind::Vmdk, RELICTA_HAVE_LIBVMDK != 0},
        {ContainerKind::Qcow, RELICTA_HAVE_LIBDEFLATE != 0 || RELICTA_HAVE_LIBQCOW != 0},
    };
    for (const auto& [format, built] : kBuilt) {
        if (format == kind) {
            return built;
        }
    }
    return true;  // a raw image needs no library
}

OpenedImage OpenContainer(ContainerKind kind, const std::string& path) {
    const std::string name = ContainerName(kind);
    switch (kind) {
#if RELICTA_HAVE_LIBDEFLATE
        case ContainerKind::Ewf:
            return OpenEwfImage(path);
#endif
#if RELICTA_HAVE_LIBEWF
#if !RELICTA_HAVE_LIBDEFLATE
        case ContainerKind::Ewf:
#endif
        case ContainerKind::Ewf2:
            return OpenEwf(path, name.c_str());
#endif
#if RELICTA_HAVE_LIBVHDI
        case ContainerKind::Vhd:
        case ContainerKind::Vhdx:
            return OpenWith<Vhdi>(path, name, name, [&](Vhdi::Handle* h, Vhdi::Error** e) {
                return libvhdi_file_open(h, path.c_str(), LIBVHDI_OPEN_READ, e);
            });
#endif
#if RELICTA_HAVE_LIBVMDK
        case ContainerKind::Vmdk:
            return OpenWith<Vmdk>(path, name, name, [&](Vmdk::Handle* h, Vmdk::Error** e) {
                return libvmdk_handle_open(h, path.c_str(), LIBVMDK_OPEN_READ, e) == 1
                           ? libvmdk_handle_open_extent_data_files(h, e)
                           : -1;
            });
#endif
        case ContainerKind::Qcow:
#if RELICTA_HAVE_LIBDEFLATE
            if (std::optional<OpenedImage> opened = OpenQcowImage(path)) {
                return std::move(*opened);
            }
#endif
#if RELICTA_HAVE_LIBQCOW
            return OpenWith<Qcow>(path, name, name, [&](Qcow::Handle* h, Qcow::Error** e) {
                return libqcow_file_open(h, path.c_str(), LIBQCOW_OPEN_READ, e);
            });
#else
            return {nullptr,
                    {},
                    path + ": a QCOW2 image with a backing file, encryption or newer features, " +
                        "which this build of Relicta cannot read (built without libqcow)"};
#endif
        default:
            break;
    }
    return {nullptr,
            {},
            path + ": a " + name +
                " image, which this build of Relicta cannot read (built without " +
                (kind == ContainerKind::Ewf    ? "libdeflate and libewf"
                 : kind == ContainerKind::Ewf2 ? "libewf"
                 : kind == ContainerKind::Vhd || kind == ContainerKind::Vhdx ? "libvhdi"
                 : kind == ContainerKind::Vmdk                               ? "libvmdk"
                                                                             : "libqcow") +
                ")"};
}

}  // namespace relicta::platform
