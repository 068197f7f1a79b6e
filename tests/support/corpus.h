#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace relicta::test {

// One image of ../shared/corpus as its manifest describes it.
struct CorpusVolume {
    std::string name;
    std::string fs;
    std::vector<uint64_t> offsets;  // sectors of 512 bytes, one per volume
    std::string archive;
};

// Empty when there is no corpus beside the checkout.
std::vector<CorpusVolume> ReadCorpusManifest();

std::optional<CorpusVolume> FindCorpusVolume(const std::string& name);

// The image unpacked (sparsely) into the build tree, once; empty when unpacking failed.
// Test programs run in parallel, so the unpacking is serialised by a lock and published by
// renaming a finished copy.
std::string UnpackedCorpusImage(const CorpusVolume& v);

}  // namespace relicta::test
