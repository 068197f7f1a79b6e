#include "platform/drive_table.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/block_probe.h"
#include "platform/file_io.h"
#include "platform/image_source.h"
#include "platform/last_error.h"
#include "platform/platform.h"
#include "platform/rescue_map.h"
#include "platform/rescued_source.h"

namespace relicta::platform {
namespace {

constexpr uint64_t kMinimumVolumeBytes = 512;  // one boot sector
constexpr uint64_t kSysfsSectorBytes = 512;

char LetterAt(int index) {
    return static_cast<char>('A' + index);
}
int IndexOf(char letter) {
    return std::toupper(static_cast<unsigned char>(letter)) - 'A';
}

std::string ReadSysfs(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string value;
    std::getline(in, value);
    return value;
}

// Partitions worth a drive letter: FAT, exFAT, NTFS, or nothing recognisable (possibly a
// damaged FAT, exFAT or NTFS volume, exactly what a recovery tool is for).
bool IsCandidateVolume(int fd, const Partition& p) {
    if (p.container) {
        return false;
    }
    std::optional<ProbeResult> probe = ProbeFileSystem(fd, p.offset, p.length);
    if (!probe || !probe->found) {
        return true;
    }
    return probe->type == "vfat" || probe->type == "exfat" || probe->type == "ntfs";
}

}  // namespace

std::string DriveSource::Describe() const {
    std::string text = container.empty() ? path : path + " (" + container + ")";
    if (partition != 0) {
        text += " partition " + std::to_string(partition) + " (offset " + std::to_string(offset) +
                ", " + std::to_string(length) + " bytes)";
    }
    if (rescueMap) {
        text += " (ddrescue map " + rescueMap->Path() + ": " +
                std::to_string(rescueMap->NotRescuedBytes(offset, length)) + " bytes not rescued)";
    }
    return text;
}

AttachResult DriveTable::Attach(const std::string& spec, std::shared_ptr<const RescueMap> map) {
    if (spec.size() >= 2 && spec[1] == '=' && std::isalpha(static_cast<unsigned char>(spec[0]))) {
        return Attach(spec.substr(2), spec[0], std::move(map));
    }
    return Attach(spec, std::nullopt, std::move(map));
}

AttachResult DriveTable::Attach(const std::string& path, std::optional<char> letter,
                                std::shared_ptr<const RescueMap> map) {
    if (path.empty()) {
        return {{}, "no path given"};
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return {{}, path + ": " + std::strerror(errno)};
    }
    if (S_ISDIR(st.st_mode)) {
        return {{}, path + ": is a directory, not an image file or block device"};
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        return {{}, path + ": not an image file or block device"};
    }
    DriveSource whole;
    whole.path = path;
    whole.blockDevice = S_ISBLK(st.st_mode);
    whole.length = static_cast<uint64_t>(st.st_size);
    whole.rescueMap = std::move(map);
    // A mapped image is probed through its map, as a container is through its format.
    if (whole.rescueMap || (!whole.blockDevice && IsContainerOrSplit(path))) {
        return AttachContainer(whole, letter);
    }

    // Without read permission the source is still attached: opening it later reports the
    // access problem the way the volume open does for any drive.
    const auto fd =
        std::make_shared<const FileDescriptor>(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd->get() >= 0 && whole.blockDevice) {
        uint64_t bytes = 0;
        if (::ioctl(fd->get(), BLKGETSIZE64, &bytes) == 0) {
            whole.length = bytes;
        }
        // Kept open while attached: Linux drops a device's cached pages when its last
        // descriptor closes, and each later open (probe, volume, scan) would read it cold.
        whole.device = fd;
    }
    if (fd->get() >= 0 && whole.length < kMinimumVolumeBytes) {
        return {{},
                path + ": too small to hold a volume (" + std::to_string(whole.length) + " bytes)"};
    }
    if (fd->get() < 0) {
        return AttachSources({whole}, letter);
    }
    return AttachVolumesOf(whole, fd->get(), {}, letter);
}

AttachResult DriveTable::AttachContainer(DriveSource whole, std::optional<char> letter) {
    OpenedImage image = OpenImage(whole.path);
    if (!image.source) {
        return {{}, image.error};
    }
    whole.container = image.container;
    whole.length = image.source->Size();
    // Partition tables and boot sectors not rescued are looked at as nothing, never as zeros.
    const std::unique_ptr<ImageSource> probed =
        WithRescueMap(std::move(image.source), whole.rescueMap, NotRescuedReads::AsZeros);
    if (whole.length < kMinimumVolumeBytes) {
        return {{},
                whole.path + ": too small to hold a volume (" + std::to_string(whole.length) +
                    " bytes)"};
    }
    ProbeCopy copy(*probed);
    return AttachVolumesOf(
        whole, copy.fd(),
        [&copy](const Partition& p) { copy.Copy(p.offset, ProbeCopy::kVolumeStartBytes); }, letter);
}

AttachResult DriveTable::AttachVolumesOf(const DriveSource& whole, int fd,
                                         const std::function<void(const Partition&)>& prepare,
                                         std::optional<char> letter) {
    std::vector<DriveSource> sources;
    const std::vector<Partition> partitions = ListPartitions(fd, whole.length);
    for (const Partition& p : partitions) {
        if (prepare) {
            prepare(p);
        }
        if (!IsCandidateVolume(fd, p)) {
            continue;
        }
        DriveSource part = whole;
        part.offset = p.offset;
        part.length = p.length;
        part.partition = p.number;
        sources.push_back(part);
    }
    if (sources.empty() && !partitions.empty()) {
        return {{}, whole.path + ": holds a partition table without FAT, exFAT or NTFS partitions"};
    }
    if (sources.empty()) {
        sources.push_back(whole);
    }
    return AttachSources(sources, letter);
}

AttachResult DriveTable::AttachSources(const std::vector<DriveSource>& sources,
                                       std::optional<char> letter) {
    std::optional<char> first = letter ? std::optional<char>(static_cast<char>(
                                             std::toupper(static_cast<unsigned char>(*letter))))
                                       : NextFreeLetter('C');
    if (!first) {
        return {{}, "no free drive letter left"};
    }
    const int start = IndexOf(*first);
    if (start < 0 || start + static_cast<int>(sources.size()) > kLetters) {
        return {{}, std::string("not enough drive letters from ") + *first + ":"};
    }
    for (std::size_t i = 0; i < sources.size(); ++i) {
        if (drives_[start + i]) {
            return {{},
                    std::string("drive ") + LetterAt(start + static_cast<int>(i)) +
                        ": is already attached to " + drives_[start + i]->Describe()};
        }
    }
    AttachResult result;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        drives_[start + i] = sources[i];
        result.letters.push_back(LetterAt(start + static_cast<int>(i)));
    }
    return result;
}

