// Every header the pass found followed, on every core where the drive allows it, decided on in
// drive order, and what is a file of its own listed.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "app/progress.h"
#include "app/scan_state.h"
#include "content/formats/format.h"
#include "deep/carve_follow.h"
#include "deep/carve_resolve.h"
#include "deep/carved_names.h"
#include "deep/carver.h"
#include "ntfs/attribute.h"
#include "ntfs/attribute_data.h"
#include "ntfs/mft_layout.h"
#include "ntfs/mft_record.h"
#include "scan/found_files.h"
#include "volume/raw_io.h"
#include "volume/vcb.h"

namespace relicta::deep {
namespace {

using volume::Vcb;

// A run from a first cluster guessed from a size: whether `layout` only guesses it.
bool GuessesRun(scan::DataLayout layout) {
    return layout == scan::DataLayout::Guessed || layout == scan::DataLayout::Default;
}

// Where a file of the normal scan of the volume open now lies.
void AddEntryClusters(const scan::FoundFile& file, ListedFiles& listed) {
    const int64_t clusterBytes = Vcb->BytesPerCluster;
    const auto sane = [&](int64_t lcn, int64_t clusters) {
        return lcn >= 0 && clusters > 0 && lcn <= Vcb->TotalClusters + 2 &&
               clusters <= Vcb->TotalClusters;
    };
    if (Vcb->IsFat) {
        const std::optional<int64_t> first = volume::ClusterOffset(file.mftOrCluster);
        if (file.mftOrCluster < 2 || !first || file.size <= 0) {
            return;
        }
        listed.known.Add(*first, static_cast<uint64_t>(clusterBytes));
        const int64_t clusters = (file.size - 1) / clusterBytes + 1;
        if (clusters > 1 && file.layout != scan::DataLayout::Chain &&
            sane(file.mftOrCluster, clusters)) {
            const int64_t rest = *first + clusterBytes;
            const auto restBytes = static_cast<uint64_t>((clusters - 1) * clusterBytes);
            if (!GuessesRun(file.layout)) {
                listed.known.Add(rest, restBytes);
                return;
            }
            listed.guessed.Add(rest, restBytes, listed.guessedFamilies.size());
            listed.guessedFamilies.push_back(content::FamilyOfName(file.name));
        }
        return;
    }
    const ntfs::MftRecordPtr record = ntfs::ReadMftRecord(Vcb->hVolume, file.mftOrCluster, true);
    if (!record) {
        return;
    }
    const std::optional<ntfs::Attribute> data =
        ntfs::FindAttribute(Vcb->hVolume, record, ntfs::kData, u"");
    if (!data || data->IsResident()) {
        return;
    }
    for (const volume::ClusterExtent& e : ntfs::PlainExtents(*data)) {
        if (sane(e.lcn, e.clusters)) {
            listed.known.Add(e.lcn * clusterBytes,
                             static_cast<uint64_t>(e.clusters * clusterBytes));
        }
    }
}

// The files of this drive the list holds, from `firstItem` on.
ListedFiles FindListed(std::size_t firstItem) {
    ListedFiles listed;
    const bool volumeOpen = Vcb != nullptr && !Vcb->IsRawFileSystem && Vcb->BytesPerCluster != 0;
    for (std::size_t i = firstItem; i < scan::foundFiles.size(); ++i) {
        const scan::FoundFile& file = scan::foundFiles[i];
        if (const scan::DeepLocation* where = file.Deep()) {
            const bool guessed = file.layout == scan::DataLayout::Guessed;
            bool first = true;
            for (const scan::DeepExtent& e : where->extents) {
                if (e.offset == scan::DeepExtent::kZeros) {
                    continue;
                }
                if (guessed && !first) {
                    listed.guessed.Add(e.offset, e.length, listed.guessedFamilies.size());
                    continue;
                }
                // A guessed file's first sector is its own: its entry says so.
                const uint64_t known =
                    guessed ? std::min<uint64_t>(e.length, kSectorBytes) : e.length;
                listed.known.Add(e.offset, known);
                if (known < e.length) {
                    listed.guessed.Add(e.offset + static_cast<int64_t>(known), e.length - known,
                                       listed.guessedFamilies.size());
                }
                first = false;
            }
            if (guessed) {
                listed.guessedFamilies.push_back(content::FamilyOfName(file.name));
            }
        } else if (file.foundBy == scan::FoundBy::Entry && volumeOpen) {
            AddEntryClusters(file, listed);
        }
    }
    return listed;
}

class CarveProgress {
  public:
    explicit CarveProgress(std::size_t total)
        : total_(std::max<std::size_t>(total, 1)), window_(app::CreateProgressWindow()) {
        window_->SetRange(0, kSteps);
        Show(0);
    }
    // Shows `done` when the last showing is old enough; whether it did.
    bool Show(std::size_t done) {
        const auto now = std::chrono::steady_clock::now();
        if (done != 0 && done != total_ && now - shown_ < std::chrono::milliseconds(200)) {
            return false;
        }
        shown_ = now;
        window_->SetText("Carving: " + std::to_string(done) + " of " + std::to_string(total_) +
                         " candidates");
        window_->SetPos(static_cast<int>(static_cast<uint64_t>(done) * kSteps / total_));
        return true;
    }

