#include "recover/content_pass.h"

#include <algorithm>
#include <memory>

#include "app/progress.h"
#include "app/scan_state.h"
#include "content/digest.h"
#include "ntfs/ntfs_volume.h"
#include "platform/platform.h"
#include "recover/found_file_data.h"
#include "scan/found_files.h"
#include "volume/vcb.h"

namespace relicta::recover {
namespace {

constexpr std::size_t kDigestBlock = std::size_t{1} << 20;

// The MD5 of the file's whole data; empty when it cannot all be read.
std::string Md5Of(content::DataReader& data) {
    content::Digest md5(content::Digest::Kind::Md5);
    std::vector<uint8_t> block;
    for (uint64_t at = 0; at < data.Size();) {
        block.resize(static_cast<std::size_t>(std::min<uint64_t>(kDigestBlock, data.Size() - at)));
        if (!data.Read(at, block)) {
            return {};
        }
        md5.Update(block);
        at += block.size();
    }
    return md5.Hex();
}

// True when the work is to stop: Cancel, Ctrl+C, or a quit request.
bool StopRequested() {
    if (app::PumpMessages()) {
        app::StopScan = true;
    }
    return app::StopScan;
}

}  // namespace

content::ContentResult CheckFoundFile(content::ContentChecker& checker, uint32_t itemNum) {
    const std::unique_ptr<content::DataReader> data = OpenFoundFileData(itemNum);
    if (!data) {
        return {content::Verdict::Unknown, "the data is no longer where the scan found it"};
    }
    return checker.Check(scan::foundFiles[itemNum].name, *data);
}

bool CheckFoundFiles(const std::vector<uint32_t>& items, bool md5) {
    content::ContentChecker checker;
    std::unique_ptr<app::ProgressWindow> window = app::CreateProgressWindow();
    window->SetText("Checking the content of " + std::to_string(items.size()) +
                    " files, Please wait...");
    app::ScaledProgress progress(*window, static_cast<int64_t>(items.size()) + 1);
    app::StopScan = false;
    char open = '\0';
    bool stopped = false;
    for (const uint32_t item : items) {
        progress.Step();
        if (StopRequested()) {
            stopped = true;
            break;
        }
        if (item >= scan::foundFiles.size()) {
            continue;
        }
        scan::FoundFile& file = scan::foundFiles[item];
        if (file.Drive() != open) {
            ntfs::CloseNtfsVolumeIfOpen();
            const std::optional<platform::Handle> handle = ntfs::OpenNtfsVolume(file.Drive());
            open = handle && platform::IsOpenHandle(*handle) ? file.Drive() : '\0';
        }
        content::ContentResult result{content::Verdict::Unknown, "the drive cannot be opened"};
        if (open != '\0') {
            const std::unique_ptr<content::DataReader> data = OpenFoundFileData(item);
            if (data) {
                result = checker.Check(file.name, *data);
                if (md5) {
                    file.EditNotes().md5 = Md5Of(*data);
                }
            } else {
                result.detail = "the data is no longer where the scan found it";
            }
        }
        file.EditNotes().content = content::VerdictName(result.verdict);
        file.EditNotes().contentDetail = result.detail;
    }
    ntfs::CloseNtfsVolumeIfOpen();
    return !stopped;
}

}  // namespace relicta::recover
