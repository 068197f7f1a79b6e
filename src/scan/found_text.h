#pragma once
// The strings of the found-file table. A scan lists millions of files: each name is kept once
// in the table's pool, and each folder's path once for all the files in it. A Text is one
// pointer to its length and bytes; it stays valid until the table is cleared for the next scan.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace relicta::scan {

class Text {
  public:
    Text() = default;
    // Keeps a copy of `text` in the pool.
    Text(std::string_view text);  // NOLINT(google-explicit-constructor): a string's stand-in
    Text(const std::string& text) : Text(std::string_view(text)) {}  // NOLINT
    Text(const char* text) : Text(std::string_view(text)) {}         // NOLINT

    // `text` kept once however often it is asked for: a folder's path shared by its files.
    static Text Shared(std::string_view text);

    std::string_view View() const;
    operator std::string_view() const { return View(); }  // NOLINT
    operator std::string() const { return Str(); }        // NOLINT
    std::string Str() const { return std::string(View()); }
    const char* data() const { return View().data(); }
    std::size_t size() const { return View().size(); }
    bool empty() const { return chars_ == nullptr; }
    char operator[](std::size_t i) const { return View()[i]; }
    char back() const { return View().back(); }
    const char* begin() const { return data(); }
    const char* end() const { return data() + size(); }
    std::string_view substr(std::size_t at, std::size_t n = std::string_view::npos) const {
        return View().substr(at, n);
    }
    std::size_t find(std::string_view what, std::size_t at = 0) const {
        return View().find(what, at);
    }
    std::size_t find(char what, std::size_t at = 0) const { return View().find(what, at); }
    std::size_t rfind(char what, std::size_t at = std::string_view::npos) const {
        return View().rfind(what, at);
    }
    bool starts_with(std::string_view what) const { return View().starts_with(what); }
    bool ends_with(std::string_view what) const { return View().ends_with(what); }
    bool ends_with(char what) const { return View().ends_with(what); }
    // The same for every Text of one shared string (a folder's files): a key for grouping.
    uintptr_t Identity() const { return reinterpret_cast<uintptr_t>(chars_); }

    friend bool operator==(const Text& a, const Text& b) {
        return a.chars_ == b.chars_ || a.View() == b.View();
    }
    friend auto operator<=>(const Text& a, const Text& b) { return a.View() <=> b.View(); }
    friend bool operator==(const Text& a, std::string_view b) { return a.View() == b; }
    friend bool operator==(const Text& a, const char* b) { return a.View() == b; }
    friend bool operator==(const Text& a, const std::string& b) { return a.View() == b; }
    friend std::string operator+(const Text& a, const Text& b) { return a.Str().append(b.View()); }
    friend std::string operator+(const Text& a, const char* b) { return a.Str().append(b); }
    friend std::string operator+(const Text& a, const std::string& b) { return a.Str().append(b); }
    friend std::string operator+(const Text& a, std::string_view b) { return a.Str().append(b); }
    friend std::string operator+(std::string_view a, const Text& b) {
        return std::string(a).append(b.View());
    }
    friend std::string operator+(const std::string& a, const Text& b) {
        return std::string(a).append(b.View());
    }
    friend std::string operator+(const char* a, const Text& b) {
        return std::string(a).append(b.View());
    }

  private:
    struct FromPool {};
    Text(FromPool /*tag*/, const char* chars) noexcept : chars_(chars) {}

    const char* chars_ = nullptr;  // in the pool: the length (1 to 5 bytes, 7 bits each), the bytes
};

// A folder's path: one copy for all the files in it, whatever string it is made from.
class SharedText : public Text {
  public:
    SharedText() = default;
    SharedText(std::string_view text) : Text(Shared(text)) {}                    // NOLINT
    SharedText(const std::string& text) : SharedText(std::string_view(text)) {}  // NOLINT
    SharedText(const char* text) : SharedText(std::string_view(text)) {}         // NOLINT
};

// Empties the pool: every Text made so far is gone. The table does this when it is cleared.
void ClearTextPool();
// Bytes the pool holds, for the table's own accounting.
std::size_t TextPoolBytes();
// Counts the clears: what is keyed by a Text's identity is stale once this has moved on.
uint64_t TextPoolGeneration();

}  // namespace relicta::scan
