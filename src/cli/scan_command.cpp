#include <unistd.h>

#include <array>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string_view>
#include <vector>

#include "app/progress.h"
#include "app/scan_state.h"
#include "cli/commands.h"
#include "cli/console_progress.h"
#include "cli/interrupt.h"
#include "deep/checkpoint.h"
#include "deep/deep_scan.h"
#include "platform/drive_table.h"
#include "recover/content_pass.h"
#include "scan/found_files.h"
#include "scan/scan_driver.h"
#include "view/bodyfile.h"
#include "view/list_texts.h"
#include "view/saved_list.h"

namespace relicta::cli {
namespace {

constexpr std::array<bool, 256> kNeedsEscape = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 0x20; ++c) {
        table[c] = true;
    }
    table['"'] = true;
    table['\\'] = true;
    return table;
}();

// JSON lines written into one buffer, handed to the stream whenever it fills: a list of a
// hundred thousand files is written without a string operation per field.
class JsonLineWriter {
  public:
    // `foundBy`: each line says how its file was found (a deep scan's list).
    JsonLineWriter(std::ostream& out, bool foundBy)
        : out_(out), buffer_(kFlushBytes), foundBy_(foundBy) {}

    void Write(std::size_t item, const scan::FoundFile& f) {
        MakeRoom(kFixedBytes +
                 kMaxEscapeBytes * (f.name.size() + f.dir.size() + f.condition.size() +
                                    f.Notes().recycledAs.size() + f.Notes().content.size() +
                                    f.Notes().contentDetail.size()));
        Text("{\"item\":");
        Decimal(item);
        Text(",\"name\":");
        String(f.name);
        Text(",\"dir\":");
        String(f.dir);
        Text(",\"size\":");
        Decimal(f.size);
        Text(",\"attributes\":");
        Decimal(f.attributes);
        Text(",\"modified\":\"");
        cursor_ = view::WriteIsoDateText(cursor_, f.modifiedTime);
        Text("\",\"condition\":");
        String(f.condition);
        Text(",\"mft_or_cluster\":");
        Decimal(f.mftOrCluster);
        if (foundBy_) {
            Text(",\"found_by\":\"");
            Text(scan::FoundByName(f.foundBy));
            Text("\"");
        }
        if (f.layout != scan::DataLayout::Default) {
            Text(",\"layout\":\"");
            Text(scan::DataLayoutName(f.layout));
            Text("\"");
        }
        const scan::FoundFileNotes& notes = f.Notes();
        if (!notes.content.empty()) {
            Text(",\"content\":");
            String(notes.content);
            Text(",\"content_detail\":");
            String(notes.contentDetail);
        }
        if (!notes.recycledAs.empty()) {
            Text(",\"recycled_as\":");
            String(notes.recycledAs);
            Text(",\"deleted\":\"");
            cursor_ = view::WriteIsoDateText(cursor_, notes.deletedTime);
            Text("\"");
        }
        Text("}\n");
    }

    void Flush() {
        out_.write(buffer_.data(), cursor_ - buffer_.data());
        cursor_ = buffer_.data();
    }

  private:
    static constexpr std::size_t kFlushBytes = 1 << 20;
    static constexpr std::size_t kMaxEscapeBytes = 6;  // \u00XX
    static constexpr std::size_t kMaxNumberBytes = 24;
    static constexpr std::size_t kFieldNameBytes = 160;  // names, quotes, punctuation: 120
    static constexpr std::size_t kFixedBytes =
        kFieldNameBytes + 4 * kMaxNumberBytes + view::kMaxDateTextBytes;

    void MakeRoom(std::size_t bytes) {
        if (static_cast<std::size_t>(buffer_.data() + buffer_.size() - cursor_) < bytes) {
            Flush();
            if (buffer_.size() < bytes) {
                buffer_.resize(bytes);
                cursor_ = buffer_.data();
            }
        }
    }

    void Text(std::string_view text) { cursor_ = std::copy(text.begin(), text.end(), cursor_); }

    template <typename Number>
    void Decimal(Number value) {
        cursor_ = std::to_chars(cursor_, cursor_ + kMaxNumberBytes, value).ptr;
    }

