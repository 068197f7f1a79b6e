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
inline constexpr int kExitNotRecovered = 4;  // a file that was tried could not be recovered
inline constexpr int kExitPartial =
    5;  // done, but sectors could not be read: the result is partial
inline constexpr int kExitInterrupted = 130;  // recover stopped by Ctrl+C (128 + SIGINT)

struct Options {
    std::string command;
    std::vector<std::string> volumes;  // --volume [L=]PATH, in order
    // The --mapfile after each of `volumes` ("" for none), and the one of the PATH argument.
    std::vector<std::string> volumeMapfiles;
    std::string argumentMapfile;
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
// One command's usage, summary and options; nullopt for a command that does not exist.
std::optional<std::string> CommandHelp(const std::string& command);
// The line after a usage error: "Try 'relicta scan --help'."
std::string UsageHint(const std::string& command);

// The value of the last --name option, "1" for a flag, or `fallback` when absent.
std::string NamedValue(const Options& options, const std::string& name,
                       const std::string& fallback = "");
// Every value of a repeated option, in order.
std::vector<std::string> NamedValues(const Options& options, const std::string& name);

// The options of each command: (valued, flags).
struct CommandOptions {
    std::vector<std::string> valued;
    std::vector<std::string> flags;
};
CommandOptions OptionsOf(const std::string& command);

}  // namespace relicta::cli
