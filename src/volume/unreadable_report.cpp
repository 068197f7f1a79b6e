#include "volume/unreadable_report.h"

#include <vector>

#include "app/dialogs.h"
#include "platform/last_error.h"

namespace relicta::volume {
namespace {

std::string Count(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "13 MFT records, 2 folders": what the scan or recovery lost, or empty.
std::string LostText(const ReadLosses& losses) {
    std::vector<std::string> parts;
    if (losses.mftRecords > 0) {
        parts.push_back(Count(losses.mftRecords, "MFT record", "MFT records"));
    }
    if (losses.folders > 0) {
        parts.push_back(Count(losses.folders, "folder", "folders") + " (in part or whole)");
    }
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        text += (i == 0 ? "" : ", ") + parts[i];
    }
    return text;
}

}  // namespace

std::string UnreadableSectorsText(char letter, const platform::UnreadableRuns& runs,
                                  const ReadLosses& losses) {
    const std::vector<platform::ByteRun> all = runs.All();
    if (all.empty()) {
        return {};
    }
    const uint64_t sectors =
        (runs.Bytes() + platform::kUnreadableSectorBytes - 1) / platform::kUnreadableSectorBytes;
    std::string text = std::string("Drive ") + letter + ": " + Count(sectors, "sector", "sectors") +
                       " could not be read (" + platform::SystemErrorText(runs.FirstError()) +
                       "): " + (all.size() == 1 && sectors == 1 ? "sector " : "sectors ") +
                       platform::DescribeSectorRuns(all) +
                       ", of 512 bytes counted from the volume's start.";
    if (losses.otherFatCopy) {
        text += "\nThe second FAT stood in for the first one's unreadable sectors.";
    }
    if (losses.unreadableFat) {
        text +=
            "\nSome FAT sectors could be read from neither copy: files whose chains lie there "
            "are followed as if their clusters were contiguous.";
    }
    const std::string lost = LostText(losses);
    if (!lost.empty()) {
        text += "\nLost with them: " + lost + ".";
    }
    if (losses.files > 0) {
        text += "\n" + Count(losses.files, "file", "files") +
                (losses.files == 1 ? " crosses them and was" : " cross them and were") +
                " not written whole.";
    }
    if (losses.partialFiles > 0) {
        text += "\n" + Count(losses.partialFiles, "file was", "files were") +
                " written with them as zeros.";
    }
    return text;
}

bool ReportUnreadableSectors() {
    if (Vcb == nullptr) {
        return false;
    }
    const std::string text =
        UnreadableSectorsText(Vcb->DriveLetter(), Vcb->Unreadable, Vcb->Losses);
    if (text.empty()) {
        return false;
    }
    app::MessageBox(text, kUnreadableSectorsCaption, app::MbButtons::Ok, app::MbIcon::Warning);
    return true;
}

}  // namespace relicta::volume
