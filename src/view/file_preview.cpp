#include "view/file_preview.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "bytes/text.h"
#include "view/list_texts.h"

namespace relicta::view {
namespace {

constexpr std::size_t kHexLineBytes = 16;
constexpr std::size_t kTextJudgedBytes = 4096;
constexpr const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

struct Signature {
    std::size_t at;
    std::string_view bytes;
    PreviewKind kind;
};

constexpr Signature kSignatures[] = {
    {0, "\xFF\xD8\xFF", PreviewKind::Image},
    {0, "\x89PNG\r\n\x1A\n", PreviewKind::Image},
    {0, "GIF87a", PreviewKind::Image},
    {0, "GIF89a", PreviewKind::Image},
    {0, "BM", PreviewKind::Image},
    {8, "WEBP", PreviewKind::Image},
    {0, std::string_view("II*\0", 4), PreviewKind::Image},
    {0, std::string_view("MM\0*", 4), PreviewKind::Image},
    {0, "%PDF-", PreviewKind::Pdf},
};

bool Starts(std::span<const uint8_t> bytes, std::size_t at, std::string_view signature) {
    return bytes.size() >= at + signature.size() &&
           std::memcmp(bytes.data() + at, signature.data(), signature.size()) == 0;
}

enum class Encoding { Utf8, Utf16Le, Utf16Be };

Encoding EncodingOf(std::span<const uint8_t> bytes, std::size_t& bom) {
    bom = 0;
    if (Starts(bytes, 0, "\xFF\xFE")) {
        bom = 2;
        return Encoding::Utf16Le;
    }
    if (Starts(bytes, 0, "\xFE\xFF")) {
        bom = 2;
        return Encoding::Utf16Be;
    }
    if (Starts(bytes, 0, "\xEF\xBB\xBF")) {
        bom = 3;
    }
    return Encoding::Utf8;
}

// The length of the UTF-8 sequence at `at`, 0 when it is not one (or is cut off by the end).
std::size_t Utf8SequenceAt(std::span<const uint8_t> bytes, std::size_t at, uint32_t& c) {
    const uint8_t lead = bytes[at];
    std::size_t length = 0;
    uint32_t min = 0;
    if (lead < 0x80) {
        c = lead;
        return 1;
    }
    if ((lead & 0xE0) == 0xC0) {
        length = 2, min = 0x80, c = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, min = 0x800, c = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, min = 0x10000, c = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > bytes.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((bytes[at + k] & 0xC0) != 0x80) {
            return 0;
        }
        c = (c << 6) | (bytes[at + k] & 0x3F);
    }
    return c >= min && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF) ? length : 0;
}

// A valid start of a UTF-8 sequence that the bytes end before it is complete.
bool IsCutSequence(std::span<const uint8_t> rest) {
    const uint8_t lead = rest[0];
    const std::size_t length = (lead & 0xE0) == 0xC0   ? 2
                               : (lead & 0xF0) == 0xE0 ? 3
                               : (lead & 0xF8) == 0xF0 ? 4
                                                       : 0;
    return length > rest.size() &&
           std::all_of(rest.begin() + 1, rest.end(), [](uint8_t b) { return (b & 0xC0) == 0x80; });
}

// The bytes up to the last whole UTF-8 sequence, so that a cut does not end in U+FFFD.
std::span<const uint8_t> WholeSequences(std::span<const uint8_t> bytes) {
    for (std::size_t back = 1; back <= 3 && back <= bytes.size(); ++back) {
        if (IsCutSequence(bytes.last(back))) {
            return bytes.first(bytes.size() - back);
        }
    }
    return bytes;
}

bool IsControl(uint32_t c) {
    return c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f';
}

// Text when the first bytes decode with no NUL and few control characters; a sequence cut
// by the judged window's end does not count against it.
bool LooksLikeUtf8Text(std::span<const uint8_t> head) {
    const std::span<const uint8_t> judged = head.first(std::min(head.size(), kTextJudgedBytes));
    std::size_t controls = 0;
    for (std::size_t at = 0; at < judged.size();) {
        uint32_t c = 0;
        const std::size_t length = Utf8SequenceAt(judged, at, c);
        if (length == 0) {
            if (!IsCutSequence(judged.subspan(at)) || judged.size() == head.size()) {
                return false;
            }
            break;
        }
        if (c == 0) {
            return false;
        }
        controls += IsControl(c) ? 1 : 0;
        at += length;
    }
    return !judged.empty() && controls * 100 < judged.size();
}

std::string DecodeUtf16(std::span<const uint8_t> bytes, bool bigEndian) {
    std::string out;
    const auto unit = [&](std::size_t at) -> uint32_t {
        return bigEndian ? (uint32_t{bytes[at]} << 8) | bytes[at + 1]
                         : (uint32_t{bytes[at + 1]} << 8) | bytes[at];
    };
    for (std::size_t at = 0; at + 1 < bytes.size(); at += 2) {
        uint32_t c = unit(at);
        if (c >= 0xD800 && c <= 0xDBFF && at + 3 < bytes.size()) {
            const uint32_t low = unit(at + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                at += 2;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF) {
            out += kReplacement;
        } else {
            bytes::AppendUtf8(out, c);
        }
    }
    return out;
}

std::string DecodeUtf8(std::span<const uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        uint32_t c = 0;
        const std::size_t length = Utf8SequenceAt(bytes, at, c);
        if (length == 0) {
            out += kReplacement;
            ++at;
            continue;
        }
        out.append(reinterpret_cast<const char*>(bytes.data() + at), length);
        at += length;
    }
    return out;
}

const char* FoundByText(scan::FoundBy foundBy) {
    switch (foundBy) {
        case scan::FoundBy::Record:
            return "an old MFT record (deep scan)";
        case scan::FoundBy::Directory:
            return "an old folder (deep scan)";
        case scan::FoundBy::Carved:
            return "its content alone (carved)";
        case scan::FoundBy::Entry:
            break;
    }
    return "its deleted entry";
}

}  // namespace

