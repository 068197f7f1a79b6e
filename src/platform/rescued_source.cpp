#include "platform/rescued_source.h"

#include <algorithm>
#include <cerrno>

#include "platform/last_error.h"

namespace relicta::platform {
namespace {

class RescuedSource : public ImageSource {
  public:
    RescuedSource(std::unique_ptr<ImageSource> image, std::shared_ptr<const RescueMap> map,
                  NotRescuedReads reads)
        : image_(std::move(image)), map_(std::move(map)), reads_(reads) {}

    bool ReadAt(uint64_t offset, std::span<uint8_t> out, std::size_t& bytesRead) override {
        bytesRead = 0;
        const uint64_t size = image_->Size();
        // Past the image's end nothing is read, rescued or not.
        const uint64_t inImage = offset < size ? std::min<uint64_t>(out.size(), size - offset) : 0;
        if (reads_ == NotRescuedReads::Fail && map_->Touches(offset, inImage)) {
            SetLastError(EIO);
            return false;
        }
        if (!image_->ReadAt(offset, out, bytesRead)) {
            return false;
        }
        if (reads_ == NotRescuedReads::AsZeros) {
            ZeroNotRescued(offset, out.first(bytesRead));
        }
        return true;
    }
    void WillRead(uint64_t offset, uint64_t length) override { image_->WillRead(offset, length); }
    uint64_t Size() const override { return image_->Size(); }
    bool ReadsWholeChunks() const override { return image_->ReadsWholeChunks(); }
    bool ReadsFromAnyThread() const override { return image_->ReadsFromAnyThread(); }

  private:
    void ZeroNotRescued(uint64_t offset, std::span<uint8_t> read) const {
        const int64_t from = static_cast<int64_t>(offset);
        const int64_t to = from + static_cast<int64_t>(read.size());
        const std::vector<ByteRun>& runs = map_->NotRescued();
        auto r = std::upper_bound(runs.begin(), runs.end(), from,
                                  [](int64_t at, const ByteRun& run) { return at < run.End(); });
        for (; r != runs.end() && r->offset < to; ++r) {
            const int64_t zeroFrom = std::max(r->offset, from);
            const int64_t zeroTo = std::min(r->End(), to);
            if (zeroFrom < zeroTo) {
                std::fill(read.begin() + (zeroFrom - from), read.begin() + (zeroTo - from), 0);
            }
        }
    }

    std::unique_ptr<ImageSource> image_;
    std::shared_ptr<const RescueMap> map_;
    NotRescuedReads reads_;
};

}  // namespace

std::unique_ptr<ImageSource> WithRescueMap(std::unique_ptr<ImageSource> image,
                                           std::shared_ptr<const RescueMap> map,
                                           NotRescuedReads reads) {
    if (!image || !map) {
        return image;
    }
    return std::make_unique<RescuedSource>(std::move(image), std::move(map), reads);
}

}  // namespace relicta::platform