void DriveTable::DiscoverBlockDevices(const std::string& sysfsRoot, const std::string& devRoot) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::vector<fs::path> disks;
    for (const fs::directory_entry& entry : fs::directory_iterator(sysfsRoot, ec)) {
        disks.push_back(entry.path());
    }
    std::sort(disks.begin(), disks.end());
    for (const fs::path& disk : disks) {
        const std::string name = disk.filename().string();
        if (name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0) {
            continue;
        }
        const bool removable = ReadSysfs(disk / "removable") == "1";
        const bool cdrom = name.rfind("sr", 0) == 0;
        std::vector<std::pair<fs::path, int>> volumes;
        for (const fs::directory_entry& entry : fs::directory_iterator(disk, ec)) {
            if (fs::exists(entry.path() / "partition", ec)) {
                volumes.emplace_back(entry.path(),
                                     std::atoi(ReadSysfs(entry.path() / "partition").c_str()));
            }
        }
        std::sort(volumes.begin(), volumes.end(),
                  [](const auto& a, const auto& b) { return a.second < b.second; });
        if (volumes.empty()) {
            volumes.emplace_back(disk, 0);
        }
        for (const auto& [sysPath, number] : volumes) {
            const uint64_t sectors =
                std::strtoull(ReadSysfs(sysPath / "size").c_str(), nullptr, 10);
            if (sectors == 0 && !removable && !cdrom) {
                continue;  // unused loop devices and the like
            }
            std::optional<char> letter = NextFreeLetter('C');
            if (!letter) {
                return;
            }
            DriveSource source;
            source.path = (fs::path(devRoot) / sysPath.filename()).string();
            source.length = sectors * kSysfsSectorBytes;
            source.blockDevice = true;
            source.removable = removable;
            source.cdrom = cdrom;
            drives_[IndexOf(*letter)] = source;
        }
    }
}

