#include "app/drive_choices.h"

#include <optional>

#include "platform/drive_table.h"
#include "platform/platform.h"

namespace relicta::app {
namespace {

bool QualifyingFileSystem(const std::string& name) {
    return name == "NTFS" || name == "FAT32" || name == "FAT" || name == "exFAT";
}

// Why a fixed drive's file system could not be named, when that is a permission problem.
std::string PermissionProblemOf(char letter) {
    const platform::DriveSource* source = platform::Drives().Find(letter);
    return source != nullptr ? platform::PermissionProblem(source->path) : std::string();
}

}  // namespace

DriveChoices ListScanDrives() {
    platform::Platform& os = platform::CurrentPlatform();
    DriveChoices choices;
    std::string summary;
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        const std::string root = std::string(1, letter) + ":\\";
        const platform::DriveType type = os.GetDriveType(letter);
        if (type == platform::DriveType::Fixed) {
            const std::optional<std::string> name = os.GetFileSystemName(letter);
            if (!QualifyingFileSystem(name.value_or("RAW"))) {
                if (std::string problem = name ? std::string() : PermissionProblemOf(letter);
                    !problem.empty()) {
                    choices.unreadable.push_back(std::move(problem));
                    // Still offered: the desktop program asks udisks2 to open it when chosen.
                    choices.entries.push_back({root + " (needs administrator rights)", letter});
                }
                continue;
            }
            if (letter >= 'C') {
                summary += (summary.empty() ? "" : ",") + std::string(1, letter) + ":";
            }
        } else if (type != platform::DriveType::Removable) {
            continue;
        }
        choices.entries.push_back({root, letter});
    }
    if (choices.entries.size() >= 2) {
        choices.entries.insert(choices.entries.begin(),
                               {"All hard drives (" + summary + ")", kAllHardDrives});
    }
    return choices;
}

}  // namespace relicta::app
