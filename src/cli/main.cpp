#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <string>
#include <vector>

#include "app/consistency.h"
#include "app/console_dialogs.h"
#include "app/dialogs.h"
#include "cli/commands.h"
#include "cli/options.h"
#include "volume/filetime.h"

int main(int argc, char** argv) {
    using namespace relicta;
    std::setlocale(LC_ALL, "");
    relicta::volume::PinLocalTimeZone();
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(cli::UsageText().c_str(), args.empty() ? stderr : stdout);
        return args.empty() ? cli::kExitUsage : cli::kExitDone;
    }
    const cli::CommandOptions known = cli::OptionsOf(args[0]);
    const cli::ParseResult parsed = cli::ParseCommandLine(args, known.valued, known.flags);
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "relicta: %s\n%s", parsed.error.c_str(), cli::UsageText().c_str());
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
    } else {
        std::fprintf(stderr, "relicta: unknown command %s\n%s", parsed.options.command.c_str(),
                     cli::UsageText().c_str());
        return cli::kExitUsage;
    }
    if (status == cli::kExitDone && app::IgnoredConsistencyFailures() > 0) {
        status = cli::kExitChecksIgnored;
    }
    return status;
}