bool DriveTable::UseOpenedDevice(const std::string& path,
                                 std::shared_ptr<const FileDescriptor> device) {
    bool used = false;
    for (std::optional<DriveSource>& drive : drives_) {
        if (drive && drive->path == path) {
            drive->device = device;
            used = true;
        }
    }
    return used;
}

const DriveSource* DriveTable::Find(char letter) const {
    const int index = IndexOf(letter);
    if (index < 0 || index >= kLetters || !drives_[index]) {
        return nullptr;
    }
    return &*drives_[index];
}

std::vector<char> DriveTable::Letters() const {
    std::vector<char> letters;
    for (int i = 0; i < kLetters; ++i) {
        if (drives_[i]) {
            letters.push_back(LetterAt(i));
        }
    }
    return letters;
}

void DriveTable::Clear() {
    drives_ = {};
}

std::optional<char> DriveTable::NextFreeLetter(char from) const {
    for (int i = IndexOf(from); i < kLetters; ++i) {
        if (!drives_[i]) {
            return LetterAt(i);
        }
    }
    return std::nullopt;
}

DriveTable& Drives() {
    static DriveTable table;
    return table;
}

std::string AttachVolumes(const std::vector<std::string>& specs, bool explicitDrives) {
    return AttachVolumes(specs, {}, explicitDrives);
}

std::string AttachVolumes(const std::vector<std::string>& specs,
                          const std::vector<std::string>& mapfiles, bool explicitDrives) {
    for (std::size_t i = 0; i < specs.size(); ++i) {
        LoadedRescueMap loaded;
        if (i < mapfiles.size() && !mapfiles[i].empty()) {
            loaded = LoadRescueMap(mapfiles[i]);
            if (!loaded.map) {
                return loaded.error;
            }
        }
        const AttachResult result = Drives().Attach(specs[i], loaded.map);
        if (!result.ok()) {
            return result.error;
        }
    }
    if (specs.empty() && !explicitDrives) {
        Drives().DiscoverBlockDevices();
    }
    return {};
}

AttachResult ResolveDriveArgument(const std::string& argument, const std::string& mapfile) {
    if (!mapfile.empty()) {
        const LoadedRescueMap loaded = LoadRescueMap(mapfile);
        if (!loaded.map) {
            return {{}, loaded.error};
        }
        return Drives().Attach(argument, std::nullopt, loaded.map);
    }
    if (const std::optional<char> letter = ParseDriveLetter(argument)) {
        if (Drives().Find(*letter) != nullptr) {
            return {{*letter}, {}};
        }
    }
    AttachResult attached = Drives().Attach(argument, std::nullopt);
    if (!attached.ok() && ParseDriveLetter(argument)) {
        attached.error = "no drive " + argument;
    }
    return attached;
}

std::string PermissionProblem(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return {};
    }
    if (errno != EACCES && errno != EPERM) {
        return {};
    }
    std::string group;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        if (const struct group* g = ::getgrgid(st.st_gid)) {
            group = g->gr_name;
        }
    }
    return path + " cannot be read: permission denied. Reading it needs root" +
           (group.empty() ? std::string(" or read permission on it.")
                          : " or membership of the group \"" + group + "\" that owns it.");
}

std::optional<std::string> ListedFileSystemName(Platform& os, char letter) {
    std::optional<std::string> name = os.GetFileSystemName(letter);
    if (!name && GetLastError() == kErrorWrongDisk) {
        return kUnknownFileSystem;
    }
    return name;
}

std::optional<char> ParseDriveLetter(const std::string& text) {
    if (text.empty() || text.size() > 3 || !std::isalpha(static_cast<unsigned char>(text[0]))) {
        return std::nullopt;
    }
    if (text.size() >= 2 && text[1] != ':') {
        return std::nullopt;
    }
    if (text.size() == 3 && text[2] != '\\') {
        return std::nullopt;
    }
    return static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
}

}  // namespace relicta::platform
