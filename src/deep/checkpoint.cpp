#include "deep/checkpoint.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "app/dialogs.h"
#include "app/scan_state.h"
#include "platform/drive_table.h"
#include "platform/last_error.h"
#include "platform/platform.h"

namespace relicta::deep {
namespace {

constexpr char kCaption[] = "Deep scan";
constexpr uint8_t kMagic[8] = {'R', 'L', 'C', 'T', 'D', 'E', 'E', 'P'};
constexpr uint32_t kVersion = 1;
constexpr std::size_t kHeaderBytes = sizeof kMagic + sizeof kVersion;
constexpr std::size_t kLengthBytes = sizeof(uint64_t);
constexpr std::size_t kHashBytes = sizeof(uint64_t);
// What the identity of a drive samples: a few sectors at its start, its quarters and its end.
constexpr std::size_t kSampleBytes = 4096;
constexpr int kSampleParts = 4;

std::string DriveRoot(char letter) {
    return std::string(1, letter) + ":\\";
}

template <typename Io, typename Identity>
void IdentityFields(Io& io, Identity& id) {
    io(id.letter);
    io(id.path);
    io(id.offset);
    io(id.length);
    io(id.sampled);
}

template <typename Io, typename Position>
void PositionFields(Io& io, Position& p) {
    io(p.finished);
    io(p.next);
    io(p.bytesRead);
    io(p.bytesUnreadable);
    io(p.carryEnd);
}

uint64_t HashOf(const std::vector<ByteRange>& ranges) {
    RunningHash hash;
    for (const ByteRange& r : ranges) {
        for (const int64_t v : {r.offset, r.length}) {
            uint8_t bytes[sizeof v];
            std::memcpy(bytes, &v, sizeof v);
            hash.Add(bytes);
        }
    }
    return hash.Value();
}

void PutU64(uint8_t* at, uint64_t v) {
    for (std::size_t i = 0; i < kLengthBytes; ++i) {
        at[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

bool WriteU64(std::FILE* out, uint64_t v) {
    uint8_t bytes[kLengthBytes];
    PutU64(bytes, v);
    return std::fwrite(bytes, 1, sizeof bytes, out) == sizeof bytes;
}

std::optional<uint64_t> ReadU64(std::FILE* in) {
    uint8_t bytes[kLengthBytes];
    if (std::fread(bytes, 1, sizeof bytes, in) != sizeof bytes) {
        return std::nullopt;
    }
    uint64_t v = 0;
    for (std::size_t i = kLengthBytes; i-- > 0;) {
        v = v << 8 | bytes[i];
    }
    return v;
}

bool WriteHeader(std::FILE* out) {
    uint8_t header[kHeaderBytes];
    std::memcpy(header, kMagic, sizeof kMagic);
    for (std::size_t i = 0; i < sizeof kVersion; ++i) {
        header[sizeof kMagic + i] = static_cast<uint8_t>(kVersion >> (8 * i));
    }
    return std::fwrite(header, 1, sizeof header, out) == sizeof header;
}

bool HeaderFits(std::span<const uint8_t> header) {
    uint32_t version = 0;
    for (std::size_t i = sizeof kVersion; i-- > 0;) {
        version = version << 8 | header[sizeof kMagic + i];
    }
    return std::equal(std::begin(kMagic), std::end(kMagic), header.begin()) && version == kVersion;
}

// Makes a rename inside `path`'s directory last.
void SyncDirectoryOf(const std::string& path) {
    std::filesystem::path dir = std::filesystem::path(path).parent_path();
    if (dir.empty()) {
        dir = ".";
    }
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

std::string Damaged(const std::string& path) {
    return "The checkpoint " + path +
           " is damaged or cut short: the deep scan cannot go on from it.";
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

DriveIdentity IdentifyDrive(char letter) {
    DriveIdentity id;
    id.letter = letter;
    if (const platform::DriveSource* source = platform::Drives().Find(letter)) {
        id.path = source->path;
        id.offset = source->offset;
    }
    platform::Platform& os = platform::CurrentPlatform();
    const platform::Handle handle = os.OpenVolume(letter);
    if (!platform::IsOpenHandle(handle)) {
        id.length = -1;
        return id;
    }
    id.length = static_cast<int64_t>(os.VolumeLength(handle));
    RunningHash hash;
    std::vector<uint8_t> sample(kSampleBytes);
    const int64_t last = std::max<int64_t>(0, id.length - static_cast<int64_t>(kSampleBytes));
    for (int part = 0; part <= kSampleParts; ++part) {
        const int64_t at = last / kSampleParts * part / static_cast<int64_t>(kSectorBytes) *
                           static_cast<int64_t>(kSectorBytes);
        std::size_t got = 0;
        if (!os.ReadAt(handle, at, sample, got)) {
            got = 0;
        }
        hash.Add(std::span<const uint8_t>(sample).first(std::min(got, sample.size())));
    }
    os.CloseHandle(handle);
    id.sampled = hash.Value();
    return id;
}

DeepCheckpoint::DeepCheckpoint(std::string path, std::chrono::steady_clock::duration every)
    : path_(std::move(path)), every_(every) {}

DeepCheckpoint::~DeepCheckpoint() {
    if (resumed_ != nullptr) {
        std::fclose(resumed_);
    }
}

bool DeepCheckpoint::Refuse(const std::string& why) {
    if (resumed_ != nullptr) {
        std::fclose(resumed_);
        resumed_ = nullptr;
    }
    sections_.clear();
    app::MessageBox(why, kCaption, app::MbButtons::Ok, app::MbIcon::Error);
    return false;
}

bool DeepCheckpoint::Resume() {
    resumed_ = std::fopen(path_.c_str(), "rb");
    struct stat st {};
    if (resumed_ == nullptr || ::fstat(::fileno(resumed_), &st) != 0) {
        return Refuse("The checkpoint " + path_ +
                      " cannot be read: " + platform::SystemErrorText(errno) + ".");
    }
    const auto size = static_cast<uint64_t>(st.st_size);
    CheckpointReader in(resumed_, size);
    uint8_t header[kHeaderBytes];
    in.Raw(header);
    if (!in.ok() || !HeaderFits(header)) {
        return Refuse(path_ + " is not a deep scan's checkpoint that this version can go on from.");
    }
    for (;;) {
        uint64_t length = 0;
        in(length);
        if (!in.ok() || (length == 0 && in.Left() != 0) ||
            length > in.Left() - std::min<uint64_t>(in.Left(), kLengthBytes)) {
            return Refuse(Damaged(path_));
        }
        if (length == 0) {
            break;
        }
        const uint64_t body = size - in.Left();
        in.RestartHash();
        DriveIdentity id;
        IdentityFields(in, id);
        const uint64_t read = size - in.Left() - body;
        const bool again = std::any_of(sections_.begin(), sections_.end(),
                                       [&](const Section& s) { return s.letter == id.letter; });
        if (!in.ok() || again || read + kHashBytes > length) {
            return Refuse(Damaged(path_));
        }
        if (id != IdentifyDrive(id.letter)) {
            return Refuse("The checkpoint " + path_ + " was made of another drive than " +
                          DriveRoot(id.letter) + " is now: the deep scan cannot go on from it.");
        }
        in.Skip(length - kHashBytes - read);
        const uint64_t hash = in.Hash();
        uint64_t stored = 0;
        in(stored);
        if (!in.ok() || stored != hash) {
            return Refuse(Damaged(path_));
        }
        sections_.push_back({id.letter, static_cast<long>(body), length, id.length});
    }
    return sections_.empty() ? Refuse(Damaged(path_)) : true;
}

std::optional<PassPosition> DeepCheckpoint::Load(char letter, const std::vector<ByteRange>& ranges,
                                                 const DeepFinders& finders) {
    const auto section = std::find_if(sections_.begin(), sections_.end(),
                                      [&](const Section& s) { return s.letter == letter; });
    if (resumed_ == nullptr || section == sections_.end()) {
        return std::nullopt;
    }
    const Section s = *section;
    sections_.erase(section);
    if (std::fseek(resumed_, s.body, SEEK_SET) != 0) {
        Refuse(Damaged(path_));
        return std::nullopt;
    }
    CheckpointReader in(resumed_, s.length - kHashBytes, s.driveLength);
    DriveIdentity id;
    IdentityFields(in, id);
    uint64_t rangesHash = 0;
    in(rangesHash);
    PassPosition position;
    PositionFields(in, position);
    in.Blob(position.carry, kCarryBytes);
    bool carving = false;
    in(carving);
    const bool fits = in.ok() && rangesHash == HashOf(ranges) &&
                      carving == (finders.carver != nullptr) && ResumesAt(ranges, position);
    const bool loaded = fits && finders.boots.Load(in) && finders.records.Load(in) &&
                        finders.fatDirectories.Load(in) && finders.exFatSets.Load(in) &&
                        (finders.carver == nullptr || finders.carver->Load(in)) && in.Left() == 0;
    if (!loaded) {
        app::MessageBox("The checkpoint " + path_ + " does not fit the deep scan of drive " +
                            DriveRoot(letter) +
                            " as it is now (its free space or the scan's options differ): that "
                            "drive is scanned from its beginning.",
                        kCaption, app::MbButtons::Ok, app::MbIcon::Warning);
        return std::nullopt;
    }
    if (position.finished) {
        finished_.insert(letter);
    }
    return position;
}

PassCheckpoints DeepCheckpoint::For(char letter, const std::vector<ByteRange>& ranges,
                                    const DeepFinders& finders, const PassPosition* from) {
    const Current current{IdentifyDrive(letter), HashOf(ranges)};
    PassCheckpoints checkpoints;
    checkpoints.every = every_;
    checkpoints.from = from;
    checkpoints.save = [this, current, finders](const PassPosition& position) {
        Save(current, position, finders);
    };
    return checkpoints;
}

bool DeepCheckpoint::CopyFinishedSections(std::FILE* out, char current) {
    const bool any = std::any_of(finished_.begin(), finished_.end(),
                                 [current](char letter) { return letter != current; });
    if (!any) {
        return true;
    }
    const std::unique_ptr<std::FILE, FileCloser> in(std::fopen(path_.c_str(), "rb"));
    struct stat st {};
    uint8_t header[kHeaderBytes];
    if (!in || ::fstat(::fileno(in.get()), &st) != 0 ||
        std::fread(header, 1, sizeof header, in.get()) != sizeof header || !HeaderFits(header)) {
        return false;
    }
    std::vector<uint8_t> chunk(std::size_t{1} << 20);
    for (std::optional<uint64_t> length = ReadU64(in.get()); length && *length > 0;
         length = ReadU64(in.get())) {
        // Sections were written here whole; one that the file cannot hold is not copied.
        const long at = std::ftell(in.get());
        const int letter = std::fgetc(in.get());
        if (letter == EOF || at < 0 || *length > static_cast<uint64_t>(st.st_size - at)) {
            return false;
        }
        const bool keep = letter != current && finished_.contains(static_cast<char>(letter));
        if (!keep) {
            if (std::fseek(in.get(), static_cast<long>(*length - 1), SEEK_CUR) != 0) {
                return false;
            }
            continue;
        }
        if (!WriteU64(out, *length) || std::fputc(letter, out) == EOF) {
            return false;
        }
        for (uint64_t left = *length - 1; left > 0;) {
            const std::size_t n =
                std::fread(chunk.data(), 1, std::min<uint64_t>(left, chunk.size()), in.get());
            if (n == 0 || std::fwrite(chunk.data(), 1, n, out) != n) {
                return false;
            }
            left -= n;
        }
    }
    return true;
}

bool DeepCheckpoint::WriteFile(const std::string& temp, const Current& current,
                               const PassPosition& position, const DeepFinders& finders) {
    std::FILE* out = std::fopen(temp.c_str(), "wb");
    if (out == nullptr) {
        return false;
    }
    bool ok = WriteHeader(out) && CopyFinishedSections(out, current.identity.letter);
    const long lengthAt = std::ftell(out);
    ok = ok && lengthAt >= 0 && WriteU64(out, 0);
    if (ok) {
        CheckpointWriter w(out);
        IdentityFields(w, current.identity);
        w(current.ranges);
        PositionFields(w, position);
        w.Blob(position.carry);
        w(finders.carver != nullptr);
        finders.boots.Save(w);
        finders.records.Save(w);
        finders.fatDirectories.Save(w);
        finders.exFatSets.Save(w);
        if (finders.carver != nullptr) {
            finders.carver->Save(w);
        }
        const uint64_t hash = w.Hash();
        w(hash);
        ok = w.Flush();
    }
    const long end = ok ? std::ftell(out) : -1;
    ok = ok && end > lengthAt && std::fseek(out, lengthAt, SEEK_SET) == 0 &&
         WriteU64(out, static_cast<uint64_t>(end - lengthAt) - kLengthBytes) &&
         std::fseek(out, end, SEEK_SET) == 0 && WriteU64(out, 0);
    ok = ok && std::fflush(out) == 0 && ::fsync(::fileno(out)) == 0;
    const int error = errno;
    ok = std::fclose(out) == 0 && ok;
    errno = ok ? 0 : (error != 0 ? error : errno);
    return ok;
}

void DeepCheckpoint::Save(const Current& current, const PassPosition& position,
                          const DeepFinders& finders) {
    const std::string temp = path_ + ".part";
    const bool written = WriteFile(temp, current, position, finders) &&
                         std::rename(temp.c_str(), path_.c_str()) == 0;
    if (!written) {
        const int error = errno;
        std::remove(temp.c_str());
        if (!failedToWrite_) {
            app::MessageBox("The deep scan's checkpoint cannot be written to " + path_ + ": " +
                                platform::SystemErrorText(error) +
                                ".\r\nThe scan goes on without it.",
                            kCaption, app::MbButtons::Ok, app::MbIcon::Warning);
        }
        failedToWrite_ = true;
        return;
    }
    SyncDirectoryOf(path_);
    if (position.finished) {
        finished_.insert(current.identity.letter);
    }
}

void DeepCheckpoint::Finish() {
    if (app::StopScan) {
        return;
    }
    if (resumed_ != nullptr) {
        std::fclose(resumed_);
        resumed_ = nullptr;
    }
    std::remove(path_.c_str());
}

std::string CheckpointName(const std::string& scanDrive, const std::string& source) {
    std::string name =
        source.empty() ? "all-drives" : std::filesystem::path(source).filename().string();
    const std::optional<char> letter = platform::ParseDriveLetter(scanDrive);
    if (letter) {
        name = std::string("drive-") + *letter;
        if (const platform::DriveSource* drive = platform::Drives().Find(*letter)) {
            name = std::filesystem::path(drive->path).filename().string();
            if (drive->partition > 0) {
                name += "-p" + std::to_string(drive->partition);
            }
        }
    }
    return "relicta-" + name + ".checkpoint";
}

std::optional<std::string> DesktopCheckpointPath(const std::string& scanDrive) {
    std::filesystem::path dir;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
        dir = state;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        dir = std::filesystem::path(home) / ".local" / "state";
    } else {
        return std::nullopt;
    }
    dir /= "relicta";
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    return (dir / CheckpointName(scanDrive)).string();
}

std::unique_ptr<DeepCheckpoint> OfferCheckpoint(const std::string& scanDrive, bool& cancelled) {
    cancelled = false;
    const std::optional<std::string> path = DesktopCheckpointPath(scanDrive);
    if (!path) {
        return nullptr;
    }
    auto checkpoint = std::make_unique<DeepCheckpoint>(*path);
    std::error_code error;
    if (!std::filesystem::exists(*path, error)) {
        return checkpoint;
    }
    const std::string drives = scanDrive.empty() ? "the drives" : "drive " + scanDrive;
    const app::MbResult answer = app::MessageBox(
        "A deep scan of " + drives +
            " stopped before it was done.\r\n\r\nGo on from where it stopped? "
            "(No scans from the beginning.)",
        kCaption, app::MbButtons::YesNoCancel, app::MbIcon::Question, app::MbOwner::MainWindow);
    if (answer == app::MbResult::Cancel) {
        cancelled = true;
        return nullptr;
    }
    if (answer == app::MbResult::Yes) {
        checkpoint->Resume();  // refused: told, and the scan begins afresh
    }
    return checkpoint;
}

}  // namespace relicta::deep
