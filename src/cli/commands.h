#pragma once

#include <optional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "view/found_file_list.h"
#include "view/list_filter.h"

namespace relicta::cli {

int RunDrives(const Options& options);
int RunInfo(const Options& options);
int RunScanCommand(const Options& options);
int RunRecoverCommand(const Options& options);

// Attaches every --volume; false (with the reason on stderr) when one cannot be. Without
// any, the machine's block devices are discovered unless `explicitDrives` names drives.
bool AttachVolumes(const Options& options, bool explicitDrives = false);

// The drives the arguments name: letters of attached drives, or paths attached now.
std::vector<char> ResolveDrives(const Options& options, std::string& error);

// Attaches the --volume options and resolves the arguments; nullopt (with the reason on
// stderr) when that fails.
std::optional<std::vector<char>> DrivesFromArguments(const Options& options);

// The scan `relicta scan` runs for these options, into `list`: nullopt with the exit status
// for bad arguments, else whether Ctrl+C stopped it.
struct ScanOutcome {
    bool interrupted = false;
    bool partial = false;  // sectors of a scanned drive could not be read
};
std::optional<ScanOutcome> ScanForCommand(const Options& options, view::FoundFileList& list,
                                          int& status);

// The filter of the list options scan and recover take (--kind, --min-condition, --min-size,
// --max-size, --found-by, --modified-after, --modified-before); nullopt (with the reason on stderr) for a value that means nothing.
std::optional<view::ListFilter> FilterFromOptions(const Options& options);
// Drops the rows `filter` does not accept.
void KeepFilteredRows(view::FoundFileList& list, const view::ListFilter& filter);

}  // namespace relicta::cli
