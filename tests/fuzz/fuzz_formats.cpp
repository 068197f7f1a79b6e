// Every carved format over hostile bytes: the first byte picks the format, the rest is what
// its header test, structure check, end finder and metadata reader are handed, as the carver
// hands them a drive's free space. The desktop program's preview judges the same bytes.
#include <cstddef>
#include <cstdint>
#include <span>

#include "content/formats/format.h"
#include "view/file_preview.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace relicta::content;
    const std::span<const Format* const> formats = CarvedFormats();
    if (size == 0 || formats.empty()) {
        return 0;
    }
    const Format& format = *formats[data[0] % formats.size()];
    const std::span<const uint8_t> bytes(data + 1, size - 1);
    format.IsHeader(bytes.first(std::min(bytes.size(), kHeaderBytes)));
    MemoryReader reader(bytes);
    {
        Window window(reader);
        const StructureResult check = format.Check(window);
        if (check.ok && check.signatureMissing) {
            __builtin_trap();
        }
    }
    Window window(reader);
    const FileEnd end = format.FindEnd(window);
    // The end lies inside what was given: the carver writes exactly that many bytes.
    if (end.found && (end.end == 0 || end.end > bytes.size())) {
        __builtin_trap();
    }
    if (format.ReadMetadata != nullptr) {
        Window again(reader);
        format.ReadMetadata(again, end.found ? end.end : bytes.size());
    }
    // The preview shows at most its bounds, whatever the bytes: U+FFFD is 3 bytes for 1.
    relicta::view::PreviewKindOf(bytes);
    constexpr std::size_t kHexLineBytes = 80;
    if (relicta::view::PreviewText(bytes).size() > 3 * relicta::view::kTextPreviewBytes ||
        relicta::view::HexDump(bytes).size() >
            relicta::view::kHexPreviewBytes / 16 * kHexLineBytes) {
        __builtin_trap();
    }
    return 0;
}
