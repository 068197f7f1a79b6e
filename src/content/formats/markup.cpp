// HTML and XML: UTF-8 text from the document's first tag to the close of its root element.
#include <algorithm>
#include <cctype>

#include "content/formats/all_formats.h"
#include "content/formats/utf8_text.h"
#include "content/formats/walk.h"

namespace relicta::content {
namespace {

// Where a markup document ends, as its bytes go by.
enum class Step { More, End, Broken };

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr uint8_t kBomFirst = 0xEF;

bool IsSpace(uint8_t c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

uint8_t Lower(uint8_t c) {
    return static_cast<uint8_t>(std::tolower(c));
}

// Whether `text` (lower case) lies at `at` of `b`, whatever the case of `b`.
bool IsNoCase(std::span<const uint8_t> b, std::size_t at, std::string_view text) {
    return at <= b.size() && text.size() <= b.size() - at &&
           std::equal(text.begin(), text.end(), b.begin() + static_cast<std::ptrdiff_t>(at),
                      [](char t, uint8_t c) { return static_cast<uint8_t>(t) == Lower(c); });
}

// Where a document's first tag lies: past a byte-order mark and white space.
std::size_t FirstTag(std::span<const uint8_t> head) {
    std::size_t at = Is(head, 0, kBom) ? kBom.size() : 0;
    while (at < head.size() && IsSpace(head[at])) {
        ++at;
    }
    return at;
}

// Whether `tag` at `at` of `b` is a whole tag name: white space or '>' follows it.
bool IsTagNoCase(std::span<const uint8_t> b, std::size_t at, std::string_view tag) {
    const std::size_t after = at + tag.size();
    return IsNoCase(b, at, tag) && after < b.size() && (IsSpace(b[after]) || b[after] == '>');
}

// Feeds a document's bytes after its byte-order mark to `machine` while they stay UTF-8 text;
// the end is just past the byte the machine ends on, and a line end right after it.
template <typename Machine>
FileEnd ScanMarkup(Window& data, Machine& machine) {
    Utf8Follower utf8;
    for (uint64_t pos = Is(UpTo(data, 0, kBom.size()), 0, kBom) ? kBom.size() : 0;
         pos < data.Size();) {
        const std::size_t n = data.BlockAt(pos);
        const std::span<const uint8_t> block = data.At(pos, n);
        if (block.empty()) {
            return NoEnd("unreadable " + At(pos), pos);
        }
        for (std::size_t i = 0; i < block.size(); ++i) {
            const uint8_t c = block[i];
            if (!utf8.Take(c)) {
                return NoEnd("not UTF-8 text " + At(pos + i), pos + i);
            }
            // Other characters are text or names alike to the machine.
            const Step step = machine.Take(c < 0x80 ? c : uint8_t{'a'});
            if (step == Step::Broken) {
                return NoEnd("not markup " + At(pos + i), pos + i);
            }
            if (step == Step::End) {
                const uint64_t end = pos + i + 1;
                const std::span<const uint8_t> after = UpTo(data, end, 2);
                return EndAt(end + (Is(after, 0, "\r\n") ? 2 : Is(after, 0, "\n") ? 1 : 0));
            }
        }
        pos += n;
    }
    return NoEnd("no closing tag: cut short", data.Size());
}

// ---- HTML: ends after "</html>", whatever its case.

class HtmlEnd {
  public:
    Step Take(uint8_t c) {
        static constexpr std::string_view kClose = "</html";
        if (matched_ == kClose.size()) {
            if (c == '>') {
                return Step::End;
            }
            matched_ = IsSpace(c) ? matched_ : 0;
        } else if (Lower(c) == static_cast<uint8_t>(kClose[matched_])) {
            ++matched_;
        } else {
            matched_ = c == '<' ? 1 : 0;
        }
        return Step::More;
    }

  private:
    std::size_t matched_ = 0;
};

bool IsHtmlHeader(std::span<const uint8_t> head) {
    if (head.empty() || (head[0] != '<' && head[0] != kBomFirst && !IsSpace(head[0]))) {
        return false;
    }
    const std::size_t at = FirstTag(head);
    return IsTagNoCase(head, at, "<!doctype html") || IsTagNoCase(head, at, "<html");
}

FileEnd FindHtmlEnd(Window& data) {
    if (!IsHtmlHeader(UpTo(data, 0, kHeaderBytes))) {
        return NoEnd("no <html> at the start");
    }
    HtmlEnd machine;
    return ScanMarkup(data, machine);
}

// A document without the start a carver looks for is checked as the text it is.
StructureResult CheckMarkup(Window& data, bool (*isHeader)(std::span<const uint8_t>),
                            FileEnd (*findEnd)(Window&)) {
    if (!isHeader(UpTo(data, 0, kHeaderBytes))) {
        return kTextFormat.Check(data);
    }
    const FileEnd end = findEnd(data);
    return end.found ? Ok() : Broken(end.detail, end.end);
}

// HTML may leave out its closing tags: a page is checked as the text it is. The carver still
// ends one at its </html>.
StructureResult CheckHtml(Window& data) {
    return kTextFormat.Check(data);
}

// Drops a UTF-8 character that a bound cut short at the end of `text`.
void DropCutCharacter(std::string& text) {
    std::size_t lead = text.size();
    while (lead > 0 && text.size() - lead < 4 && (text[lead - 1] & 0xC0) == 0x80) {
        --lead;
    }
    if (lead == 0) {
        return;
    }
    const auto c = static_cast<uint8_t>(text[lead - 1]);
    const std::size_t length = (c & 0xE0) == 0xC0   ? 2
                               : (c & 0xF0) == 0xE0 ? 3
                               : (c & 0xF8) == 0xF0 ? 4
                                                    : 1;
    if (length > text.size() - lead + 1) {
        text.erase(lead - 1);
    }
}

// The <title> of a page, its white space collapsed and the commonest entities decoded.
Metadata ReadHtmlMetadata(Window& data, uint64_t end) {
    constexpr std::size_t kHeadBytes = std::size_t{64} * 1024;
    constexpr std::size_t kMaxTitleBytes = 200;
    const std::span<const uint8_t> head =
        data.At(0, static_cast<std::size_t>(std::min<uint64_t>(kHeadBytes, end)));
    std::string lower(head.size(), ' ');
    std::transform(head.begin(), head.end(), lower.begin(), [](uint8_t c) { return Lower(c); });
    const std::size_t open = lower.find("<title");
    const std::size_t start = open == std::string::npos ? open : lower.find('>', open);
    const std::size_t close = start == std::string::npos ? start : lower.find("</title", start);
    if (close == std::string::npos) {
        return {};
    }
    static constexpr std::pair<std::string_view, char> kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}};
    Metadata metadata;
    std::string& title = metadata.title;
    for (std::size_t at = start + 1; at < close && title.size() < kMaxTitleBytes; ++at) {
        const auto entity = std::find_if(std::begin(kEntities), std::end(kEntities),
                                         [&](const auto& e) { return Is(head, at, e.first); });
        if (entity != std::end(kEntities) && at + entity->first.size() <= close) {
            title += entity->second;
            at += entity->first.size() - 1;
        } else if (IsSpace(head[at]) || IsControlByte(head[at])) {
            title += title.empty() || title.back() == ' ' ? "" : " ";
        } else {
            title += static_cast<char>(head[at]);
        }
    }
    DropCutCharacter(title);
    title.erase(title.find_last_not_of(' ') + 1);
    return metadata;
}

// ---- XML: ends after the close of its root element.

// Follows a document's tags: the prolog's declarations, comments and doctype, then elements in
// and out until the root element closes. Attribute values, comments, CDATA and processing
// instructions may hold '<' and '>'.
class XmlEnd {
  public:
    Step Take(uint8_t c) {
        switch (state_) {
            case State::Text:
                return Text(c);
            case State::Open:
                return Open(c);
            case State::Bang:
                return Bang(c);
            case State::Tag:
                return Tag(c);
            case State::Until:
                return Until(c);
            case State::Doctype:
                return Doctype(c);
        }
        return Step::Broken;
    }