  private:
    static constexpr int kSteps = 1000;
    std::size_t total_;
    std::unique_ptr<app::ProgressWindow> window_;
    std::chrono::steady_clock::time_point shown_{};
};

bool StopAsked() {
    return app::PumpMessages() || app::StopScan;
}

// Headers followed by workers in drive order, decided on as soon as all before are.
class CarveRun {
  public:
    CarveRun(const Carver& carver, FollowDrive drive, const ListedFiles& listed)
        : carver_(carver), drive_(std::move(drive)), resolver_(listed) {}

    // Follows every header on `threads` threads besides this one, or on this one alone.
    // Messages are pumped as often as progress is shown.
    void Run(std::size_t threads) {
        CarveProgress progress(carver_.Count());
        if (threads == 0) {
            Work([&] { return progress.Show(resolved_) && StopAsked(); });
        } else {
            std::vector<std::thread> workers;
            for (std::size_t t = 0; t < threads; ++t) {
                workers.emplace_back([this] { Work([] { return false; }); });
            }
            std::unique_lock lock(mutex_);
            while (resolved_ < carver_.Count() && !stop_) {
                progressed_.wait_for(lock, std::chrono::milliseconds(100));
                const std::size_t done = resolved_;
                lock.unlock();
                if (progress.Show(done) && StopAsked()) {
                    stop_ = true;
                }
                lock.lock();
            }
            lock.unlock();
            for (std::thread& worker : workers) {
                worker.join();
            }
        }
        // Stopped: what was followed past the first header left out still counts.
        for (auto& [index, carved] : finished_) {
            resolver_.Take(std::move(carved));
        }
        finished_.clear();
        progress.Show(carver_.Count());
    }

    std::vector<CarvedFile>& Kept() { return resolver_.Kept(); }

  private:
    template <typename Stop>
    void Work(Stop stop) {
        std::vector<uint8_t> buffer;
        while (!stop_) {
            const std::size_t i = next_++;
            if (i >= carver_.Count()) {
                break;
            }
            const CarveHeader header = carver_.At(i);
            CarvedFile carved;
            carved.offset = header.offset;
            carved.format = header.format;
            if (!IsDecided(header)) {
                try {
                    carved = FollowHeader(drive_, header.offset, header.format, buffer);
                } catch (const std::exception&) {
                    // Out of memory on a hostile size: this header gives nothing.
                }
            }
            Finish(i, std::move(carved));
            if (stop()) {
                stop_ = true;
            }
        }
    }

