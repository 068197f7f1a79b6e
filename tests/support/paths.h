#pragma once

#include <string>

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

// A field of one line of `relicta scan --format json`: a string unescaped, or a number.
std::string JsonField(const std::string& line, const std::string& field);

}  // namespace relicta::test
