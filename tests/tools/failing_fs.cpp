// A file system for tests that serves one disk image whose reads fail with EIO on listed
// sectors, as a failing disk's do, and counts those failed reads.
//
//   failing_fs IMAGE BADLIST MOUNTPOINT [FUSE OPTIONS]
//
// MOUNTPOINT/image holds IMAGE's bytes read-only; BADLIST has lines "FIRST_SECTOR COUNT" of
// 512-byte sectors. MOUNTPOINT/failed-reads gives the count of failed reads so far.

#define FUSE_USE_VERSION 31

#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

constexpr uint64_t kSectorBytes = 512;
constexpr int kMaxRuns = 4096;

struct Run {
    uint64_t first;
    uint64_t count;
};

// A FUSE file system is a set of callbacks over the one image it serves.
int imageFd = -1;
off_t imageSize = 0;
Run runs[kMaxRuns];
int runCount = 0;
// FUSE serves reads from several threads unless mounted with -s.
std::atomic<unsigned long> failedReads{0};

bool Touches(off_t offset, size_t size) {
    const uint64_t first = static_cast<uint64_t>(offset) / kSectorBytes;
    const uint64_t last = (static_cast<uint64_t>(offset) + size - 1) / kSectorBytes;
    for (int i = 0; i < runCount; ++i) {
        if (first < runs[i].first + runs[i].count && runs[i].first <= last) {
            return true;
        }
    }
    return false;
}

int CountText(char* text, size_t room) {
    return std::snprintf(text, room, "%lu\n", failedReads.load());
}

int GetAttr(const char* path, struct stat* st, struct fuse_file_info* fi) {
    (void)fi;
    std::memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0555;
        st->st_nlink = 2;
    } else if (strcmp(path, "/image") == 0) {
        st->st_mode = S_IFREG | 0444;
        st->st_nlink = 1;
        st->st_size = imageSize;
    } else if (strcmp(path, "/failed-reads") == 0) {
        char text[32];
        st->st_mode = S_IFREG | 0444;
        st->st_nlink = 1;
        st->st_size = CountText(text, sizeof text);
    } else {
        return -ENOENT;
    }
    return 0;
}

int ReadDir(const char* path, void* buf, fuse_fill_dir_t fill, off_t offset,
            struct fuse_file_info* fi, enum fuse_readdir_flags flags) {
    (void)offset;
    (void)fi;
    (void)flags;
    if (strcmp(path, "/") != 0) {
        return -ENOENT;
    }
    for (const char* name : {".", "..", "image", "failed-reads"}) {
        fill(buf, name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    }
    return 0;
}

int Open(const char* path, struct fuse_file_info* fi) {
    if (strcmp(path, "/image") != 0 && strcmp(path, "/failed-reads") != 0) {
        return -ENOENT;
    }
    if ((fi->flags & O_ACCMODE) != O_RDONLY) {
        return -EACCES;
    }
    fi->direct_io = 1;  // every read reaches us with its own offset and size
    return 0;
}

int Read(const char* path, char* buf, size_t size, off_t offset, struct fuse_file_info* fi) {
    (void)fi;
    if (strcmp(path, "/failed-reads") == 0) {
        char text[32];
        const int length = CountText(text, sizeof text);
        if (offset >= length) {
            return 0;
        }
        const size_t left = static_cast<size_t>(length - offset);
        const size_t n = size < left ? size : left;
        std::memcpy(buf, text + offset, n);
        return static_cast<int>(n);
    }
    if (offset >= imageSize || size == 0) {
        return 0;
    }
    if (size > static_cast<size_t>(imageSize - offset)) {
        size = static_cast<size_t>(imageSize - offset);
    }
    if (Touches(offset, size)) {
        ++failedReads;
        return -EIO;
    }
    const ssize_t got = ::pread(imageFd, buf, size, offset);
    return got < 0 ? -errno : static_cast<int>(got);
}

int LoadRuns(const char* path) {
    std::FILE* list = std::fopen(path, "r");
    if (list == nullptr) {
        return -1;
    }
    uint64_t first = 0;
    uint64_t count = 0;
    while (runCount < kMaxRuns && std::fscanf(list, "%" SCNu64 " %" SCNu64, &first, &count) == 2) {
        runs[runCount] = {first, count};
        ++runCount;
    }
    std::fclose(list);
    return 0;
}

fuse_operations Operations() {
    fuse_operations ops{};
    ops.getattr = GetAttr;
    ops.open = Open;
    ops.read = Read;
    ops.readdir = ReadDir;
    return ops;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: failing_fs IMAGE BADLIST MOUNTPOINT [FUSE OPTIONS]\n");
        return 2;
    }
    imageFd = ::open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (imageFd < 0 || ::fstat(imageFd, &st) != 0 || LoadRuns(argv[2]) != 0) {
        std::perror("failing_fs");
        return 1;
    }
    imageSize = st.st_size;
    // FUSE takes the mount point and its options; the image and the list are ours.
    argv[2] = argv[0];
    const fuse_operations ops = Operations();
    return fuse_main(argc - 2, argv + 2, &ops, nullptr);
}
