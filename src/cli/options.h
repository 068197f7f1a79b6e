#pragma once
// The relicta command line: relicta COMMAND [OPTIONS] [ARGS].

#include <optional>
#include <string>
#include <vector>

#include "app/console_dialogs.h"

namespace relicta::cli {

inline constexpr int kExitDone = 0;
inline constexpr int kExitAborted = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitChecksIgnored = 3;

struct Options {
    std::string command;
    std::vector<std::string> volumes;  // --volume [L=]PATH, in order
    std::optional<app::CheckPolicy> onCheck;
    std::vector<std::string> arguments;
    std::vector<std::pair<std::string, std::string>> named;  // other --name value pairs
};

struct ParseResult {
    Options options;
    std::string error;  // empty on success
};

// `valued` lists the command's own options that take a value; `flags` those that don't.
ParseResult ParseCommandLine(const std::vector<std::string>& args,
                             const std::vector<std::string>& valued,
                             const std::vector<std::string>& flags);

std::string UsageText();

}  // namespace relicta::cli