  private:
    enum class State { Text, Open, Bang, Tag, Until, Doctype };

    Step Text(uint8_t c) {
        if (c == '<') {
            state_ = State::Open;
        } else if (depth_ == 0 && !IsSpace(c)) {
            return Step::Broken;  // text outside the root element
        }
        return Step::More;
    }
    Step Open(uint8_t c) {
        if (c == '?') {
            return AwaitClose("?>");
        }
        if (c == '!') {
            state_ = State::Bang;
            bang_.clear();
            return Step::More;
        }
        if (c == '/' && depth_ == 0) {
            return Step::Broken;
        }
        if (c != '/' && !std::isalpha(c) && c != '_' && c != ':') {
            return Step::Broken;
        }
        closing_ = c == '/';
        slash_ = false;
        quote_ = 0;
        state_ = State::Tag;
        return Step::More;
    }
    Step Bang(uint8_t c) {
        bang_ += static_cast<char>(c);
        if (bang_ == "--") {
            return AwaitClose("-->");
        }
        if (bang_ == "[CDATA[") {
            return depth_ > 0 ? AwaitClose("]]>") : Step::Broken;
        }
        if (bang_ == "DOCTYPE") {
            state_ = State::Doctype;
            quote_ = 0;
            brackets_ = 0;
            return depth_ == 0 ? Step::More : Step::Broken;
        }
        const bool prefix = std::string_view("--").starts_with(bang_) ||
                            std::string_view("[CDATA[").starts_with(bang_) ||
                            std::string_view("DOCTYPE").starts_with(bang_);
        return prefix ? Step::More : Step::Broken;
    }
    Step Tag(uint8_t c) {
        if (quote_ != 0) {
            quote_ = c == quote_ ? 0 : quote_;
            return Step::More;
        }
        if (c == '"' || c == '\'') {
            quote_ = c;
        } else if (c == '>') {
            state_ = State::Text;
            if (closing_) {
                return --depth_ == 0 ? Step::End : Step::More;
            }
            if (slash_) {
                return depth_ == 0 ? Step::End : Step::More;  // an empty element
            }
            return ++depth_ > kMaxItems ? Step::Broken : Step::More;
        } else if (c == '<') {
            return Step::Broken;
        }
        slash_ = c == '/';
        return Step::More;
    }
    Step AwaitClose(std::string_view close) {
        state_ = State::Until;
        close_ = close;
        matched_ = 0;
        return Step::More;
    }
    Step Until(uint8_t c) {
        if (c == static_cast<uint8_t>(close_[matched_])) {
            if (++matched_ == close_.size()) {
                state_ = State::Text;
            }
        } else {
            // Every close looked for repeats its first character ("--", "]]"), never more.
            matched_ = c == static_cast<uint8_t>(close_[0]) && matched_ > 1 ? matched_
                       : c == static_cast<uint8_t>(close_[0])               ? 1
                                                                            : 0;
        }
        return Step::More;
    }
    Step Doctype(uint8_t c) {
        if (quote_ != 0) {
            quote_ = c == quote_ ? 0 : quote_;
        } else if (c == '"' || c == '\'') {
            quote_ = c;
        } else if (c == '[') {
            ++brackets_;
        } else if (c == ']' && brackets_ > 0) {
            --brackets_;
        } else if (c == '>' && brackets_ == 0) {
            state_ = State::Text;
        }
        return Step::More;
    }

