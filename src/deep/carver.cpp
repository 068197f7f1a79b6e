#include "deep/carver.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>

#include "content/formats/all_formats.h"

namespace relicta::deep {
namespace {

using content::Family;

// The bytes a file of each format may begin with: each sector is shown only to the formats
// its first byte allows. A format missing here is shown every sector.
struct FirstBytes {
    Family family;
    std::string_view bytes;
};

// Markup may begin after a byte-order mark and white space.
constexpr std::string_view kMarkupFirst = "<\xEF \t\r\n";

constexpr FirstBytes kFirstBytes[] = {
    {Family::Jpeg, "\xFF"}, {Family::Png, "\x89"},        {Family::Gif, "G"},
    {Family::Pdf, "%"},     {Family::Zip, "P"},           {Family::Riff, "R"},
    {Family::Mp3, "I\xFF"},  // an ID3 tag or a frame
    {Family::Tiff, "IM"},   {Family::Html, kMarkupFirst}, {Family::Xml, kMarkupFirst},
};

// Formats whose files begin with a box: its size, then "ftyp".
bool BeginsWithBox(Family family) {
    return family == Family::Mp4 || family == Family::Heic;
}

// Bytes text may begin with: printable ASCII, tab and line ends, UTF-8 lead bytes.
bool MayBeginText(int byte) {
    return (byte >= 0x20 && byte < 0x7F) || byte == '\t' || byte == '\n' || byte == '\r' ||
           (byte >= 0xC2 && byte <= 0xF4);
}

constexpr std::size_t kMaxFormats = 32;
constexpr uint64_t kFormatMask = (uint64_t{1} << 8) - 1;

}  // namespace

bool Carver::Carves(std::size_t i) const {
    const content::Format& format = *formats_[i];
    return i < kMaxFormats && format.IsHeader != nullptr && format.FindEnd != nullptr &&
           format.Check != nullptr;
}

Carver::Carver() : formats_(content::CarvedFormats()) {
    for (std::size_t i = 0; i < formats_.size() && i < kMaxFormats; ++i) {
        const content::Format& format = *formats_[i];
        if (!Carves(i)) {
            continue;
        }
        const uint32_t bit = uint32_t{1} << i;
        if (format.family == Family::Text) {
            text_ = i;
            for (int b = 0; b < 256; ++b) {
                byFirstByte_[static_cast<std::size_t>(b)] |= MayBeginText(b) ? bit : 0;
            }
            continue;
        }
        if (BeginsWithBox(format.family)) {
            byBox_ |= bit;
            continue;
        }
        const auto known =
            std::find_if(std::begin(kFirstBytes), std::end(kFirstBytes),
                         [&](const FirstBytes& f) { return f.family == format.family; });
        for (int b = 0; b < 256; ++b) {
            const bool may = known == std::end(kFirstBytes) ||
                             known->bytes.find(static_cast<char>(b)) != std::string_view::npos;
            byFirstByte_[static_cast<std::size_t>(b)] |= may ? bit : 0;
        }
    }
}

void Carver::Feed(const Block& block) {
    const std::span<const uint8_t> bytes = block.bytes;
    for (std::size_t at = 0; at < block.starts && at < bytes.size(); at += kSectorBytes) {
        const int64_t offset = block.offset + static_cast<int64_t>(at);
        const std::span<const uint8_t> head =
            bytes.subspan(at, std::min(content::kHeaderBytes, bytes.size() - at));
        // Across a gap in what the pass reads, nothing came before.
        const bool textBefore = textBefore_ && offset == next_;
        next_ = offset + static_cast<int64_t>(kSectorBytes);
        uint32_t formats = byFirstByte_[head[0]];
        if (head.size() >= 8 && std::memcmp(head.data() + 4, "ftyp", 4) == 0) {
            formats |= byBox_;
        }
        textBefore_ = false;
        for (; formats != 0; formats &= formats - 1) {
            const auto i = static_cast<std::size_t>(std::countr_zero(formats));
            if (!formats_[i]->IsHeader(head)) {
                continue;
            }
            if (i != text_) {
                Note(offset, i);
                continue;
            }
            // A text file is one run of text sectors: it begins only after one that is not.
            textBefore_ = true;
            if (!textBefore) {
                Note(offset, i);
            }
        }
    }
}

void Carver::Note(int64_t offset, std::size_t format) {
    if (headers_.size() >= kMaxHeaders) {
        if (leftOutFrom_ < 0) {
            leftOutFrom_ = offset;
        }
        return;
    }
    headers_.push_back(
        static_cast<uint64_t>(offset / static_cast<int64_t>(kSectorBytes)) << kFormatBits | format);
}

CarveHeader Carver::At(std::size_t i) const {
    const uint64_t packed = headers_[i];
    return {static_cast<int64_t>(packed >> kFormatBits) * static_cast<int64_t>(kSectorBytes),
            static_cast<std::size_t>(packed & kFormatMask)};
}

bool Carver::HasHeaderAt(int64_t offset) const {
    if (offset < 0 || offset % static_cast<int64_t>(kSectorBytes) != 0) {
        return false;
    }
    const uint64_t first = static_cast<uint64_t>(offset / static_cast<int64_t>(kSectorBytes))
                           << kFormatBits;
    const auto it = std::lower_bound(headers_.begin(), headers_.end(), first);
    return it != headers_.end() && (*it >> kFormatBits) == (first >> kFormatBits);
}

void Carver::Save(CheckpointWriter& out) const {
    out.Count(headers_.size());
    for (const uint64_t h : headers_) {
        out(h);
    }
    out(leftOutFrom_);
    out(textBefore_);
    out(next_);
}

bool Carver::Load(CheckpointReader& in) {
    headers_.resize(in.Count(sizeof(uint64_t), kMaxHeaders));
    uint64_t last = 0;
    for (std::size_t i = 0; i < headers_.size() && in.ok(); ++i) {
        uint64_t& h = headers_[i];
        in(h);
        const int64_t sector = static_cast<int64_t>(h >> kFormatBits);
        const std::size_t format = static_cast<std::size_t>(h & kFormatMask);
        // In drive order, of a format carved, on the drive.
        if ((i > 0 && h <= last) || format >= formats_.size() || !Carves(format) ||
            sector >= in.DriveLength() / static_cast<int64_t>(kSectorBytes)) {
            in.Fail();
        }
        last = h;
    }
    in(leftOutFrom_);
    in(textBefore_);
    in(next_);
    if (leftOutFrom_ < -1 || next_ < -1 || next_ > in.DriveLength()) {
        in.Fail();
    }
    return in.ok();
}

void Carver::Clear() {
    std::vector<uint64_t>().swap(headers_);
    leftOutFrom_ = -1;
}

}  // namespace relicta::deep