    void String(const std::string& text) {
        static constexpr char kHex[] = "0123456789abcdef";
        *cursor_++ = '"';
        for (const char ch : text) {
            const unsigned char c = static_cast<unsigned char>(ch);
            if (!kNeedsEscape[c]) {
                *cursor_++ = ch;
                continue;
            }
            *cursor_++ = '\\';
            switch (c) {
                case '"':
                case '\\':
                    *cursor_++ = ch;
                    break;
                case '\n':
                    *cursor_++ = 'n';
                    break;
                case '\r':
                    *cursor_++ = 'r';
                    break;
                case '\t':
                    *cursor_++ = 't';
                    break;
                default:
                    Text("u00");
                    *cursor_++ = kHex[c >> 4];
                    *cursor_++ = kHex[c & 0xF];
            }
        }
        *cursor_++ = '"';
    }

    std::ostream& out_;
    std::vector<char> buffer_;
    bool foundBy_ = false;
    char* cursor_ = buffer_.data();
};

// `items`, or every found file when there are none.
void WriteList(std::ostream& out, const std::string& format, bool deep,
               const std::optional<view::ItemList>& items) {
    if (format == "bodyfile") {
        view::WriteBodyfile(out, items ? *items : view::AllItems());
        return;
    }
    if (format != "json") {
        view::WriteSavedList(out, items ? *items : view::AllItems());
        return;
    }
    JsonLineWriter writer(out, deep);
    const std::size_t count = items ? items->size() : scan::foundFiles.size();
    for (std::size_t i = 0; i < count; ++i) {
        const auto item = items ? (*items)[i] : static_cast<uint32_t>(i);
        writer.Write(item, scan::foundFiles.at(item));
    }
    writer.Flush();
}

// The files the filter let through; nullopt when it lets every one through. The rows are
// given up first: a list of millions is not held twice.
std::optional<view::ItemList> ListedItems(view::FoundFileList& list,
                                          const view::ListFilter& filter) {
    std::vector<view::FoundFileList::Row> rows;
    rows.swap(list.rows);
    if (filter.FiltersNothing()) {
        return std::nullopt;
    }
    view::ItemList items;
    items.reserve(rows.size());
    for (const view::FoundFileList::Row& row : rows) {
        items.push_back(row.itemData);
    }
    return items;
}

// The content check of every listed file, under the console's progress; Ctrl+C stops it.
bool CheckListedContent(const view::FoundFileList& list, bool md5) {
    std::vector<uint32_t> items;
    items.reserve(list.rows.size());
    for (const view::FoundFileList::Row& row : list.rows) {
        items.push_back(row.itemData);
    }
    const bool terminal = ::isatty(STDERR_FILENO) != 0;
    app::SetProgressFactory([terminal]() -> std::unique_ptr<app::ProgressWindow> {
        return terminal ? std::make_unique<ConsoleProgress>(stderr) : nullptr;
    });
    const CtrlCStops ctrlC;
    const bool finished = recover::CheckFoundFiles(items, md5);
    app::SetProgressFactory(nullptr);
    return finished;
}

// The checkpoint of `relicta scan --deep`: the one --resume names, else beside --output, else
// in the current directory after the drive (and then said where). nullopt, after telling the
// user, when the one to go on from is refused.
std::optional<std::unique_ptr<deep::DeepCheckpoint>> CheckpointFor(const Options& options,
                                                                   const std::string& scanDrive) {
    if (options.command != "scan") {
        return std::unique_ptr<deep::DeepCheckpoint>();
    }
    const std::string resume = NamedValue(options, "resume");
    if (!resume.empty()) {
        auto checkpoint = std::make_unique<deep::DeepCheckpoint>(resume);
        if (!checkpoint->Resume()) {
            return std::nullopt;
        }
        return checkpoint;
    }
    const std::string output = NamedValue(options, "output");
    if (!output.empty()) {
        return std::make_unique<deep::DeepCheckpoint>(output + ".checkpoint");
    }
    const std::string path = deep::CheckpointName(
        scanDrive, options.arguments.size() == 1 ? options.arguments.front() : "");
    std::fprintf(stderr, "relicta: the deep scan keeps its checkpoint in %s\n", path.c_str());
    return std::make_unique<deep::DeepCheckpoint>(path);
}

}  // namespace

