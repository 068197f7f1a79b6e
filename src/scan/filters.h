#pragma once
// The scan filters: the file-name pattern and the temporary-file rules.

#include <regex.h>

#include <string>
#include <string_view>

namespace relicta::scan {

// The pattern as an extended regular expression: "*" any run, "." and "\" literal, the
// rest keeps its meaning; "$" appended unless the pattern ends in "*".
std::string PatternToRegex(const std::string& pattern);

// A compiled pattern (REG_EXTENDED | REG_ICASE).
class CompiledPattern {
  public:
    CompiledPattern() = default;
    explicit CompiledPattern(const std::string& pattern) { Compile(pattern); }
    ~CompiledPattern();
    CompiledPattern(const CompiledPattern&) = delete;
    CompiledPattern& operator=(const CompiledPattern&) = delete;

    // False when the expression does not compile.
    bool Compile(const std::string& pattern);
    bool ok() const { return compiled_; }
    const regex_t* get() const { return compiled_ ? &regex_ : nullptr; }

  private:
    regex_t regex_{};
    bool compiled_ = false;
};

bool MatchesPattern(const std::string& name, const CompiledPattern& compiledPattern);

// "", "*" and "*.*" (exactly as typed) filter nothing.
bool PatternFiltersNothing(const std::string& patternText);

bool IsTempFile(const std::string& dir, const std::string& name);

// Both filters in their order: the pattern, then (when asked) the temporary-file rules.
struct ScanFilters {
    std::string patternText;
    const CompiledPattern* compiledPattern = nullptr;
    bool skipTempFiles = false;

    bool Accepts(std::string_view dir, std::string_view name) const;
};

}  // namespace relicta::scan
