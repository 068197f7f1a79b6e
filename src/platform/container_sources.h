#pragma once
// Disk image containers: E01 and QCOW2 read directly (with libdeflate), the others and what
// those readers leave through the libyal libraries (libewf, libvhdi, libvmdk, libqcow); each
// library optional at build time.

#include <string>

#include "platform/image_source.h"

namespace relicta::platform {

enum class ContainerKind { None, Ewf, Ewf2, Vhd, Vhdx, Vmdk, Qcow };

// What the first and last bytes of `path` say it is; None for anything else.
ContainerKind DetectContainer(const std::string& path);

// The format's name as the drive table shows it ("E01", "VHDX", ...).
const char* ContainerName(ContainerKind kind);

bool ContainerSupported(ContainerKind kind);

// Opens `path` as a container of `kind`; the error names the file and the reason.
OpenedImage OpenContainer(ContainerKind kind, const std::string& path);

}  // namespace relicta::platform
