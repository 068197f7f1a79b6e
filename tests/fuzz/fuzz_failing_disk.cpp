// What a failing disk brings: a ddrescue map of any text, and boot sectors of any bytes (sector 0
// unreadable, the backups read).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/boot_sector_probe.h"
#include "platform/rescue_map.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const relicta::platform::LoadedRescueMap loaded =
        relicta::platform::ParseRescueMap("fuzz.map", text);
    if (loaded.map) {
        int64_t end = 0;
        for (const relicta::platform::ByteRun& run : loaded.map->NotRescued()) {
            // Sorted, disjoint and never empty.
            if (run.length == 0 || run.offset < end) {
                __builtin_trap();
            }
            end = run.End();
        }
        loaded.map->Touches(0, UINT64_MAX / 2);
    }
    const auto read = [&](uint64_t offset, std::span<uint8_t> out) {
        if (offset == 0 || size == 0) {
            return false;
        }
        for (std::size_t i = 0; i < out.size(); ++i) {
            out[i] = data[(offset + i) % size];
        }
        return true;
    };
    relicta::platform::FileSystemFromBootSectors(read, size * uint64_t{4096});
    return 0;
}
