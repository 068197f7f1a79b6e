#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/consistency.h"
#include "app/console_dialogs.h"
#include "app/dialogs.h"
#include "cli/commands.h"
#include "cli/options.h"
#include "platform/image_source.h"
#include "volume/filetime.h"

int main(int argc, char** argv) {
    using namespace relicta;
    std::setlocale(LC_ALL, "");
    relicta::volume::PinLocalTimeZone();
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::fputs(cli::UsageText().c_str(), stderr);
        return cli::kExitUsage;
    }
    if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(cli::UsageText().c_str(), stdout);
        return cli::kExitDone;
    }
    if (args[0] == "--version") {
        std::printf("relicta %s\n%s", RELICTA_VERSION,
                    relicta::platform::DiskImageFormatsText().c_str());
        return cli::kExitDone;
    }
    const std::optional<std::string> help = cli::CommandHelp(args[0]);
    if (!help) {
        std::fprintf(stderr, "relicta: unknown command %s\n%s", args[0].c_str(),
                     cli::UsageHint(args[0]).c_str());
        return cli::kExitUsage;
    }
    if (std::find_if(args.begin() + 1, args.end(), [](const std::string& a) {
            return a == "--help" || a == "-h";
        }) != args.end()) {
        std::fputs(help->c_str(), stdout);
        return cli::kExitDone;
    }
    const cli::CommandOptions known = cli::OptionsOf(args[0]);
    const cli::ParseResult parsed = cli::ParseCommandLine(args, known.valued, known.flags);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "relicta: %s\n%s", parsed.error.c_str(),
                     cli::UsageHint(args[0]).c_str());
        return cli::kExitUsage;
    }
    const bool terminal = ::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO);
    const app::CheckPolicy policy = parsed.options.onCheck.value_or(
        terminal ? app::CheckPolicy::Ask : app::CheckPolicy::Ignore);
    app::ConsoleDialogs dialogs(policy, stdin, stderr, terminal);
    dialogs.SetAnswerYes(!cli::NamedValue(parsed.options, "yes").empty());
    app::ScopedDialogs installed(dialogs);

    int status = cli::kExitUsage;
    if (parsed.options.command == "drives") {
        status = cli::RunDrives(parsed.options);
    } else if (parsed.options.command == "scan") {
        status = cli::RunScanCommand(parsed.options);
    } else if (parsed.options.command == "recover") {
        status = cli::RunRecoverCommand(parsed.options);
    } else if (parsed.options.command == "info") {
        status = cli::RunInfo(parsed.options);
    }
    if (status == cli::kExitDone && app::IgnoredConsistencyFailures() > 0) {
        status = cli::kExitChecksIgnored;
    }
    return status;
}
