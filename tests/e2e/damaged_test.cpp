// Broken volumes: the committed fixtures, mutated in the test. Every command on every one
// must finish in bounded time and memory, without a crash, with a status that says what
// happened, and recover nothing outside its destination. A new command joins the suite by one line
// in kCommands.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <thread>

#include "support/paths.h"

namespace relicta::test {
namespace {

// Stands for the directory recovered files go to.
constexpr const char* kDestination = "@DESTINATION";

const std::vector<std::vector<std::string>> kCommands = {
    {"info"},
    {"scan", "--format", "json"},
    {"scan", "--check-content", "--format", "bodyfile"},
    {"recover", "--all", "--yes", "--keep-paths", "--to", kDestination},
    // The deep scan's finders and rebuilds over the same damage, and what it recovers.
    {"recover", "--deep", "--all", "--yes", "--keep-paths", "--to", kDestination},
};

constexpr auto kTimeLimit = std::chrono::seconds(10);
// The peak memory of the command itself (measured by /usr/bin/time around the exec, not the
// test process it forked from). A sanitizer's shadow memory and quarantine come on top.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kSanitizerOverheadKb = 1024 * 1024;
#else
constexpr long kSanitizerOverheadKb = 0;
#endif
constexpr long kMemoryLimitKb = 512 * 1024 + kSanitizerOverheadKb;

using Bytes = std::vector<uint8_t>;

uint64_t Get(const Bytes& b, std::size_t off, int width) {
    uint64_t v = 0;
    for (int i = 0; i < width && off + i < b.size(); ++i)
        v |= uint64_t{b[off + i]} << (8 * i);
    return v;
}
void Put(Bytes& b, std::size_t off, uint64_t v, int width) {
    for (int i = 0; i < width && off + i < b.size(); ++i)
        b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

// NTFS layout read straight off the boot sector.
struct Ntfs {
    std::size_t clusterBytes, recordBytes, mft;
    explicit Ntfs(const Bytes& b)
        : clusterBytes(Get(b, 0x0B, 2) * Get(b, 0x0D, 1)),
          recordBytes(static_cast<int8_t>(b[0x40]) < 0
                          ? std::size_t{1} << -static_cast<int8_t>(b[0x40])
                          : b[0x40] * clusterBytes),
          mft(Get(b, 0x30, 8) * clusterBytes) {}
    std::size_t Record(uint32_t n) const { return mft + n * recordBytes; }
};

// Calls `f` with the offset of every attribute of records [from, to) (fixups ignored).
void ForEachAttribute(Bytes& b, uint32_t from, uint32_t to,
                      const std::function<void(std::size_t, uint32_t)>& f) {
    const Ntfs n(b);
    for (uint32_t r = from; r < to; ++r) {
        const std::size_t rec = n.Record(r);
        if (rec + n.recordBytes > b.size() || Get(b, rec, 4) != 0x454C4946)
            continue;  // "FILE"
        std::size_t at = rec + Get(b, rec + 20, 2);
        for (int guard = 0; guard < 64 && at + 8 <= rec + n.recordBytes; ++guard) {
            const uint32_t type = static_cast<uint32_t>(Get(b, at, 4));
            const uint64_t length = Get(b, at + 4, 4);
            if (type == 0xFFFFFFFF || length < 16 || at + length > rec + n.recordBytes)
                break;
            f(at, r);
            at += length;
        }
    }
}

// FAT layout read straight off the BPB.
struct Fat {
    std::size_t sector, cluster, fat, root, rootBytes, data;
    bool fat32;
    explicit Fat(const Bytes& b) {
        sector = Get(b, 0x0B, 2);
        cluster = sector * Get(b, 0x0D, 1);
        const uint64_t fatSectors = Get(b, 0x16, 2) != 0 ? Get(b, 0x16, 2) : Get(b, 0x24, 4);
        fat32 = Get(b, 0x16, 2) == 0;
        fat = Get(b, 0x0E, 2) * sector;
        root = fat + Get(b, 0x10, 1) * fatSectors * sector;
        rootBytes = Get(b, 0x11, 2) * 32;
        data = root + rootBytes;
    }
    std::size_t Cluster(uint64_t c) const { return data + (c - 2) * cluster; }
    std::size_t RootDir() const { return fat32 ? Cluster(2) : root; }
};

// exFAT layout read straight off the boot sector.
struct ExFat {
    std::size_t cluster, fat, heap, root;
    explicit ExFat(const Bytes& b)
        : cluster(std::size_t{1} << (b[0x6C] + b[0x6D])),
          fat(Get(b, 0x50, 4) << b[0x6C]),
          heap(Get(b, 0x58, 4) << b[0x6C]),
          root(Cluster(Get(b, 0x60, 4))) {}
    std::size_t Cluster(uint64_t c) const { return heap + (c - 2) * cluster; }
};

// Calls `f` with the offset of every entry of the root directory's first cluster.
void ForEachRootEntry(Bytes& b, const std::function<void(std::size_t)>& f) {
    const ExFat x(b);
    for (std::size_t at = x.root; at < x.root + x.cluster && at + 32 <= b.size(); at += 32)
        f(at);
}

struct Mutation {
    std::string name;
    const char* image;
    std::function<void(Bytes&)> apply;
};

Mutation Truncate(const char* image, double fraction) {
    return {"truncated to " + std::to_string(static_cast<int>(fraction * 100)) + "%", image,
            [fraction](Bytes& b) {
                b.resize(std::max<std::size_t>(612, static_cast<std::size_t>(b.size() * fraction)));
            }};
}

Mutation Noise(const char* image, unsigned seed) {
    return {"random bytes, seed " + std::to_string(seed), image, [seed](Bytes& b) {
                std::mt19937 rng(seed);
                const std::size_t span = std::min<std::size_t>(b.size(), 1 << 20);
                for (int i = 0; i < 2000; ++i)
                    b[512 + rng() % (span - 512)] = static_cast<uint8_t>(rng());
            }};
}

std::vector<Mutation> Mutations() {
    std::vector<Mutation> m;
    for (const char* image :
         {"fat12.img", "fat16.img", "fat32.img", "ntfs512.img", "ntfs4k.img", "ntfs4ksec.img",
          "mbr.img", "exfat4k.img", "exfat512.img", "exfatmbr.img", "fatfolders.img",
          "recyclentfs.img", "recyclefat.img", "contentfat.img", "contentntfs.img"}) {
        for (double f : {0.0, 0.1, 0.5, 0.9})
            m.push_back(Truncate(image, f));
        for (unsigned seed : {1u, 2u, 3u})
            m.push_back(Noise(image, seed));
        m.push_back({"metadata after the boot sector zeroed", image, [](Bytes& b) {
                         std::fill(b.begin() + 512,
                                   b.begin() + std::min<std::size_t>(b.size(), 65536), 0);
                     }});
    }
    for (const char* image : {"ntfs512.img", "ntfs4k.img", "ntfs4ksec.img"}) {
        m.push_back({"MFT records 16-40 zeroed", image, [](Bytes& b) {
                         const Ntfs n(b);
                         std::fill(b.begin() + n.Record(16), b.begin() + n.Record(40), 0);
                     }});
        m.push_back({"MFT record 0 zeroed", image, [](Bytes& b) {
                         const Ntfs n(b);
                         std::fill(b.begin() + n.Record(0), b.begin() + n.Record(1), 0);
                     }});
        m.push_back({"record headers corrupted", image, [](Bytes& b) {
                         const Ntfs n(b);
                         for (uint32_t r = 16; r < 90; ++r)
                             Put(b, n.Record(r) + 4, 0xFFF1 + r, 4);
                     }});
        m.push_back({"first attribute offsets past the record", image, [](Bytes& b) {
                         const Ntfs n(b);
                         for (uint32_t r = 0; r < 90; ++r)
                             Put(b, n.Record(r) + 20, 0xFFF8, 2);
                     }});
        m.push_back({"attribute lengths 0", image, [](Bytes& b) {
                         ForEachAttribute(b, 0, 90,
                                          [&](std::size_t a, uint32_t) { Put(b, a + 4, 0, 4); });
                     }});
        m.push_back({"run lists corrupted", image, [](Bytes& b) {
                         ForEachAttribute(b, 0, 90, [&](std::size_t a, uint32_t) {
                             if (b[a + 8] == 0)
                                 return;
                             const std::size_t runs = a + Get(b, a + 32, 2);
                             for (std::size_t i = 0; i < 6; ++i)
                                 b[runs + i] = static_cast<uint8_t>(0x88 + i * 0x11);
                         });
                     }});
        m.push_back({"runs reaching far past the volume", image, [](Bytes& b) {
                         ForEachAttribute(b, 0, 90, [&](std::size_t a, uint32_t) {
                             if (b[a + 8] == 0)
                                 return;
                             const std::size_t runs = a + Get(b, a + 32, 2);
                             const Bytes far = {0x44, 0xFF, 0xFF, 0xFF, 0x7F,
                                                0x00, 0x00, 0x00, 0x7F, 0x00};
                             std::copy(far.begin(), far.end(), b.begin() + runs);
                         });
                     }});
        m.push_back({"sizes 2^63", image, [](Bytes& b) {
                         ForEachAttribute(b, 0, 90, [&](std::size_t a, uint32_t) {
                             if (b[a + 8] == 0) {
                                 Put(b, a + 16, 0xFFFFFFFF, 4);
                             } else {
                                 Put(b, a + 40, uint64_t{1} << 63, 8);
                                 Put(b, a + 48, uint64_t{1} << 63, 8);
                             }
                         });
                     }});
        m.push_back({"parent chains looped", image, [](Bytes& b) {
                         ForEachAttribute(b, 16, 90, [&](std::size_t a, uint32_t r) {
                             if (Get(b, a, 4) == 0x30)
                                 Put(b, a + Get(b, a + 20, 2), (r ^ 1) | (uint64_t{1} << 48), 8);
                         });
                     }});
        m.push_back({"boot sector: record size -128", image, [](Bytes& b) { b[0x40] = 0x80; }});
        m.push_back({"boot sector: MFT past the end", image,
                     [](Bytes& b) { Put(b, 0x30, uint64_t{1} << 40, 8); }});
        m.push_back({"boot sector: 2^62 sectors", image,
                     [](Bytes& b) { Put(b, 0x28, uint64_t{1} << 62, 8); }});
    }
    for (const char* image : {"fat12.img", "fat16.img", "fat32.img", "fatfolders.img"}) {
        m.push_back({"FAT chains looped", image, [](Bytes& b) {
                         const Fat f(b);
                         for (uint32_t c = 2; c < 600; ++c) {
                             if (f.fat32)
                                 Put(b, f.fat + 4 * c, c, 4);
                             else if (f.root - f.fat > 20000)
                                 Put(b, f.fat + 2 * c, c, 2);
                             else
                                 Put(b, f.fat + 3 * (c & ~1u) / 2, 0x0FFF, 2);
                         }
                     }});
        m.push_back({"directories pointing at their ancestors", image, [](Bytes& b) {
                         const Fat f(b);
                         for (std::size_t at = f.RootDir(); at < f.RootDir() + 16 * 32; at += 32) {
                             if ((b[at + 11] & 0x10) == 0 || b[at] == '.')
                                 continue;
                             const uint64_t c =
                                 Get(b, at + 0x1A, 2) | (f.fat32 ? Get(b, at + 0x14, 2) << 16 : 0);
                             if (c < 2)
                                 continue;
                             // Inside the directory: an entry for itself and one for the root.
                             Bytes entry(32, ' ');
                             entry[11] = 0x10;
                             Put(entry, 0x1A, c, 2);
                             std::copy(entry.begin(), entry.end(), b.begin() + f.Cluster(c) + 64);
                             Put(entry, 0x1A, f.fat32 ? 2 : 0, 2);
                             entry[0] = 0xE5;
                             std::copy(entry.begin(), entry.end(), b.begin() + f.Cluster(c) + 96);
                         }
                     }});
        m.push_back({"entry sizes 4 GiB", image, [](Bytes& b) {
                         const Fat f(b);
                         for (std::size_t at = f.RootDir(); at < f.RootDir() + 64 * 32; at += 32)
                             Put(b, at + 0x1C, 0xFFFFFFFF, 4);
                     }});
        m.push_back({"BPB: huge FATs", image, [](Bytes& b) {
                         Put(b, 0x16, b[0x16] != 0 ? 0xFFFF : 0, 2);
                         Put(b, 0x24, 0xFFFFFFF0, 4);
                     }});
        m.push_back({"BPB: sectors per cluster 0", image, [](Bytes& b) { b[0x0D] = 0; }});
        m.push_back({"BPB: root entries 65535", image, [](Bytes& b) { Put(b, 0x11, 0xFFFF, 2); }});
    }
    for (const char* image : {"exfat4k.img", "exfat512.img"}) {
        m.push_back({"boot region checksum broken", image, [](Bytes& b) { b[512 + 7] ^= 0xFF; }});
        m.push_back({"boot: 2^32-1 clusters and a FAT to match", image, [](Bytes& b) {
                         Put(b, 0x5C, 0xFFFFFFFF, 4);
                         Put(b, 0x54, 0xFFFFFFFF, 4);
                     }});
        m.push_back({"boot: root past the last cluster", image,
                     [](Bytes& b) { Put(b, 0x60, 0xFFFFFFF0, 4); }});
        m.push_back({"FAT chains looped", image, [](Bytes& b) {
                         const ExFat x(b);
                         for (uint32_t c = 2; c < 2000; ++c)
                             Put(b, x.fat + 4 * c, c, 4);
                     }});
        m.push_back({"allocation bitmap entry gone", image, [](Bytes& b) {
                         ForEachRootEntry(b, [&](std::size_t at) {
                             if (b[at] == 0x81)
                                 b[at] = 0x01;
                         });
                     }});
        m.push_back({"up-case table and bitmap zeroed", image, [](Bytes& b) {
                         const ExFat x(b);
                         std::fill(b.begin() + x.Cluster(2), b.begin() + x.root, 0);
                     }});
        m.push_back({"secondary counts and name lengths 255", image, [](Bytes& b) {
                         ForEachRootEntry(b, [&](std::size_t at) {
                             if ((b[at] | 0x80) == 0x85)
                                 b[at + 1] = 0xFF;
                             if ((b[at] | 0x80) == 0xC0)
                                 b[at + 3] = 0xFF;
                         });
                     }});
        m.push_back({"data lengths 2^63", image, [](Bytes& b) {
                         ForEachRootEntry(b, [&](std::size_t at) {
                             if ((b[at] | 0x80) == 0xC0) {
                                 Put(b, at + 0x08, uint64_t{1} << 63, 8);
                                 Put(b, at + 0x18, uint64_t{1} << 63, 8);
                             }
                         });
                     }});
        m.push_back({"folders pointing at the root", image, [](Bytes& b) {
                         const uint64_t root = Get(b, 0x60, 4);
                         ForEachRootEntry(b, [&](std::size_t at) {
                             if ((b[at] | 0x80) == 0x85 && (b[at + 4] & 0x10) != 0)
                                 Put(b, at + 32 + 0x14, root, 4);
                         });
                     }});
    }
    m.push_back({"FAT32 root chain through a free cluster", "fat32.img", [](Bytes& b) {
                     const Fat f(b);
                     Put(b, f.fat + 4 * 2, 3, 4);
                     Put(b, f.fat + 4 * 3, 0, 4);
                 }});
    return m;
}

struct Outcome {
    int status = -1;
    int signal = 0;
    bool timedOut = false;
    long maxRssKb = 0;
    std::string err;
};

Outcome Measure(const std::vector<std::string>& command) {
    char errPath[] = "/tmp/relicta-damaged-err-XXXXXX";
    const int errFd = ::mkstemp(errPath);
    char rssPath[] = "/tmp/relicta-damaged-rss-XXXXXX";
    ::close(::mkstemp(rssPath));
    std::vector<std::string> args = {"/usr/bin/time", "-f", "%M", "-o", rssPath};
    args.insert(args.end(), command.begin(), command.end());
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);  // so that a timeout ends the command too, not only time
        const int devNull = ::open("/dev/null", O_RDWR);
        ::dup2(devNull, 0);
        ::dup2(devNull, 1);
        ::dup2(errFd, 2);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    Outcome run;
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (std::chrono::steady_clock::now() - start > kTimeLimit) {
            run.timedOut = true;
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    std::ifstream in(errPath);
    run.err.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    // time reports a command ended by a signal in a line of its own before the figure.
    const std::string killedBy = "Command terminated by signal ";
    if (const std::size_t at = run.err.find(killedBy); at != std::string::npos) {
        run.signal = std::atoi(run.err.c_str() + at + killedBy.size());
    }
    std::ifstream rss(rssPath);
    for (std::string line; std::getline(rss, line);) {
        if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) {
            run.maxRssKb = std::atol(line.c_str());
        }
    }
    ::close(errFd);
    std::remove(errPath);
    std::remove(rssPath);
    return run;
}

// The pristine fixture, read once.
const Bytes& Fixture(const std::string& name) {
    static std::map<std::string, Bytes> cache;
    Bytes& bytes = cache[name];
    if (bytes.empty()) {
        std::ifstream in(FixturePath(name), std::ios::binary | std::ios::ate);
        bytes.resize(static_cast<std::size_t>(in.tellg()));
        in.seekg(0);
        in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    return bytes;
}

TEST(DamagedVolumes, EveryCommandFinishesAndSaysWhatHappened) {
    char dir[] = "/tmp/relicta-damaged-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string image = std::string(dir) + "/damaged.img";
    const std::string destination = std::string(dir) + "/recovered";
    for (const Mutation& mutation : Mutations()) {
        Bytes bytes = Fixture(mutation.image);
        ASSERT_FALSE(bytes.empty());
        mutation.apply(bytes);
        std::ofstream(image, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        for (const std::vector<std::string>& command : kCommands) {
            std::vector<std::string> args = {RelictaBinary()};
            for (const std::string& arg : command) {
                args.push_back(arg == kDestination ? destination : arg);
            }
            args.insert(args.end(), {"--on-check=ignore", image});
            const Outcome run = Measure(args);
            // Whatever the volume says, nothing is written beside the destination.
            for (const auto& entry : std::filesystem::directory_iterator(dir)) {
                EXPECT_TRUE(entry.path() == image || entry.path() == destination) << entry.path();
            }
            std::filesystem::remove_all(destination);
            const std::string what =
                std::string(mutation.image) + ", " + mutation.name + ": relicta " + command[0];
            EXPECT_FALSE(run.timedOut) << what;
            EXPECT_EQ(run.signal, 0) << what << "\n" << run.err.substr(0, 2000);
            EXPECT_GT(run.maxRssKb, 0) << what;
            EXPECT_LT(run.maxRssKb, kMemoryLimitKb) << what;
            const bool fatal = run.err.find("Fatal Error: ") != std::string::npos ||
                               run.err.find("Fatal error: ") != std::string::npos;
            EXPECT_TRUE(run.status == 0 || run.status == 2 || run.status == 3 ||
                        (run.status == 4 && command[0] == "recover") || (run.status == 1 && fatal))
                << what << " exited " << run.status << "\n"
                << run.err.substr(0, 2000);
        }
    }
    std::remove(image.c_str());
    ::rmdir(dir);
}

}  // namespace
}  // namespace relicta::test
