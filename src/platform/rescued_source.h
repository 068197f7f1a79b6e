#pragma once
// An image read the way the map of its rescue allows: what GNU ddrescue did not copy fails to
// read, as the disk's bad sectors did, so that the narrowed reads keep it as unreadable
// instead of taking the zeros the image holds there.

#include <memory>

#include "platform/image_source.h"
#include "platform/rescue_map.h"

namespace relicta::platform {

enum class NotRescuedReads {
    Fail,     // EIO, as from the failing disk
    AsZeros,  // for a probe that takes a read error for a missing file system
};

// `image` read through `map`; `image` itself when there is no map.
std::unique_ptr<ImageSource> WithRescueMap(std::unique_ptr<ImageSource> image,
                                           std::shared_ptr<const RescueMap> map,
                                           NotRescuedReads reads);

}  // namespace relicta::platform
