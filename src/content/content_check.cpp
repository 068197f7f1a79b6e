#include "content/content_check.h"

#include <magic.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "content/formats/all_formats.h"

namespace relicta::content {
namespace {

constexpr std::size_t kHeadBytes = std::size_t{16} * 1024;  // what libmagic is shown
constexpr std::size_t kEntropySample = 4096;
constexpr std::size_t kMinEntropySample = 64;

std::string Hex(uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

// Whether every byte of the data is `first`: read until one differs, the first page alone
// before the rest.
bool AllOneByte(Window& data, uint8_t first) {
    for (uint64_t pos = 0; pos < data.Size();) {
        const std::size_t n = data.BlockAt(pos);
        const std::span<const uint8_t> block = data.At(pos, n);
        if (block.empty() ||
            std::any_of(block.begin(), block.end(), [first](uint8_t b) { return b != first; })) {
            return false;
        }
        pos += n;
    }
    return true;
}

struct Signature {
    std::size_t offset;
    std::string_view bytes;
    const char* type;
};

// Types named without libmagic: ours, and the compressed and encrypted kinds whose bytes
// otherwise look random. libmagic is slow next to everything else (a third of a millisecond
// a file), and a volume holds tens of thousands of files.
constexpr Signature kSignatures[] = {
    {0, {"\xFF\xD8\xFF", 3}, "JPEG image data"},
    {0, {"\x89PNG\r\n\x1A\n", 8}, "PNG image data"},
    {0, "GIF87a", "GIF image data"},
    {0, "GIF89a", "GIF image data"},
    {0, "%PDF-", "PDF document"},
    {0, {"PK\x03\x04", 4}, "Zip archive data"},
    {4, "ftyp", "ISO Media"},
    {0, "RIFF", "RIFF data"},
    {0, "ID3", "Audio file with ID3"},
    {0, {"\x1F\x8B", 2}, "gzip compressed data"},
    {0, "BZh", "bzip2 compressed data"},
    {0,
     {"\xFD"
      "7zXZ\x00",
      6},
     "XZ compressed data"},
    {0, {"7z\xBC\xAF\x27\x1C", 6}, "7-zip archive data"},
    {0, "Rar!", "RAR archive data"},
    {0, {"\x28\xB5\x2F\xFD", 4}, "Zstandard compressed data"},
    {0, {"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8}, "Composite Document File V2 Document"},
};

std::optional<std::string> Sniff(std::span<const uint8_t> head) {
    for (const Signature& s : kSignatures) {
        if (head.size() >= s.offset + s.bytes.size() &&
            std::memcmp(head.data() + s.offset, s.bytes.data(), s.bytes.size()) == 0) {
            return s.type;
        }
    }
    return std::nullopt;
}

// n * log2(n) for every count a sample can reach, so that the entropy costs no logarithms.
const std::array<double, kEntropySample + 1>& CountBits() {
    static const std::array<double, kEntropySample + 1> table = [] {
        std::array<double, kEntropySample + 1> t{};
        for (std::size_t n = 1; n < t.size(); ++n) {
            t[n] = static_cast<double>(n) * std::log2(static_cast<double>(n));
        }
        return t;
    }();
    return table;
}

// Bits per byte of `sample` (at most kEntropySample bytes): random, compressed or encrypted
// data comes near 8.
double Entropy(std::span<const uint8_t> sample) {
    std::array<uint32_t, 256> counts{};
    for (uint8_t b : sample) {
        ++counts[b];
    }
    const std::array<double, kEntropySample + 1>& bits = CountBits();
    double sum = 0;
    for (uint32_t c : counts) {
        sum += bits[c];
    }
    const auto n = static_cast<double>(sample.size());
    return std::log2(n) - sum / n;
}

// Control bytes other than line ends, tabs and form feeds: text has none.
bool IsControl(uint8_t b) {
    return (b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f') || b == 0x7F;
}

// Whether `sample` looks random: its entropy near that of as many uniform random bytes (the
// log of the distinct values they would take), where text stays near 4.5 bits a byte and
// machine code and tables near 6.
bool LooksRandom(std::span<const uint8_t> sample) {
    constexpr double kSymbols = 256.0;
    constexpr double kSlackBits = 0.75;
    if (sample.size() < kMinEntropySample) {
        // Too few bytes for their entropy to tell: control bytes say binary, which libmagic
        // would only guess at.
        return std::any_of(sample.begin(), sample.end(), IsControl);
    }
    const double distinct =
        kSymbols * (1.0 - std::pow(1.0 - 1.0 / kSymbols, static_cast<double>(sample.size())));
    return Entropy(sample) >= std::log2(distinct) - kSlackBits;
}

// Whether `head` is plain text: UTF-8 (a character cut off at the end aside) without control
// bytes but line ends, tabs and form feeds. libmagic is slowest on text.
std::optional<std::string> PlainText(std::span<const uint8_t> head) {
    bool ascii = true;
    for (std::size_t i = 0; i < head.size(); ++i) {
        const uint8_t c = head[i];
        if (c < 0x80) {
            if (IsControl(c)) {
                return std::nullopt;
            }
            continue;
        }
        ascii = false;
        const std::size_t more = (c & 0xE0) == 0xC0   ? 1
                                 : (c & 0xF0) == 0xE0 ? 2
                                 : (c & 0xF8) == 0xF0 ? 3
                                                      : 0;
        if (more == 0 || c == 0xC0 || c == 0xC1 || c > 0xF4) {
            return std::nullopt;
        }
        for (std::size_t k = 1; k <= more && i + k < head.size(); ++k) {
            if ((head[i + k] & 0xC0) != 0x80) {
                return std::nullopt;
            }
        }
        i += more;
    }
    return ascii ? "ASCII text" : "UTF-8 text";
}

// Plain text and the markup built on it: a web page saved as .txt is what it promises.
bool IsText(Family family) {
    return family == Family::Text || family == Family::Html || family == Family::Xml;
}

// What a RIFF file holds when its form type is not the one its name's extension calls for
// (an .avi holding WAVE audio); nullopt when it is, or the data is no RIFF file.
std::optional<std::string> OtherRiffForm(const std::string& name, Window& data) {
    constexpr std::size_t kFormType = 8;
    constexpr std::size_t kFormBytes = 4;
    const std::span<const uint8_t> head = data.At(0, kFormType + kFormBytes);
    if (head.empty() || std::memcmp(head.data(), "RIFF", 4) != 0) {
        return std::nullopt;
    }
    const std::string form(reinterpret_cast<const char*>(head.data()) + kFormType, kFormBytes);
    const std::string held = kRiffFormat.ReadMetadata(data, data.Size()).extension;
    const std::size_t dot = name.rfind('.');
    std::string extension = name.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (held == extension) {
        return std::nullopt;
    }
    std::string shown = form;
    std::replace_if(
        shown.begin(), shown.end(), [](char c) { return c < 0x20 || c >= 0x7F; }, '?');
    return "RIFF data, form type " + shown;
}

}  // namespace

const char* VerdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::Ok:
            return "ok";
        case Verdict::Mismatch:
            return "mismatch";
        case Verdict::Zeroed:
            return "zeroed";
        case Verdict::Damaged:
            return "damaged";
        case Verdict::Unknown:
            break;
    }
    return "unknown";
}

// libmagic's description of bytes; its database is loaded when first asked. Bytes without
// control characters are text in some 8-bit code: libmagic names the code by its text tests
// alone, since its pattern tests (a third of a millisecond a file) find only false likenesses
// in such bytes.
struct ContentChecker::Magic {
    struct Cookie {
        magic_t cookie = nullptr;
        bool tried = false;
        ~Cookie() {
            if (cookie != nullptr) {
                magic_close(cookie);
            }
        }
        std::string Of(std::span<const uint8_t> head, int flags) {
            if (!tried) {
                tried = true;
                cookie = magic_open(flags);
                if (cookie != nullptr && magic_load(cookie, nullptr) != 0) {
                    magic_close(cookie);
                    cookie = nullptr;
                }
            }
            const char* found =
                cookie != nullptr ? magic_buffer(cookie, head.data(), head.size()) : nullptr;
            return found != nullptr ? found : "";
        }
    };
    // Compressed files are not opened: the check names what the bytes are.
    static constexpr int kFlags = MAGIC_ERROR | MAGIC_NO_CHECK_COMPRESS;
    Cookie all;
    Cookie textOnly;

    std::string Of(std::span<const uint8_t> head) {
        return std::any_of(head.begin(), head.end(), IsControl)
                   ? all.Of(head, kFlags)
                   : textOnly.Of(head, kFlags | MAGIC_NO_CHECK_SOFT);
    }
};

ContentChecker::ContentChecker() : magic_(std::make_unique<Magic>()) {}
ContentChecker::~ContentChecker() = default;

ContentResult ContentChecker::Check(const std::string& name, DataReader& reader) {
    Window data(reader, window_);
    if (data.Size() == 0) {
        return {Verdict::Unknown, "an empty file"};  // nothing lost, nothing to check
    }
    const std::span<const uint8_t> first = data.At(0, 1);
    if (first.empty()) {
        return {Verdict::Unknown, "the data cannot be read"};
    }
    const uint8_t byte = first[0];
    if (AllOneByte(data, byte)) {
        return {Verdict::Zeroed, byte == 0 ? "all zero" : "all " + Hex(byte)};
    }
    // The type found: by signature, "data" for bytes that look random, else libmagic's. The
    // first page tells most, and is all that is read for them.
    const auto typeFound = [&]() -> std::string {
        const auto head = [&](std::size_t n) {
            return data.At(0, static_cast<std::size_t>(std::min<uint64_t>(n, data.Size())));
        };
        const std::span<const uint8_t> sample = head(kEntropySample);
        if (const std::optional<std::string> type = Sniff(sample)) {
            return *type;
        }
        if (LooksRandom(sample)) {
            return "data";
        }
        const std::span<const uint8_t> bytes = head(kHeadBytes);
        if (const std::optional<std::string> text = PlainText(bytes)) {
            return *text;
        }
        const std::string described = magic_->Of(bytes);
        return described.empty() ? "data" : described;
    };
    const Family promised = FamilyOfName(name);
    if (promised == Family::Unknown) {
        return {Verdict::Unknown, typeFound()};
    }
    if (promised == Family::Riff) {
        if (std::optional<std::string> held = OtherRiffForm(name, data)) {
            return {Verdict::Mismatch, *held};
        }
    }
    const StructureResult structure = CheckStructure(promised, data);
    if (structure.ok) {
        return {Verdict::Ok, std::string(FamilyName(promised)) + " structure checks out"};
    }
    // A file that began as text for a line or so is the text promised, broken where it
    // breaks; random bytes break within the first few.
    constexpr uint64_t kTextPrefix = 16;
    if (promised == Family::Text && structure.at >= kTextPrefix) {
        return {Verdict::Damaged, structure.detail};
    }
    const std::string description = typeFound();
    const Family found = FamilyOfDescription(description);
    // Another type, or none at all where the format's first bytes should be.
    const bool otherType =
        found != Family::Unknown && found != promised && !(IsText(found) && IsText(promised));
    if (otherType || structure.signatureMissing ||
        (promised == Family::Text && found == Family::Unknown)) {
        return {Verdict::Mismatch, description};
    }
    return {Verdict::Damaged, structure.detail};
}

}  // namespace relicta::content