PreviewKind PreviewKindOf(std::span<const uint8_t> head) {
    for (const Signature& s : kSignatures) {
        if (Starts(head, s.at, s.bytes) && (s.at == 0 || Starts(head, 0, "RIFF"))) {
            return s.kind;
        }
    }
    std::size_t bom = 0;
    if (EncodingOf(head, bom) != Encoding::Utf8) {
        return PreviewKind::Text;
    }
    return LooksLikeUtf8Text(head.subspan(bom)) ? PreviewKind::Text : PreviewKind::Hex;
}

std::string PreviewText(std::span<const uint8_t> bytes) {
    const bool cut = bytes.size() > kTextPreviewBytes;
    bytes = bytes.first(std::min(bytes.size(), kTextPreviewBytes));
    std::size_t bom = 0;
    const Encoding encoding = EncodingOf(bytes, bom);
    bytes = bytes.subspan(bom);
    if (encoding != Encoding::Utf8) {
        return DecodeUtf16(bytes, encoding == Encoding::Utf16Be);
    }
    return DecodeUtf8(cut ? WholeSequences(bytes) : bytes);
}

std::string HexDump(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    bytes = bytes.first(std::min(bytes.size(), kHexPreviewBytes));
    std::string out;
    for (std::size_t line = 0; line < bytes.size(); line += kHexLineBytes) {
        char offset[24];  // 16 hex digits at most, a space, the NUL
        std::snprintf(offset, sizeof offset, "%08zx ", line);
        out += offset;
        const std::span<const uint8_t> row =
            bytes.subspan(line, std::min(kHexLineBytes, bytes.size() - line));
        for (std::size_t k = 0; k < kHexLineBytes; ++k) {
            out += k == kHexLineBytes / 2 ? "  " : " ";
            if (k < row.size()) {
                out += kDigits[row[k] >> 4];
                out += kDigits[row[k] & 0xF];
            } else {
                out += "  ";
            }
        }
        out += "  |";
        for (const uint8_t b : row) {
            out += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
        }
        out += "|\n";
    }
    return out;
}

std::vector<PreviewFact> PreviewFacts(const scan::FoundFile& file) {
    std::vector<PreviewFact> facts = {
        {"Folder", file.dir},
        {"Size", std::to_string(file.size) + " bytes (" + SizeText(file.size) + ")"},
    };
    const std::pair<const char*, uint64_t> times[] = {{"Modified", file.modifiedTime},
                                                      {"Created", file.createdTime},
                                                      {"Accessed", file.accessedTime},
                                                      {"Changed", file.changedTime}};
    for (const auto& [label, time] : times) {
        if (time != 0) {
            facts.emplace_back(label, DateText(time));
        }
    }
    facts.emplace_back("Condition", file.condition);
    const scan::FoundFileNotes& notes = file.Notes();
    facts.emplace_back("Content", notes.content.empty() ? std::string("not checked")
                                  : notes.contentDetail.empty()
                                      ? notes.content
                                      : notes.content + ": " + notes.contentDetail);
    if (!notes.recycledAs.empty()) {
        facts.emplace_back("Recycle Bin", RecycledText(notes.recycledAs, notes.deletedTime));
    }
    facts.emplace_back("Found by", FoundByText(file.foundBy));
    return facts;
}

}  // namespace relicta::view
