#include <unistd.h>

#include <array>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>

#include "app/progress.h"
#include "app/scan_state.h"
#include "cli/commands.h"
#include "cli/console_progress.h"
#include "platform/drive_table.h"
#include "scan/found_files.h"
#include "scan/scan_driver.h"
#include "view/list_texts.h"
#include "view/saved_list.h"

namespace relicta::cli {
namespace {

volatile std::sig_atomic_t interrupted = 0;

// The first Ctrl+C stops the scan (what was found is still written); a second one ends
// the process the ordinary way.
void OnInterrupt(int) {
    interrupted = 1;
    std::signal(SIGINT, SIG_DFL);
}

constexpr std::array<bool, 256> kNeedsEscape = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 0x20; ++c) {
        table[c] = true;
    }
    table['"'] = true;
    table['\\'] = true;
    return table;
}();

// Appends `text` as a JSON string: runs that need no escape are copied whole.
void AppendJsonString(std::string& out, const std::string& text) {
    out += '"';
    std::size_t run = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (!kNeedsEscape[c]) {
            continue;
        }
        out.append(text, run, i - run);
        run = i + 1;
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default: {
                static constexpr char kHex[] = "0123456789abcdef";
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 0xF];
            }
        }
    }
    out.append(text, run, std::string::npos);
    out += '"';
}

template <typename Number>
void AppendDecimal(std::string& out, Number value) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

void AppendJsonLine(std::string& out, std::size_t item, const scan::FoundFile& f) {
    out += "{\"item\":";
    AppendDecimal(out, item);
    out += ",\"name\":";
    AppendJsonString(out, f.name);
    out += ",\"dir\":";
    AppendJsonString(out, f.dir);
    out += ",\"size\":";
    AppendDecimal(out, f.size);
    out += ",\"attributes\":";
    AppendDecimal(out, f.attributes);
    out += ",\"modified\":\"";
    view::AppendIsoDateText(out, f.modifiedTime);
    out += "\",\"condition\":";
    AppendJsonString(out, f.condition);
    out += ",\"mft_or_cluster\":";
    AppendDecimal(out, f.mftOrCluster);
    out += "}\n";
}

void WriteList(std::ostream& out, const std::string& format) {
    if (format != "json") {
        view::WriteSavedList(out);
        return;
    }
    constexpr std::size_t kFlushBytes = 1 << 20;
    std::string text;
    text.reserve(kFlushBytes + 4096);
    for (std::size_t i = 0; i < scan::foundFiles.size(); ++i) {
        AppendJsonLine(text, i, scan::foundFiles[i]);
        if (text.size() >= kFlushBytes || i + 1 == scan::foundFiles.size()) {
            out.write(text.data(), static_cast<std::streamsize>(text.size()));
            text.clear();
        }
    }
}

}  // namespace

std::optional<ScanOutcome> ScanForCommand(const Options& options, view::FoundFileList& list,
                                          int& status) {
    if (options.arguments.size() > 1) {
        std::fprintf(stderr, "relicta: %s takes at most one drive\n%s", options.command.c_str(),
                     UsageText().c_str());
        status = kExitUsage;
        return std::nullopt;
    }
    const std::optional<std::vector<char>> drives = DrivesFromArguments(options);
    if (!drives) {
        status = kExitUsage;
        return std::nullopt;
    }
    scan::ScanSettings settings;
    settings.filePattern = NamedValue(options, "pattern", "*");
    settings.skipTempFiles = !NamedValue(options, "skip-temp").empty();
    // One drive named: that drive; a partitioned image named: all drives, its volumes with them.
    settings.scanDrive = drives->size() == 1 && !options.arguments.empty()
                             ? std::string(1, drives->front()) + ":\\"
                             : "";
    scan::CompileScanPattern(settings);

    const bool terminal = ::isatty(STDERR_FILENO) != 0;
    app::SetProgressFactory([terminal]() -> std::unique_ptr<app::ProgressWindow> {
        return terminal ? std::make_unique<ConsoleProgress>(stderr) : nullptr;
    });
    interrupted = 0;
    std::signal(SIGINT, OnInterrupt);
    app::SetPumpMessagesHook([] {
        if (interrupted) {
            app::StopScan = true;
        }
        return false;
    });
    scan::RunScan(settings, list);
    std::signal(SIGINT, SIG_DFL);
    app::SetPumpMessagesHook(nullptr);
    app::SetProgressFactory(nullptr);
    status = scan::OpenedDrives() > 0 ? kExitDone : kExitUsage;
    return ScanOutcome{interrupted != 0};
}

int RunScanCommand(const Options& options) {
    const std::string format = NamedValue(options, "format", "tsv");
    if (format != "tsv" && format != "json") {
        std::fprintf(stderr, "relicta: --format takes tsv or json, not %s\n", format.c_str());
        return kExitUsage;
    }
    const std::string outputPath = NamedValue(options, "output");
    std::ofstream file;
    if (!outputPath.empty()) {
        file.open(outputPath, std::ios::binary | std::ios::trunc);
        if (!file) {
            std::fprintf(stderr, "relicta: %s: cannot be written\n", outputPath.c_str());
            return kExitUsage;
        }
    }
    view::FoundFileList list;
    int status = kExitUsage;
    const std::optional<ScanOutcome> outcome = ScanForCommand(options, list, status);
    if (!outcome) {
        return status;
    }
    WriteList(outputPath.empty() ? std::cout : file, format);
    std::cout.flush();
    if (outcome->interrupted) {
        std::fprintf(stderr, "relicta: scan stopped; %zu files found so far\n",
                     scan::foundFiles.size());
    }
    return status;
}

}  // namespace relicta::cli
