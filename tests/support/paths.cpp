#include "support/paths.h"

#include <algorithm>
#include <regex>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
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

std::vector<std::string> Lines(const std::string& text) {
    return Fields(text, '\n');
}

std::vector<std::string> Fields(const std::string& text, char separator) {
    std::vector<std::string> fields;
    std::stringstream in(text);
    for (std::string field; std::getline(in, field, separator);) {
        fields.push_back(field);
    }
    return fields;
}

std::vector<std::vector<std::string>> ManifestRows(const std::string& relative,
                                                   const std::string& label) {
    std::vector<std::vector<std::string>> rows;
    std::ifstream in(SourcePath(relative));
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields = Fields(line, '\t');
        if (!fields.empty() && fields[0] == label) {
            rows.push_back(std::move(fields));
        }
    }
    return rows;
}

std::string ManifestDir(const std::string& dir) {
    std::string path = dir.size() > 2 ? dir.substr(2) : std::string();
    std::replace(path.begin(), path.end(), '\\', '/');
    return path.ends_with('/') ? path : path + "/";
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

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t LeField(const std::string& bytes, std::size_t at, int width) {
    uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = value << 8 | static_cast<uint8_t>(bytes.at(at + static_cast<std::size_t>(i)));
    }
    return value;
}

}  // namespace relicta::test
