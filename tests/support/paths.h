#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace relicta::test {

std::string FixturePath(const std::string& name);  // an unpacked committed image
std::string SourcePath(const std::string& relative);
std::string RelictaBinary();
std::string CorpusDir();
std::string BuildDir();  // the build tree the tests belong to  // ../shared/corpus beside the
                         // checkout, or empty when absent

struct CommandResult {
    int status = -1;
    std::string out;
    std::string err;
};
// Runs a shell command line, capturing stdout and stderr.
CommandResult RunCommand(const std::string& commandLine);

bool HaveTool(const std::string& tool);

// A file's bytes, empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);
// The little-endian field of `width` bytes at `at` of `bytes` (a boot sector's, say).
uint32_t LeField(const std::string& bytes, std::size_t at, int width);

// The lines of `text`, and `text` split at every `separator`.
std::vector<std::string> Lines(const std::string& text);
std::vector<std::string> Fields(const std::string& text, char separator);
// The rows of a committed tab-separated manifest (a path below the source tree) whose first
// field is `label`, split into fields.
std::vector<std::vector<std::string>> ManifestRows(const std::string& relative,
                                                   const std::string& label);
// A listed directory ("C:\a\b\" or "C:\a\b") as the manifests write it ("/a/b/").
std::string ManifestDir(const std::string& dir);

// A field of one line of `relicta scan --format json`: a string unescaped, or a number.
std::string JsonField(const std::string& line, const std::string& field);

}  // namespace relicta::test