    bool IsDecided(const CarveHeader& header) {
        const std::lock_guard lock(mutex_);
        return resolver_.Decided(header.offset, header.format);
    }

    void Finish(std::size_t index, CarvedFile carved) {
        const std::lock_guard lock(mutex_);
        finished_.emplace(index, std::move(carved));
        for (auto first = finished_.begin(); first != finished_.end() && first->first == resolved_;
             first = finished_.begin()) {
            resolver_.Take(std::move(first->second));
            finished_.erase(first);
            ++resolved_;
        }
        progressed_.notify_one();
    }

    const Carver& carver_;
    FollowDrive drive_;
    CarveResolver resolver_;
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable progressed_;
    std::map<std::size_t, CarvedFile> finished_;  // followed, after one still being followed
    std::size_t resolved_ = 0;                    // headers decided on, in drive order
};

std::size_t ListCarved(scan::ScanContext& context, std::vector<CarvedFile>& kept, char letter,
                       bool folderEndsInBackslash) {
    const std::span<const content::Format* const> formats = content::CarvedFormats();
    const std::string top = std::string(1, letter) + ":\\" + kCarvedFolder + '\\';
    CarvedNames names;
    std::size_t listed = 0;
    for (CarvedFile& carved : kept) {
        const content::Format& format = *formats[carved.format];
        const std::string dir =
            top + std::string(format.name) + (folderEndsInBackslash ? "\\" : "");
        const uint64_t sector = static_cast<uint64_t>(carved.offset) / kSectorBytes;
        const std::string name = names.Give(
            dir, NameFromMetadata(carved.metadata),
            carved.metadata.extension.empty() ? format.extension : carved.metadata.extension,
            sector);
        if (!context.filters.Accepts(dir, name)) {
            continue;
        }
        scan::FoundFile file = scan::NewFoundFile(
            name, dir, static_cast<int64_t>(carved.size), 0, FileTimeOfStated(carved.metadata.time),
            carved.good && !carved.reassembled ? scan::kGood : scan::kPoor,
            static_cast<uint32_t>(std::min<uint64_t>(sector, UINT32_MAX)));
        file.foundBy = scan::FoundBy::Carved;
        file.layout =
            carved.reassembled ? scan::DataLayout::Reassembled : scan::DataLayout::Default;
        file.SetDeep(scan::DeepLocation{std::move(carved.extents), {}, false});
        scan::AddFoundFile(context.listCtrl, std::move(file));
        ++listed;
    }
    return listed;
}

}  // namespace

std::size_t CarveFiles(scan::ScanContext& context, Carver& carver, const CarveDrive& drive,
                       std::size_t firstItem, std::vector<std::string>& notes) {
    if (carver.LeftOutFrom() >= 0) {
        notes.push_back("Carving: more than " + std::to_string(carver.Count()) +
                        " places where files may begin; those from sector " +
                        std::to_string(carver.LeftOutFrom() / int64_t{kSectorBytes}) +
                        " on were not looked at.");
    }
    if (carver.Count() == 0) {
        return 0;
    }
    const ListedFiles listed = FindListed(firstItem);
    FollowDrive follow;
    follow.handle = drive.handle;
    follow.length = drive.length;
    follow.current = drive.current;
    follow.boots = drive.boots;
    follow.mayHold = [&](int64_t block) {
        return (drive.current == nullptr || !drive.current->InUse(block, kSectorBytes)) &&
               !listed.known.Contains(block) && !carver.HasHeaderAt(block);
    };
    CarveRun run(carver, std::move(follow), listed);
    const bool threaded = platform::CurrentPlatform().ReadsFromAnyThread(drive.handle);
    run.Run(threaded ? std::max(1U, std::thread::hardware_concurrency()) : 0);
    carver.Clear();
    const bool ntfs = drive.current != nullptr && drive.current->kind == CurrentKind::Ntfs;
    return ListCarved(context, run.Kept(), drive.letter, ntfs);
}

}  // namespace relicta::deep
