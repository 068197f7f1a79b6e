// PDF: the header, and a %%EOF whose startxref points at a cross-reference table or stream; a
// file updated in place has several, and ends at the last. The Info dictionary's title and
// creation date name a document found by its content.
#include <algorithm>
#include <cctype>
#include <optional>
#include <vector>

#include "content/formats/all_formats.h"
#include "content/formats/metadata_text.h"
#include "content/formats/walk.h"

namespace relicta::content {
namespace {

constexpr uint64_t kMaxBytes = uint64_t{1} << 30;
constexpr std::string_view kHeader = "%PDF-";
constexpr std::string_view kEof = "%%EOF";
constexpr std::string_view kStartXref = "startxref";
constexpr uint64_t kSectorBytes = 512;
// How far before %%EOF its startxref lies, and how much of a dictionary is read.
constexpr std::size_t kTrailerBytes = 1024;
constexpr std::size_t kDictionaryBytes = 4096;
// How much of a file is searched for the Info object when no table says where it lies.
constexpr uint64_t kMaxSearchBytes = uint64_t{64} << 20;
constexpr std::size_t kMaxTextBytes = 512;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\0';
}

// A decimal number at `at` of `text` after white space; `at` moves past it.
std::optional<uint64_t> NumberAt(std::string_view text, std::size_t& at) {
    while (at < text.size() && IsSpace(text[at])) {
        ++at;
    }
    uint64_t value = 0;
    std::size_t digits = 0;
    for (; at < text.size() && IsDigit(text[at]) && digits < 19; ++at, ++digits) {
        value = value * 10 + static_cast<uint64_t>(text[at] - '0');
    }
    return digits > 0 ? std::optional(value) : std::nullopt;
}

int HexDigit(char c) {
    if (IsDigit(c)) {
        return c - '0';
    }
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// Whether `text` begins an indirect object's header, "12 0 obj".
bool IsObjectHeader(std::string_view text) {
    std::size_t at = 0;
    return !text.empty() && IsDigit(text[0]) && NumberAt(text, at) && NumberAt(text, at) &&
           text.substr(at).starts_with(" obj");
}

// Where the %%EOF at `eof` says its cross-reference lies, when that holds a table ("xref") or
// a stream (an object); else why not.
struct Xref {
    uint64_t offset = 0;
    std::string broken;
};

Xref XrefBefore(Window& data, uint64_t eof) {
    const uint64_t from = eof - std::min<uint64_t>(eof, kTrailerBytes);
    const std::string tail(AsText(UpTo(data, from, static_cast<std::size_t>(eof - from))));
    const std::size_t startxref = tail.rfind(kStartXref);
    if (startxref == std::string::npos) {
        return {0, "no startxref before %%EOF"};
    }
    std::size_t at = startxref + kStartXref.size();
    const std::optional<uint64_t> offset = NumberAt(tail, at);
    if (!offset || *offset >= eof) {
        return {0, "the cross-reference offset points past the end of the file"};
    }
    const std::string_view xref = AsText(UpTo(data, *offset, 32));
    if (!xref.starts_with("xref") && !IsObjectHeader(xref)) {
        return {0, "the cross-reference offset " + std::to_string(*offset) +
                       " points at no cross-reference"};
    }
    return {*offset, {}};
}

// An object in use by a classic cross-reference table.
struct TableEntry {
    uint64_t offset = 0;
    uint64_t number = 0;
};

// The objects in use by the classic table at `xref`, its subsections read whole; false when
// there is none there (a cross-reference stream) or it is too large to read.
bool ReadTable(Window& data, uint64_t xref, std::vector<TableEntry>& entries) {
    constexpr std::size_t kEntryBytes = 20;  // "0000012345 00000 n\r\n"
    constexpr std::size_t kMaxEntries = 1 << 18;
    constexpr uint64_t kMaxSections = 4096;
    if (!Is(UpTo(data, xref, 4), 0, "xref")) {
        return false;
    }
    uint64_t pos = xref + 4;
    for (uint64_t s = 0; s < kMaxSections; ++s) {
        const std::string text(AsText(UpTo(data, pos, 64)));
        std::size_t at = 0;
        const std::optional<uint64_t> first = NumberAt(text, at);
        const std::optional<uint64_t> count = NumberAt(text, at);
        if (!first || !count) {
            return true;  // the trailer
        }
        while (at < text.size() && IsSpace(text[at])) {
            ++at;
        }
        if (*count > kMaxEntries - std::min(kMaxEntries, entries.size())) {
            return false;
        }
        const std::size_t bytes = static_cast<std::size_t>(*count) * kEntryBytes;
        const std::string table(AsText(data.At(pos + at, bytes)));
        if (table.size() != bytes) {
            return false;
        }
        for (std::size_t i = 0; i < *count; ++i) {
            const std::string_view entry =
                std::string_view(table).substr(i * kEntryBytes, kEntryBytes);
            std::size_t e = 0;
            const std::optional<uint64_t> offset = NumberAt(entry, e);
            if (offset && entry.find('n', e) != std::string_view::npos) {
                entries.push_back({*offset, *first + i});
            }
        }
        pos += at + bytes;
    }
    return true;
}

// Whether every object the classic table at `xref` has in use begins where it says, before
// `end`: a file written over in the middle moves none, but loses some. True for a
// cross-reference stream, whose objects this does not read.
bool TableHolds(Window& data, uint64_t xref, uint64_t end) {
    constexpr std::size_t kMaxLeadingSpace = 4;  // writers that count a line end before it
    std::vector<TableEntry> entries;
    if (!ReadTable(data, xref, entries)) {
        return !Is(UpTo(data, xref, 4), 0, "xref");
    }
    // In the file's order: each window read once.
    std::sort(entries.begin(), entries.end(),
              [](const TableEntry& a, const TableEntry& b) { return a.offset < b.offset; });
    for (const TableEntry& e : entries) {
        if (e.offset >= end) {
            return false;
        }
        const std::string_view text = AsText(UpTo(data, e.offset, 40));
        std::size_t at = 0;
        while (at < kMaxLeadingSpace && at < text.size() && IsSpace(text[at])) {
            ++at;
        }
        std::size_t n = at;
        if (NumberAt(text, n) != e.number || !IsObjectHeader(text.substr(at))) {
            return false;
        }
    }
    return true;
}

StructureResult CheckPdf(Window& data) {
    const uint64_t size = data.Size();
    if (AsText(UpTo(data, 0, 1024)).find(kHeader) == std::string_view::npos) {
        return NoSignature("no %PDF header");
    }
    constexpr uint64_t kTailBytes = 2048;
    const uint64_t tailStart = size - std::min(size, kTailBytes);
    const std::string tail(AsText(UpTo(data, tailStart, kTailBytes)));
    const std::size_t eof = tail.rfind(kEof);
    if (eof == std::string::npos) {
        return Broken("no %%EOF at the end: cut short");
    }
    const Xref xref = XrefBefore(data, tailStart + eof);
    return xref.broken.empty() ? Ok() : Broken(xref.broken);
}

// The end of a file whose %%EOF lies at `eof`: its line end belongs to it.
uint64_t AfterEof(Window& data, uint64_t eof) {
    const uint64_t end = eof + kEof.size();
    const std::span<const uint8_t> after = UpTo(data, end, 2);
    return end +
           (Is(after, 0, "\r\n") ? 2 : !after.empty() && (after[0] == '\r' || after[0] == '\n'));
}

// Whether an update written in place follows the end at `end`: an object or a table (another
// file's header is no update).
bool UpdateFollows(Window& data, uint64_t end) {
    const std::string_view next = AsText(UpTo(data, end, 32));
    return next.starts_with("xref") || IsObjectHeader(next) ||
           (next.starts_with("%") && !next.starts_with(kHeader));
}

// What one block of a file holds for the end's search: the %%EOF markers in it, whether
// another PDF begins at a sector start in it, whether it is all zeros.
struct Block {
    std::vector<uint64_t> eofs;
    uint64_t nextHeader = UINT64_MAX;
    bool zeros = false;
};

Block ScanBlock(std::span<const uint8_t> bytes, uint64_t pos) {
    Block block;
    const std::string_view text = AsText(bytes);
    for (std::size_t at = text.find(kEof);
         at != std::string_view::npos && block.eofs.size() < kMaxItems;
         at = text.find(kEof, at + 1)) {
        block.eofs.push_back(pos + at);
    }
    for (uint64_t at = (pos + kSectorBytes - 1) / kSectorBytes * kSectorBytes;
         at + kHeader.size() <= pos + bytes.size(); at += kSectorBytes) {
        if (Is(bytes, static_cast<std::size_t>(at - pos), kHeader)) {
            block.nextHeader = at;
            break;
        }
    }
    block.zeros = std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
    return block;
}

// The end is the last %%EOF whose startxref points at a cross-reference that holds, before
// another PDF begins at a sector start; a file updated in place goes on after one. Zeros
// long past any stream's end the search, too.
FileEnd FindPdfEnd(Window& data) {
    constexpr uint64_t kMaxZeroBytes = uint64_t{1} << 20;
    constexpr std::size_t kMaxJudged = 64;
    if (!Is(UpTo(data, 0, kHeader.size()), 0, kHeader)) {
        return NoEnd("no %PDF header");
    }
    const uint64_t size = data.Size();
    uint64_t end = 0;
    uint64_t zeros = 0;
    std::vector<uint64_t> judged;  // cross-references already found not to hold
    for (uint64_t pos = kHeader.size(); pos < size;) {
        const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(kBlockBytes, size - pos));
        const std::span<const uint8_t> bytes = data.At(pos, n);
        if (bytes.empty()) {
            break;
        }
        const Block block = ScanBlock(bytes, pos);
        for (const uint64_t eof : block.eofs) {
            if (eof >= block.nextHeader) {
                break;
            }
            // An update's cross-reference lies in the update; a %%EOF without one is a
            // linearized file's first-page trailer, or a stray one in a stream.
            const Xref xref = XrefBefore(data, eof);
            if (!xref.broken.empty() || xref.offset < end ||
                std::find(judged.begin(), judged.end(), xref.offset) != judged.end()) {
                continue;
            }
            if (!TableHolds(data, xref.offset, eof)) {
                if (judged.size() < kMaxJudged) {
                    judged.push_back(xref.offset);
                }
                continue;
            }
            end = AfterEof(data, eof);
            if (!UpdateFollows(data, end)) {
                return EndAt(end);
            }
        }
        zeros = block.zeros ? zeros + n : 0;
        if (block.nextHeader != UINT64_MAX || zeros >= kMaxZeroBytes || n == size - pos) {
            break;
        }
        pos += n - (kEof.size() - 1);  // a %%EOF across two blocks is found in the second
    }
    return end != 0 ? EndAt(end)
                    : NoEnd("no %%EOF whose startxref points at a cross-reference", size);
}

bool IsPdfHeader(std::span<const uint8_t> head) {
    return Is(head, 0, kHeader) && head.size() > kHeader.size() + 1 &&
           (head[kHeader.size()] == '1' || head[kHeader.size()] == '2') &&
           head[kHeader.size() + 1] == '.';
}

// ---- Metadata: the trailer's /Info reference, the object it names, its strings.

// Where `key` lies in `text` as a whole name ("/Title", not "/TitleX"), from `from` on.
std::size_t FindKey(std::string_view text, std::string_view key, std::size_t from = 0) {
    for (std::size_t at = text.find(key, from); at != std::string_view::npos;
         at = text.find(key, at + 1)) {
        const std::size_t after = at + key.size();
        if (after >= text.size() || IsSpace(text[after]) ||
            std::string_view("/<([").find(text[after]) != std::string_view::npos) {
            return after;
        }
    }
    return std::string_view::npos;
}

// An object reference "12 0 R" after `key`.
std::optional<std::pair<uint64_t, uint64_t>> ReferenceAfter(std::string_view text,
                                                            std::string_view key) {
    std::size_t at = FindKey(text, key);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    const std::optional<uint64_t> number = NumberAt(text, at);
    const std::optional<uint64_t> generation = NumberAt(text, at);
    while (at < text.size() && IsSpace(text[at])) {
        ++at;
    }
    if (!number || !generation || at >= text.size() || text[at] != 'R') {
        return std::nullopt;
    }
    return std::pair(*number, *generation);
}

// Where object `number` lies by the classic table at `xref`; 0 when it does not say.
uint64_t OffsetByTable(Window& data, uint64_t xref, uint64_t number) {
    std::vector<TableEntry> entries;
    ReadTable(data, xref, entries);
    const auto it = std::find_if(entries.begin(), entries.end(),
                                 [number](const TableEntry& e) { return e.number == number; });
    return it != entries.end() ? it->offset : 0;
}

// Where "number generation obj" begins in the first `end` bytes, searched for when no table
// says; 0 when not found.
uint64_t OffsetBySearch(Window& data, uint64_t end, std::pair<uint64_t, uint64_t> object) {
    const std::string header =
        std::to_string(object.first) + " " + std::to_string(object.second) + " obj";
    const uint64_t to = std::min(end, kMaxSearchBytes);
    for (uint64_t at = FindForward(data, 0, to, header); at < to;
         at = FindForward(data, at + 1, to, header)) {
        const std::span<const uint8_t> before = UpTo(data, at - 1, 1);
        if (at > 0 && !before.empty() && IsSpace(static_cast<char>(before[0]))) {
            return at;
        }
    }
    return 0;
}

// A string object at `at` of `text`: literal "(...)" or hex "<...>", as its bytes.
std::vector<uint8_t> StringAt(std::string_view text, std::size_t at) {
    std::vector<uint8_t> out;
    while (at < text.size() && IsSpace(text[at])) {
        ++at;
    }
    if (at < text.size() && text[at] == '<') {
        int high = -1;
        for (++at; at < text.size() && text[at] != '>' && out.size() < kMaxTextBytes; ++at) {
            const int digit = HexDigit(text[at]);
            if (digit < 0) {
                continue;
            }
            if (high < 0) {
                high = digit;
            } else {
                out.push_back(static_cast<uint8_t>(high << 4 | digit));
                high = -1;
            }
        }
        if (high >= 0) {
            out.push_back(static_cast<uint8_t>(high << 4));
        }
        return out;
    }
    if (at >= text.size() || text[at] != '(') {
        return out;
    }
    int depth = 1;
    for (++at; at < text.size() && out.size() < kMaxTextBytes; ++at) {
        char c = text[at];
        if (c == '\\' && at + 1 < text.size()) {
            c = text[++at];
            static constexpr std::string_view kEscaped = "nrtbf";
            static constexpr std::string_view kMeaning = "\n\r\t\b\f";
            if (const std::size_t e = kEscaped.find(c); e != std::string_view::npos) {
                out.push_back(static_cast<uint8_t>(kMeaning[e]));
            } else if (c >= '0' && c <= '7') {
                int value = 0;
                for (int d = 0; d < 3 && at < text.size() && text[at] >= '0' && text[at] <= '7';
                     ++d, ++at) {
                    value = value * 8 + (text[at] - '0');
                }
                --at;
                out.push_back(static_cast<uint8_t>(value));
            } else if (c != '\r' && c != '\n') {  // a line break escaped continues the line
                out.push_back(static_cast<uint8_t>(c));
            }
            continue;
        }
        depth += c == '(' ? 1 : c == ')' ? -1 : 0;
        if (depth == 0) {
            break;
        }
        out.push_back(static_cast<uint8_t>(c));
    }
    return out;
}

std::string DecodeText(const std::vector<uint8_t>& bytes) {
    const std::span<const uint8_t> text(bytes);
    if (Is(text, 0, "\xFE\xFF")) {
        return Trimmed(Utf8FromUtf16(text.subspan(2), true));
    }
    if (Is(text, 0, "\xEF\xBB\xBF")) {
        return Trimmed(Utf8FromUtf8(text.subspan(3)));
    }
    return Trimmed(Utf8FromPdfDoc(text));
}

// "D:YYYYMMDDHHmmSSOHH'mm'": the fields after the year may be left out.
StatedTime ParseDate(const std::vector<uint8_t>& bytes) {
    std::string_view text = AsText(bytes);
    if (text.starts_with("D:")) {
        text.remove_prefix(2);
    }
    StatedTime time;
    const auto field = [&](std::size_t at, std::size_t digits, int fallback) {
        if (text.size() < at + digits ||
            !std::all_of(text.begin() + static_cast<std::ptrdiff_t>(at),
                         text.begin() + static_cast<std::ptrdiff_t>(at + digits), IsDigit)) {
            return fallback;
        }
        return std::stoi(std::string(text.substr(at, digits)));
    };
    time.year = field(0, 4, 0);
    if (time.year == 0) {
        return {};
    }
    time.month = field(4, 2, 1);
    time.day = field(6, 2, 1);
    time.hour = field(8, 2, 0);
    time.minute = field(10, 2, 0);
    time.second = field(12, 2, 0);
    time.utc = text.size() > 14 && text[14] == 'Z';
    const bool valid = time.month >= 1 && time.month <= 12 && time.day >= 1 && time.day <= 31 &&
                       time.hour <= 23 && time.minute <= 59 && time.second <= 60;
    return valid ? time : StatedTime{};
}

Metadata ReadPdfMetadata(Window& data, uint64_t end) {
    // The end found lies past %%EOF and its line end.
    const uint64_t eof =
        FindForward(data, end - std::min<uint64_t>(end, kEof.size() + 2), end, kEof);
    if (eof >= end) {
        return {};
    }
    const Xref xref = XrefBefore(data, eof);
    if (!xref.broken.empty()) {
        return {};
    }
    // The trailer dictionary follows a table and comes before startxref; a cross-reference
    // stream's dictionary is the stream's.
    const uint64_t trailerFrom = eof - std::min<uint64_t>(eof, kDictionaryBytes);
    std::string trailer(
        AsText(UpTo(data, trailerFrom, static_cast<std::size_t>(end - trailerFrom))));
    trailer += AsText(UpTo(data, xref.offset, kDictionaryBytes));
    if (FindKey(trailer, "/Encrypt") != std::string::npos) {
        return {};  // its strings are encrypted
    }
    const auto info = ReferenceAfter(trailer, "/Info");
    if (!info) {
        return {};
    }
    uint64_t object = OffsetByTable(data, xref.offset, info->first);
    if (object == 0 || !IsObjectHeader(AsText(UpTo(data, object, 32)))) {
        object = OffsetBySearch(data, end, *info);
    }
    if (object == 0) {
        return {};
    }
    const std::string dictionary(AsText(UpTo(data, object, kDictionaryBytes)));
    Metadata metadata;
    if (const std::size_t title = FindKey(dictionary, "/Title"); title != std::string::npos) {
        metadata.title = DecodeText(StringAt(dictionary, title));
    }
    if (const std::size_t date = FindKey(dictionary, "/CreationDate"); date != std::string::npos) {
        metadata.time = ParseDate(StringAt(dictionary, date));
    }
    return metadata;
}

}  // namespace

const Format kPdfFormat = {
    .family = Family::Pdf,
    .name = "PDF",
    .extension = "pdf",
    .IsHeader = IsPdfHeader,
    .Check = CheckPdf,
    .FindEnd = FindPdfEnd,
    .ReadMetadata = ReadPdfMetadata,
    .maxBytes = kMaxBytes,
};

}  // namespace relicta::content
