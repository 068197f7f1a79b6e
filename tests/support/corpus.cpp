#include "support/corpus.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/paths.h"

namespace relicta::test {
namespace {

namespace fs = std::filesystem;

class CacheLock {
  public:
    explicit CacheLock(const fs::path& file)
        : fd_(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (fd_ >= 0)
            ::flock(fd_, LOCK_EX);
    }
    ~CacheLock() {
        if (fd_ >= 0)
            ::close(fd_);  // releases the lock
    }
    CacheLock(const CacheLock&) = delete;
    CacheLock& operator=(const CacheLock&) = delete;

  private:
    int fd_;
};

std::string Quoted(const fs::path& p) {
    return "'" + p.string() + "'";
}

// A tar archive holds one image (GNU sparse); unpack it into a directory of its own.
std::string UnpackTar(const fs::path& archive, const fs::path& dir) {
    if (!fs::exists(dir)) {
        const fs::path part = dir.string() + ".part";
        fs::remove_all(part);
        fs::create_directories(part);
        if (RunCommand("tar -xSJf " + Quoted(archive) + " -C " + Quoted(part)).status != 0)
            return {};
        fs::rename(part, dir);
    }
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (!entry.path().filename().string().starts_with("."))
            return entry.path().string();
    }
    return {};
}

std::string UnpackXz(const fs::path& archive, const fs::path& image) {
    if (!fs::exists(image)) {
        const fs::path part = image.string() + ".part";
        if (RunCommand("xz -dc " + Quoted(archive) + " | dd of=" + Quoted(part) +
                       " bs=1M conv=sparse status=none")
                .status != 0)
            return {};
        fs::rename(part, image);
    }
    return image.string();
}

}  // namespace

std::vector<CorpusVolume> ReadCorpusManifest() {
    std::vector<CorpusVolume> volumes;
    const std::string dir = CorpusDir();
    if (dir.empty())
        return volumes;
    std::ifstream in(dir + "/manifest.tsv");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        CorpusVolume v;
        std::string offsets;
        std::getline(fields, v.name, '\t');
        std::getline(fields, v.fs, '\t');
        std::getline(fields, offsets, '\t');
        std::getline(fields, v.archive, '\t');
        std::istringstream list(offsets);
        for (std::string one; std::getline(list, one, ',');)
            v.offsets.push_back(std::stoull(one));
        volumes.push_back(v);
    }
    return volumes;
}

std::optional<CorpusVolume> FindCorpusVolume(const std::string& name) {
    for (const CorpusVolume& v : ReadCorpusManifest()) {
        if (v.name == name)
            return v;
    }
    return std::nullopt;
}

std::string UnpackedCorpusImage(const CorpusVolume& v) {
    const fs::path cache = fs::path(BuildDir()) / "corpus-cache";
    fs::create_directories(cache);
    const CacheLock lock(cache / ".lock");
    const fs::path archive = fs::path(CorpusDir()) / "images" / v.archive;
    if (v.archive.ends_with(".tar.xz"))
        return UnpackTar(archive, cache / v.name);
    return UnpackXz(archive, cache / (v.name + ".img"));
}

}  // namespace relicta::test
