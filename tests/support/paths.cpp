#include "support/paths.h"

#include <regex>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace relicta::test {

std::string FixturePath(const std::string& name) {
    return std::string(RELICTA_FIXTURE_DIR) + "/" + name;
}

std::string SourcePath(const std::string& relative) {
    return std::string(RELICTA_SOURCE_DIR) + "/" + relative;
}

std::string BuildDir() {
    return std::filesystem::path(RELICTA_BINARY_DIR).parent_path().string();
}

std::string RelictaBinary() {
    return std::string(RELICTA_BINARY_DIR) + "/relicta";
}

std::string CorpusDir() {
    if (const char* env = std::getenv("RELICTA_CORPUS"); env != nullptr && *env != '\0') {
        return env;
    }
    const std::filesystem::path dir =
        std::filesystem::path(RELICTA_SOURCE_DIR) / ".." / "shared" / "corpus";
    return std::filesystem::is_directory(dir) ? dir.lexically_normal().string() : std::string();
}

CommandResult RunCommand(const std::string& commandLine) {
    char errPath[] = "/tmp/relicta-test-err-XXXXXX";
    const int errFd = ::mkstemp(errPath);
    ::close(errFd);
    CommandResult result;
    const std::string full = "(" + commandLine + ") 2>" + errPath + " </dev/null";
    FILE* pipe = ::popen(full.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.out.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream err(errPath);
    std::stringstream text;
    text << err.rdbuf();
    result.err = text.str();
    std::remove(errPath);
    return result;
}

bool HaveTool(const std::string& tool) {
    return RunCommand("command -v " + tool + " >/dev/null").status == 0;
}

std::string JsonField(const std::string& line, const std::string& field) {
    const std::regex text("\"" + field + "\":\"((?:[^\"\\\\]|\\\\.)*)\"");
    const std::regex number("\"" + field + "\":(-?\\d+)");
    std::smatch m;
    if (std::regex_search(line, m, text)) {
        return std::regex_replace(m[1].str(), std::regex(R"(\\(.))"), "$1");
    }
    if (std::regex_search(line, m, number)) {
        return m[1];
    }
    return {};
}

}  // namespace relicta::test
