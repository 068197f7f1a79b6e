#include "platform/boot_sector_probe.h"

namespace relicta::platform {

std::optional<std::string> FileSystemFromBootSectors(const VolumeReader& /*read*/,
                                                     uint64_t /*length*/) {
    return std::nullopt;
}

}  // namespace relicta::platform