std::optional<ScanOutcome> ScanForCommand(const Options& options, view::FoundFileList& list,
                                          int& status) {
    if (options.arguments.size() > 1) {
        std::fprintf(stderr, "relicta: %s takes at most one drive\n%s", options.command.c_str(),
                     UsageHint(options.command).c_str());
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
    const bool deep = !NamedValue(options, "deep").empty();
    if (!deep && !NamedValue(options, "resume").empty()) {
        std::fprintf(stderr, "relicta: --resume goes with --deep\n%s",
                     UsageHint(options.command).c_str());
        status = kExitUsage;
        return std::nullopt;
    }
    std::unique_ptr<deep::DeepCheckpoint> checkpoint;
    if (deep) {
        std::optional<std::unique_ptr<deep::DeepCheckpoint>> made =
            CheckpointFor(options, settings.scanDrive);
        if (!made) {
            status = kExitUsage;
            return std::nullopt;
        }
        checkpoint = std::move(*made);
    }

    const bool terminal = ::isatty(STDERR_FILENO) != 0;
    app::SetProgressFactory([terminal]() -> std::unique_ptr<app::ProgressWindow> {
        return terminal ? std::make_unique<ConsoleProgress>(stderr) : nullptr;
    });
    bool interrupted = false;
    {
        // The first Ctrl+C stops the scan (what was found is still written).
        const CtrlCStops ctrlC;
        if (deep) {
            deep::RunDeepScan(
                settings, list,
                NamedValue(options, "no-carve").empty() ? deep::Carving::On : deep::Carving::Off,
                checkpoint.get());
        } else {
            scan::RunScan(settings, list);
        }
        interrupted = ctrlC.Pressed();
    }
    if (checkpoint) {
        checkpoint->Finish();
        std::error_code error;
        if (app::StopScan && std::filesystem::exists(checkpoint->Path(), error)) {
            std::fprintf(stderr, "relicta: go on with --resume %s\n", checkpoint->Path().c_str());
        }
    }
    app::SetProgressFactory(nullptr);
    status = scan::OpenedDrives() > 0 ? kExitDone : kExitUsage;
    return ScanOutcome{interrupted, scan::PartialDrives() > 0};
}

int RunScanCommand(const Options& options) {
    const std::string format = NamedValue(options, "format", "tsv");
    if (format != "tsv" && format != "json" && format != "bodyfile") {
        std::fprintf(stderr, "relicta: --format takes tsv, json or bodyfile, not %s\n",
                     format.c_str());
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
    const std::optional<view::ListFilter> filter = FilterFromOptions(options);
    if (!filter) {
        return kExitUsage;
    }
    view::FoundFileList list;
    int status = kExitUsage;
    const std::optional<ScanOutcome> outcome = ScanForCommand(options, list, status);
    if (!outcome) {
        return status;
    }
    bool checkStopped = false;
    if (!outcome->interrupted && !NamedValue(options, "check-content").empty()) {
        // A file's kind may change once its content is known: the kind waits for the check.
        view::ListFilter beforeCheck = *filter;
        beforeCheck.kinds = 0;
        KeepFilteredRows(list, beforeCheck);
        checkStopped = !CheckListedContent(list, format == "bodyfile");
    }
    KeepFilteredRows(list, *filter);
    WriteList(outputPath.empty() ? std::cout : file, format, !NamedValue(options, "deep").empty(),
              ListedItems(list, *filter));
    std::cout.flush();
    if (outcome->interrupted) {
        std::fprintf(stderr, "relicta: scan stopped; %zu files found so far\n",
                     scan::foundFiles.size());
    } else if (checkStopped) {
        std::fprintf(stderr,
                     "relicta: content check stopped; files it did not reach have no "
                     "verdict\n");
    }
    return status == kExitDone && outcome->partial ? kExitPartial : status;
}

}  // namespace relicta::cli