    State state_ = State::Text;
    uint64_t depth_ = 0;
    bool closing_ = false;
    bool slash_ = false;  // the last byte of a tag was '/'
    uint8_t quote_ = 0;
    uint64_t brackets_ = 0;
    std::string bang_;
    std::string_view close_;
    std::size_t matched_ = 0;
};

bool IsXmlHeader(std::span<const uint8_t> head) {
    if (head.empty() || (head[0] != '<' && head[0] != kBomFirst)) {
        return false;
    }
    const std::size_t at = Is(head, 0, kBom) ? kBom.size() : 0;
    return Is(head, at, "<?xml") && at + 5 < head.size() && IsSpace(head[at + 5]);
}

FileEnd FindXmlEnd(Window& data) {
    if (!IsXmlHeader(UpTo(data, 0, kHeaderBytes))) {
        return NoEnd("no <?xml at the start");
    }
    XmlEnd machine;
    return ScanMarkup(data, machine);
}

StructureResult CheckXml(Window& data) {
    return CheckMarkup(data, IsXmlHeader, FindXmlEnd);
}

}  // namespace

const Format kHtmlFormat = {
    .family = Family::Html,
    .name = "HTML",
    .extension = "html",
    .IsHeader = IsHtmlHeader,
    .Check = CheckHtml,
    .FindEnd = FindHtmlEnd,
    .ReadMetadata = ReadHtmlMetadata,
    .maxBytes = uint64_t{64} << 20,
};

const Format kXmlFormat = {
    .family = Family::Xml,
    .name = "XML",
    .extension = "xml",
    .IsHeader = IsXmlHeader,
    .Check = CheckXml,
    .FindEnd = FindXmlEnd,
    .ReadMetadata = nullptr,
    .maxBytes = uint64_t{64} << 20,
};

}  // namespace relicta::content
