#include <cstdio>

#include "cli/commands.h"
#include "cli/describe.h"
#include "platform/drive_table.h"
#include "platform/platform.h"
#include "volume/open_volume.h"
#include "volume/vcb.h"

namespace relicta::cli {

bool AttachVolumes(const Options& options, bool explicitDrives) {
    const std::string error =
        platform::AttachVolumes(options.volumes, options.volumeMapfiles, explicitDrives);
    if (!error.empty()) {
        std::fprintf(stderr, "relicta: %s\n", error.c_str());
        return false;
    }
    return true;
}

std::vector<char> ResolveDrives(const Options& options, std::string& error) {
    std::vector<char> letters;
    for (const std::string& argument : options.arguments) {
        const platform::AttachResult resolved =
            platform::ResolveDriveArgument(argument, options.argumentMapfile);
        if (!resolved.ok()) {
            error = resolved.error;
            return {};
        }
        letters.insert(letters.end(), resolved.letters.begin(), resolved.letters.end());
    }
    if (options.arguments.empty()) {
        letters = platform::Drives().Letters();
    }
    return letters;
}

std::optional<std::vector<char>> DrivesFromArguments(const Options& options) {
    if (!AttachVolumes(options, !options.arguments.empty())) {
        return std::nullopt;
    }
    std::string error;
    std::vector<char> letters = ResolveDrives(options, error);
    if (!error.empty()) {
        std::fprintf(stderr, "relicta: %s\n", error.c_str());
        return std::nullopt;
    }
    return letters;
}

int RunDrives(const Options& options) {
    if (!options.arguments.empty()) {
        std::fprintf(stderr, "relicta: drives takes no arguments\n%s", UsageHint("drives").c_str());
        return kExitUsage;
    }
    if (!AttachVolumes(options)) {
        return kExitUsage;
    }
    platform::Platform& os = platform::CurrentPlatform();
    int opened = 0;
    for (char letter : platform::Drives().Letters()) {
        const platform::DriveSource* source = platform::Drives().Find(letter);
        const std::optional<std::string> fsName = platform::ListedFileSystemName(os, letter);
        std::printf("%c:  %s  %s  %s  ", letter, source->Describe().c_str(),
                    platform::DriveTypeName(os.GetDriveType(letter)),
                    fsName ? fsName->c_str() : "(unnamed)");
        std::fflush(stdout);
        const platform::Handle handle = volume::OpenVolume(letter);
        if (handle == platform::kNoHandle) {
            std::printf("refused\n");
        } else if (handle == platform::kInvalidHandle) {
            std::printf("cannot be opened\n");
        } else {
            // What the lenient open made of nothing recognisable means little: say what reads it.
            const bool unknown = fsName == platform::kUnknownFileSystem;
            std::printf("%s%s\n", DescribeVolume(*volume::Vcb).c_str(),
                        unknown ? "; only scan --deep reads it" : "");
            ++opened;
        }
        volume::CloseVolume();
    }
    return opened > 0 || platform::Drives().Letters().empty() ? kExitDone : kExitUsage;
}

}  // namespace relicta::cli
