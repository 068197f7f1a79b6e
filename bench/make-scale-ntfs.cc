// make-scale-ntfs: an NTFS volume of millions of MFT records for benchmarks. mkntfs formats a
// sparse image; this program then writes the records, the folders' indexes and the bitmaps
// straight onto it, laid out as NTFS lays them out, with no file-system driver in between.
//
//   make-scale-ntfs IMAGE RECORDS DELETED SEED
//
// RECORDS counts every MFT record (mkntfs's own too); DELETED of the files have their record
// marked free, are gone from their folder's index and have their clusters free. Beside IMAGE goes
// its manifest (IMAGE without ".img", then ".tsv"): path, size and deleted (0/1) of every file.
// Data of files larger than a record is never written: the sparse image reads it as zeros.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kSector = 512;
constexpr uint32_t kCluster = 4096;
constexpr uint32_t kRecord = 1024;
constexpr uint32_t kIndexBlock = 4096;
constexpr uint32_t kFirstAttribute = 0x38;
constexpr uint32_t kIndexEntries = 0x40;  // where an INDX block's entries begin
constexpr uint32_t kIndexHeader = 0x18;
constexpr uint32_t kBlockRoom = kIndexBlock - kIndexEntries;
constexpr uint32_t kResidentMax = 600;  // fits beside the longest name
constexpr uint32_t kRecordsPerWrite = 65536;
constexpr uint32_t kFilesPerFolder = 100;
constexpr int kMaxDepth = 8;
constexpr uint64_t kRootRecord = 5;
constexpr uint64_t kMftRecord = 0;
constexpr uint64_t kBitmapRecord = 6;
constexpr uint64_t kUpcaseRecord = 10;
constexpr uint32_t kAttributeEnd = 0xFFFFFFFF;
constexpr uint32_t kStandardInformation = 0x10;
constexpr uint32_t kFileName = 0x30;
constexpr uint32_t kData = 0x80;
constexpr uint32_t kIndexRoot = 0x90;
constexpr uint32_t kIndexAllocation = 0xA0;
constexpr uint32_t kBitmap = 0xB0;
constexpr uint16_t kInUse = 1;
constexpr uint16_t kIsDirectory = 2;
constexpr uint16_t kSubNode = 1;
constexpr uint16_t kLastEntry = 2;
constexpr uint8_t kLargeIndex = 1;
constexpr uint32_t kCollateFileName = 1;
constexpr uint32_t kDirectoryFlag = 0x10000000;
constexpr uint32_t kArchive = 0x20;
constexpr uint8_t kWin32Names = 1;
constexpr uint16_t kUsn = 1;
constexpr uint64_t kSecurityId = 0x100;
constexpr int64_t kYear2015 = 130645440000000000LL;  // 2015-01-01 in 100 ns since 1601
constexpr int64_t kTenYears = 3155760000000000LL;
const char16_t kI30[] = u"$I30";

[[noreturn]] void Die(const std::string& what) {
    fprintf(stderr, "make-scale-ntfs: %s\n", what.c_str());
    exit(1);
}

uint16_t Get16(const uint8_t* p) {
    return uint16_t(p[0] | p[1] << 8);
}
uint32_t Get32(const uint8_t* p) {
    return Get16(p) | uint32_t(Get16(p + 2)) << 16;
}
uint64_t Get64(const uint8_t* p) {
    return Get32(p) | uint64_t(Get32(p + 4)) << 32;
}
void Put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    Put16(p, uint16_t(v));
    Put16(p + 2, uint16_t(v >> 16));
}
void Put64(uint8_t* p, uint64_t v) {
    Put32(p, uint32_t(v));
    Put32(p + 4, uint32_t(v >> 32));
}
uint32_t Align8(uint32_t n) {
    return (n + 7) & ~7u;
}
uint64_t CeilDiv(uint64_t a, uint64_t b) {
    return (a + b - 1) / b;
}

uint64_t Mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// One record's draws (name, size, times) depend on the seed and the record alone, so nothing
// about a file needs keeping between the passes that use it.
uint64_t Draw(uint64_t seed, uint64_t record, uint64_t what) {
    return Mix(Mix(seed) ^ (record * 16 + what));
}

class Image {
  public:
    explicit Image(const std::string& path) : fd_(open(path.c_str(), O_RDWR)) {
        if (fd_ < 0)
            Die("cannot open " + path);
    }
    ~Image() { close(fd_); }
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    void Read(uint64_t at, void* to, size_t n) const {
        if (pread(fd_, to, n, off_t(at)) != ssize_t(n))
            Die("short read");
    }
    void Write(uint64_t at, const void* from, size_t n) const {
        if (pwrite(fd_, from, n, off_t(at)) != ssize_t(n))
            Die("short write");
    }

  private:
    int fd_;
};

struct Run {
    uint64_t lcn;
    uint64_t length;
};

std::vector<Run> DecodeRuns(const uint8_t* at, const uint8_t* end) {
    std::vector<Run> runs;
    int64_t lcn = 0;
    while (at < end && *at != 0) {
        unsigned length_bytes = *at & 0x0F, offset_bytes = *at >> 4;
        if (length_bytes == 0 || length_bytes > 8 || offset_bytes > 8 || offset_bytes == 0 ||
            at + 1 + length_bytes + offset_bytes > end)
            Die("run list this program does not read");
        ++at;
        uint64_t length = 0;
        for (unsigned i = 0; i < length_bytes; ++i)
            length |= uint64_t(at[i]) << (8 * i);
        at += length_bytes;
        uint64_t delta = 0;
        for (unsigned i = 0; i < offset_bytes; ++i)
            delta |= uint64_t(at[i]) << (8 * i);
        if (at[offset_bytes - 1] & 0x80)
            delta |= ~0ULL << (8 * offset_bytes - 1) << 1;
        at += offset_bytes;
        lcn += int64_t(delta);
        runs.push_back({uint64_t(lcn), length});
    }
    return runs;
}

unsigned SignedBytes(int64_t v) {
    unsigned n = 1;
    while (n < 8 && (v < -(int64_t(1) << (8 * n - 1)) || v >= (int64_t(1) << (8 * n - 1))))
        ++n;
    return n;
}

std::vector<uint8_t> EncodeRuns(const std::vector<Run>& runs) {
    std::vector<uint8_t> out;
    int64_t previous = 0;
    for (const Run& run : runs) {
        int64_t delta = int64_t(run.lcn) - previous;
        unsigned length_bytes = SignedBytes(int64_t(run.length)), offset_bytes = SignedBytes(delta);
        out.push_back(uint8_t(offset_bytes << 4 | length_bytes));
        for (unsigned i = 0; i < length_bytes; ++i)
            out.push_back(uint8_t(run.length >> (8 * i)));
        for (unsigned i = 0; i < offset_bytes; ++i)
            out.push_back(uint8_t(uint64_t(delta) >> (8 * i)));
        previous = int64_t(run.lcn);
    }
    out.push_back(0);
    return out;
}

uint64_t RunClusters(const std::vector<Run>& runs) {
    uint64_t total = 0;
    for (const Run& run : runs)
        total += run.length;
    return total;
}

// Update sequence: the last two bytes of every sector move into the array, the sequence
// number takes their place; a reader checks and restores them.
void ApplyFixups(uint8_t* block, uint32_t size) {
    uint16_t array = Get16(block + 4);
    Put16(block + array, kUsn);
    for (uint32_t s = 0; s < size / kSector; ++s) {
        uint8_t* tail = block + (s + 1) * kSector - 2;
        memcpy(block + array + 2 + 2 * s, tail, 2);
        Put16(tail, kUsn);
    }
}

void UndoFixups(uint8_t* block, uint32_t size) {
    uint16_t array = Get16(block + 4), count = Get16(block + 6);
    if (count != size / kSector + 1 || array + 2u * count > size)
        Die("update sequence this program does not read");
    for (uint32_t s = 0; s < size / kSector; ++s) {
        uint8_t* tail = block + (s + 1) * kSector - 2;
        if (Get16(tail) != Get16(block + array))
            Die("torn block");
        memcpy(tail, block + array + 2 + 2 * s, 2);
    }
}

struct Attribute {
    uint32_t type;
    const uint8_t* bytes;
    uint32_t length;
};

std::vector<Attribute> AttributesOf(const uint8_t* record) {
    std::vector<Attribute> out;
    uint32_t at = Get16(record + 20), used = std::min(Get32(record + 24), kRecord);
    while (at + 8 <= used && Get32(record + at) != kAttributeEnd) {
        uint32_t length = Get32(record + at + 4);
        if (length < 16 || at + length > used)
            Die("damaged record");
        out.push_back({Get32(record + at), record + at, length});
        at += length;
    }
    return out;
}

const Attribute* Find(const std::vector<Attribute>& attributes, uint32_t type) {
    for (const Attribute& a : attributes)
        if (a.type == type)
            return &a;
    return nullptr;
}

std::vector<Run> RunsOf(const Attribute& a) {
    if (a.bytes[8] == 0)
        Die("resident attribute where runs were expected");
    return DecodeRuns(a.bytes + Get16(a.bytes + 32), a.bytes + a.length);
}

// Builds one MFT record: attributes in type order, then the end marker and the fixups.
class RecordBuilder {
  public:
    explicit RecordBuilder(uint8_t* record) : record_(record) { memset(record_, 0, kRecord); }

    void Copy(const Attribute& a) {
        memcpy(Reserve(a.length), a.bytes, a.length);
        next_id_ = std::max<uint16_t>(next_id_, uint16_t(Get16(a.bytes + 14) + 1));
    }

    void Resident(uint32_t type, const std::u16string& name, const uint8_t* value, uint32_t length,
                  bool indexed = false) {
        uint32_t name_at = 24, value_at = Align8(name_at + 2 * uint32_t(name.size()));
        uint8_t* a = Begin(type, Align8(value_at + length), false, name, name_at);
        Put32(a + 16, length);
        Put16(a + 20, uint16_t(value_at));
        a[22] = indexed ? 1 : 0;
        if (length)
            memcpy(a + value_at, value, length);
    }

    void NonResident(uint32_t type, const std::u16string& name, const std::vector<Run>& runs,
                     uint64_t size) {
        std::vector<uint8_t> encoded = EncodeRuns(runs);
        uint32_t name_at = 64, runs_at = Align8(name_at + 2 * uint32_t(name.size()));
        uint8_t* a = Begin(type, Align8(runs_at + uint32_t(encoded.size())), true, name, name_at);
        uint64_t clusters = RunClusters(runs);
        Put64(a + 24, clusters - 1);
        Put16(a + 32, uint16_t(runs_at));
        Put64(a + 40, clusters * kCluster);
        Put64(a + 48, size);
        Put64(a + 56, size);
        memcpy(a + runs_at, encoded.data(), encoded.size());
    }

    void Finish(uint64_t number, uint16_t sequence, uint16_t flags) {
        Put32(record_ + used_, kAttributeEnd);
        used_ += 8;
        memcpy(record_, "FILE", 4);
        Put16(record_ + 4, 0x30);
        Put16(record_ + 6, kRecord / kSector + 1);
        Put16(record_ + 16, sequence);
        Put16(record_ + 18, 1);
        Put16(record_ + 20, kFirstAttribute);
        Put16(record_ + 22, flags);
        Put32(record_ + 24, used_);
        Put32(record_ + 28, kRecord);
        Put16(record_ + 40, next_id_);
        Put32(record_ + 44, uint32_t(number));
        ApplyFixups(record_, kRecord);
    }

  private:
    uint8_t* Reserve(uint32_t length) {
        if (used_ + length + 8 > kRecord)  // the end marker's room stays
            Die("record overflow");
        uint8_t* at = record_ + used_;
        used_ += length;
        return at;
    }

    uint8_t* Begin(uint32_t type, uint32_t length, bool non_resident, const std::u16string& name,
                   uint32_t name_at) {
        uint8_t* a = Reserve(length);
        Put32(a, type);
        Put32(a + 4, length);
        a[8] = non_resident ? 1 : 0;
        a[9] = uint8_t(name.size());
        Put16(a + 10, uint16_t(name_at));
        Put16(a + 14, next_id_++);
        for (size_t i = 0; i < name.size(); ++i)
            Put16(a + name_at + 2 * i, name[i]);
        return a;
    }

    uint8_t* record_;
    uint32_t used_ = kFirstAttribute;
    uint16_t next_id_ = 0;
};

// What mkntfs left: where things are, and the tables this program extends.
struct Volume {
    uint64_t clusters = 0;
    uint64_t mft_lcn = 0;
    uint64_t mirror_lcn = 0;
    std::vector<Run> mft_runs;
    uint64_t mft_records = 0;  // records the MFT holds room for
    std::vector<uint8_t> record0, record5;
    std::vector<Run> bitmap_runs;
    std::vector<uint8_t> bitmap;  // the volume's $Bitmap
    std::vector<uint8_t> mft_bitmap;
    std::vector<char16_t> upcase;
};

std::vector<uint8_t> ReadRecord(const Image& image, const Volume& v, uint64_t number) {
    std::vector<uint8_t> record(kRecord);
    image.Read(v.mft_lcn * kCluster + number * kRecord, record.data(), kRecord);
    if (memcmp(record.data(), "FILE", 4) != 0)
        Die("no record " + std::to_string(number));
    UndoFixups(record.data(), kRecord);
    return record;
}

std::vector<uint8_t> ReadNonResident(const Image& image, const Attribute& a) {
    std::vector<uint8_t> out;
    for (const Run& run : RunsOf(a)) {
        size_t at = out.size();
        out.resize(at + run.length * kCluster);
        image.Read(run.lcn * kCluster, out.data() + at, run.length * kCluster);
    }
    out.resize(std::min<uint64_t>(out.size(), Get64(a.bytes + 48)));
    return out;
}

Volume OpenVolume(const Image& image) {
    Volume v;
    uint8_t boot[kSector];
    image.Read(0, boot, kSector);
    if (memcmp(boot + 3, "NTFS    ", 8) != 0 || Get16(boot + 11) != kSector ||
        boot[13] * kSector != kCluster || int8_t(boot[64]) != -10 || int8_t(boot[68]) != 1)
        Die("not the NTFS layout this program writes (512-byte sectors, 4 KiB clusters)");
    v.clusters = Get64(boot + 40) / (kCluster / kSector);
    v.mft_lcn = Get64(boot + 48);
    v.mirror_lcn = Get64(boot + 56);
    v.record0 = ReadRecord(image, v, kMftRecord);
    v.record5 = ReadRecord(image, v, kRootRecord);
    std::vector<Attribute> mft = AttributesOf(v.record0.data());
    const Attribute* data = Find(mft, kData);
    const Attribute* mft_bitmap = Find(mft, kBitmap);
    if (!data || !mft_bitmap)
        Die("$MFT without $DATA or $BITMAP");
    v.mft_runs = RunsOf(*data);
    v.mft_records = RunClusters(v.mft_runs) * kCluster / kRecord;
    v.mft_bitmap = ReadNonResident(image, *mft_bitmap);
    std::vector<uint8_t> record6 = ReadRecord(image, v, kBitmapRecord);
    std::vector<Attribute> bitmap = AttributesOf(record6.data());
    if (!Find(bitmap, kData))
        Die("$Bitmap without $DATA");
    v.bitmap_runs = RunsOf(*Find(bitmap, kData));
    v.bitmap = ReadNonResident(image, *Find(bitmap, kData));
    std::vector<uint8_t> record10 = ReadRecord(image, v, kUpcaseRecord);
    std::vector<Attribute> upcase = AttributesOf(record10.data());
    if (!Find(upcase, kData))
        Die("$UpCase without $DATA");
    std::vector<uint8_t> table = ReadNonResident(image, *Find(upcase, kData));
    if (table.size() != 2 * 65536)
        Die("$UpCase of an unexpected size");
    v.upcase.resize(65536);
    for (size_t i = 0; i < v.upcase.size(); ++i)
        v.upcase[i] = char16_t(Get16(&table[2 * i]));
    return v;
}

// Clusters are handed out in volume order and never twice: a deleted file's clusters stay
// free in the bitmap but no later file takes them.
class Clusters {
  public:
    explicit Clusters(Volume& v) : v_(v) {}

    bool Free(uint64_t lcn) const { return !(v_.bitmap[lcn / 8] >> (lcn % 8) & 1); }

    void Mark(uint64_t lcn, uint64_t count, bool used) {
        for (uint64_t c = lcn; c < lcn + count; ++c)
            if (used)
                v_.bitmap[c / 8] |= uint8_t(1 << (c % 8));
            else
                v_.bitmap[c / 8] &= uint8_t(~(1 << (c % 8)));
    }

    bool TakeAt(uint64_t lcn, uint64_t count) {
        if (lcn + count > v_.clusters)
            return false;
        for (uint64_t c = lcn; c < lcn + count; ++c)
            if (!Free(c))
                return false;
        Mark(lcn, count, true);
        return true;
    }

    uint64_t Take(uint64_t count, bool used) {
        uint64_t at = cursor_;
        for (;;) {
            if (at + count > v_.clusters)
                Die("volume full");
            uint64_t c = at;
            while (c < at + count && Free(c))
                ++c;
            if (c == at + count)
                break;
            at = c + 1;
        }
        if (used)
            Mark(at, count, true);
        cursor_ = at + count;
        return at;
    }

    void Skip(uint64_t count) { cursor_ += count; }

  private:
    Volume& v_;
    uint64_t cursor_ = 0;
};

// The folders and files: which record is which, their parents, which files are deleted.
struct Plan {
    uint64_t seed = 0;
    uint64_t first = 0;  // the first record this program writes
    uint64_t total = 0;
    uint16_t root_sequence = uint16_t(kRootRecord);
    std::vector<uint64_t> folder_record;  // folder 0 is the root
    std::vector<uint8_t> depth;
    std::vector<uint32_t> parent;  // per record from `first`: its folder
    std::vector<uint32_t> folder;  // per record from `first`: the folder it is, 0 for a file
    std::vector<bool> deleted;
};

bool IsFolder(const Plan& p, uint64_t record) {
    return p.folder[record - p.first] != 0;
}

struct Rng {
    uint64_t state;
    uint64_t Next() { return Mix(state++); }
    uint64_t Below(uint64_t n) { return Next() % n; }
    double Unit() { return double(Next() >> 11) / double(1ULL << 53); }
};

Plan MakePlan(uint64_t first, uint64_t total, uint64_t deleted, uint64_t seed) {
    Plan p;
    p.seed = seed;
    p.first = first;
    p.total = total;
    uint64_t n = total - first;
    uint64_t folders = std::max<uint64_t>(1, n / kFilesPerFolder);
    uint64_t top = std::max<uint64_t>(1, uint64_t(std::sqrt(double(folders))));
    Rng rng{seed};
    p.folder_record = {kRootRecord};
    p.depth = {0};
    p.parent.assign(n, 0);
    p.folder.assign(n, 0);
    for (uint64_t f = 1; f <= folders; ++f) {
        uint64_t i = (f - 1) * n / folders;
        uint32_t parent = 0;
        if (f > top) {
            parent = uint32_t(1 + rng.Below(f - 1));
            for (int tries = 0; tries < 8 && p.depth[parent] >= kMaxDepth; ++tries)
                parent = uint32_t(1 + rng.Below(f - 1));
            if (p.depth[parent] >= kMaxDepth)
                parent = uint32_t(1 + rng.Below(top));
        }
        p.folder_record.push_back(first + i);
        p.depth.push_back(uint8_t(p.depth[parent] + 1));
        p.parent[i] = parent;
        p.folder[i] = uint32_t(f);
    }
    // Files crowd into the first folders (a few hold tens of thousands, most a few dozen);
    // exactly `deleted` of them are deleted, spread evenly.
    uint64_t files = n - folders;
    uint64_t left = files, wanted = std::min(deleted, files);
    p.deleted.assign(n, false);
    for (uint64_t i = 0; i < n; ++i) {
        if (p.folder[i])
            continue;
        double u = rng.Unit();
        p.parent[i] = uint32_t(1 + std::min<uint64_t>(folders - 1, uint64_t(u * u * folders)));
        if (rng.Below(left) < wanted) {
            p.deleted[i] = true;
            --wanted;
        }
        --left;
    }
    return p;
}

uint64_t FileSize(const Plan& p, uint64_t record) {
    uint64_t h = Draw(p.seed, record, 1);
    if (h % 100 < 55)
        return (h >> 8) % (kResidentMax + 1);
    uint64_t scale = 1024ULL << ((h >> 8) % 10);  // 1 KiB to 1 MiB, as many of each order
    return scale + (h >> 16) % scale;
}

bool Resident(uint64_t size) {
    return size <= kResidentMax;
}

// A non-resident file's pieces: most in one run, one in ten in two to four.
uint32_t Pieces(const Plan& p, uint64_t record, uint64_t clusters) {
    uint64_t h = Draw(p.seed, record, 2);
    return h % 10 == 0 && clusters >= 4 ? uint32_t(2 + (h >> 8) % 3) : 1;
}

const char16_t* const kWords[] = {
    u"report",    u"Budget",   u"notes",     u"Invoice",    u"photo",    u"scan",     u"backup",
    u"Project",   u"draft",    u"final",     u"Meeting",    u"minutes",  u"contract", u"summary",
    u"data",      u"export",   u"Quarterly", u"holiday",    u"receipt",  u"schedule", u"letter",
    u"image",     u"video",    u"music",     u"archive",    u"Customer", u"sales",    u"plan",
    u"Übersicht", u"Rechnung", u"résumé",    u"café",       u"Fotos",    u"документ", u"отчёт",
    u"写真",      u"資料",     u"会議",      u"Σημειώσεις", u"naïve",    u"año",      u"straße",
    u"config",    u"readme",   u"setup",     u"template",   u"version",  u"copy",     u"old"};
const char16_t* const kExtensions[] = {u".docx", u".pdf", u".jpg", u".txt", u".xlsx", u".png",
                                       u".mp3",  u".zip", u".log", u".csv", u".html", u".dat"};
const char16_t* const kSeparators[] = {u" ", u"_", u"-"};
constexpr size_t kMaxName = 40;

// 8 to 40 characters: words, then the record number in base 36, which keeps the names in a
// folder distinct.
std::u16string NameOf(const Plan& p, uint64_t record) {
    uint64_t h = Draw(p.seed, record, 3);
    std::u16string tag = u" ";
    for (uint64_t r = record; r; r /= 36)
        tag.insert(tag.begin() + 1, char16_t(r % 36 < 10 ? u'0' + r % 36 : u'a' + r % 36 - 10));
    std::u16string ext = IsFolder(p, record) ? u"" : kExtensions[h % std::size(kExtensions)];
    std::u16string name;
    h /= std::size(kExtensions);
    uint64_t words = 1 + h % 4;
    h /= 4;
    for (uint64_t w = 0; w < words; ++w, h /= 64) {
        std::u16string word = kWords[h % std::size(kWords)];
        std::u16string separator = name.empty() ? u"" : kSeparators[(h / 49) % 3];
        if (!name.empty() &&
            name.size() + separator.size() + word.size() + tag.size() + ext.size() > kMaxName)
            break;
        name += separator + word;
    }
    return name + tag + ext;
}

uint64_t TimeOf(const Plan& p, uint64_t record) {
    return uint64_t(kYear2015 + int64_t(Draw(p.seed, record, 4) % uint64_t(kTenYears)));
}

uint64_t Reference(uint64_t record, uint16_t sequence) {
    return record | uint64_t(sequence) << 48;
}

constexpr uint16_t kLiveSequence = 1;
constexpr uint16_t kDeletedSequence = 2;  // freeing a record moves its sequence on

uint64_t ReferenceOf(const Plan& p, uint64_t record) {
    return Reference(record, p.deleted[record - p.first] ? kDeletedSequence : kLiveSequence);
}

uint64_t AllocatedOf(uint64_t size) {
    return Resident(size) ? Align8(uint32_t(size)) : CeilDiv(size, kCluster) * kCluster;
}

std::vector<uint8_t> FileNameValue(const Plan& p, uint64_t record) {
    std::u16string name = NameOf(p, record);
    bool folder = IsFolder(p, record);
    uint64_t size = folder ? 0 : FileSize(p, record), when = TimeOf(p, record);
    std::vector<uint8_t> v(66 + 2 * name.size());
    uint32_t parent = p.parent[record - p.first];
    Put64(&v[0], Reference(p.folder_record[parent], parent ? kLiveSequence : p.root_sequence));
    for (int t = 0; t < 4; ++t)
        Put64(&v[8 + 8 * t], when);
    Put64(&v[40], folder ? 0 : AllocatedOf(size));
    Put64(&v[48], size);
    Put32(&v[56], folder ? kDirectoryFlag : kArchive);
    v[64] = uint8_t(name.size());
    v[65] = kWin32Names;
    for (size_t i = 0; i < name.size(); ++i)
        Put16(&v[66 + 2 * i], name[i]);
    return v;
}

std::vector<uint8_t> StandardInformation(const Plan& p, uint64_t record) {
    std::vector<uint8_t> v(72);
    uint64_t when = TimeOf(p, record);
    for (int t = 0; t < 4; ++t)
        Put64(&v[8 * t], when);
    Put32(&v[32], IsFolder(p, record) ? 0 : kArchive);
    Put32(&v[52], uint32_t(kSecurityId));
    return v;
}

// One entry of a folder's index: the file's reference and its $FILE_NAME, the key.
struct Entry {
    std::u16string upper;  // the name as the index collates it
    std::vector<uint8_t> key;
    uint64_t reference = 0;
    int64_t child = -1;  // VCN of the node of smaller names, in a node's entries
};

std::u16string NameIn(const std::vector<uint8_t>& key) {
    std::u16string name(key[64], 0);
    for (size_t i = 0; i < name.size(); ++i)
        name[i] = char16_t(Get16(&key[66 + 2 * i]));
    return name;
}

Entry MakeEntry(const Volume& v, std::vector<uint8_t> key, uint64_t reference) {
    Entry e;
    if (key.size() < 66 || key.size() < 66 + 2u * key[64])
        Die("damaged index key");
    e.upper = NameIn(key);
    for (char16_t& c : e.upper)
        c = v.upcase[c];
    e.key = std::move(key);
    e.reference = reference;
    return e;
}

bool Collates(const Entry& a, const Entry& b) {
    if (a.upper != b.upper)
        return a.upper < b.upper;
    return NameIn(a.key) < NameIn(b.key);
}

uint32_t EntrySize(const Entry& e, bool node) {
    return Align8(16 + uint32_t(e.key.size())) + (node ? 8 : 0);
}
uint32_t EndSize(bool node) {
    return node ? 24 : 16;
}

uint8_t* PutEntry(uint8_t* at, const Entry* e, bool node, int64_t child) {
    uint32_t size = e ? EntrySize(*e, node) : EndSize(node);
    memset(at, 0, size);
    Put16(at + 8, uint16_t(size));
    if (e) {
        Put64(at, e->reference);
        Put16(at + 10, uint16_t(e->key.size()));
        memcpy(at + 16, e->key.data(), e->key.size());
    }
    Put16(at + 12, uint16_t((node ? kSubNode : 0) | (e ? 0 : kLastEntry)));
    if (node)
        Put64(at + size - 8, uint64_t(child));
    return at + size;
}

// A folder's index as a B-tree: the node in the record's $INDEX_ROOT, the others in INDX
// blocks of $INDEX_ALLOCATION, built from the leaves up.
struct Index {
    std::vector<uint8_t> root;  // the root node's entries, its end entry too
    bool large = false;
    std::vector<uint8_t> blocks;
    uint32_t count = 0;
};

uint32_t NodeSize(const std::vector<Entry>& level, bool node) {
    uint32_t size = EndSize(node);
    for (const Entry& e : level)
        size += EntrySize(e, node);
    return size;
}

void PutBlock(Index& index, const std::vector<Entry>& level, size_t from, size_t to, bool node,
              int64_t end_child) {
    index.blocks.resize(index.blocks.size() + kIndexBlock);
    uint8_t* block = &index.blocks[index.blocks.size() - kIndexBlock];
    memcpy(block, "INDX", 4);
    Put16(block + 4, 0x28);
    Put16(block + 6, kIndexBlock / kSector + 1);
    Put64(block + 16, index.count * (kIndexBlock / kCluster));
    uint8_t* at = block + kIndexEntries;
    for (size_t i = from; i < to; ++i)
        at = PutEntry(at, &level[i], node, level[i].child);
    at = PutEntry(at, nullptr, node, end_child);
    Put32(block + kIndexHeader, kIndexEntries - kIndexHeader);
    Put32(block + kIndexHeader + 4, uint32_t(at - block - kIndexHeader));
    Put32(block + kIndexHeader + 8, kIndexBlock - kIndexHeader);
    block[kIndexHeader + 12] = node ? kLargeIndex : 0;
    ApplyFixups(block, kIndexBlock);
    ++index.count;
}

Index BuildIndex(std::vector<Entry> level, uint32_t root_room) {
    Index index;
    bool node = false;
    int64_t last = -1;  // the node right of a level's last entry
    while (NodeSize(level, node) > root_room) {
        std::vector<Entry> up;
        int64_t below_last = last;
        size_t i = 0;
        while (i < level.size()) {
            size_t from = i;
            uint32_t used = EndSize(node);
            while (i < level.size() && used + EntrySize(level[i], node) <= kBlockRoom)
                used += EntrySize(level[i++], node);
            if (i == from)
                Die("index entry larger than a block");
            if (i + 1 == level.size())
                --i;  // a separator needs a node after it
            int64_t vcn = int64_t(index.count * (kIndexBlock / kCluster));
            if (i == level.size()) {
                PutBlock(index, level, from, i, node, below_last);
                last = vcn;
                break;
            }
            PutBlock(index, level, from, i, node, level[i].child);
            up.push_back(std::move(level[i]));
            up.back().child = vcn;
            ++i;
        }
        level = std::move(up);
        node = true;
    }
    index.large = node;
    index.root.resize(NodeSize(level, node));
    uint8_t* at = index.root.data();
    for (const Entry& e : level)
        at = PutEntry(at, &e, node, e.child);
    PutEntry(at, nullptr, node, last);
    return index;
}

std::vector<uint8_t> IndexRootValue(const Index& index) {
    std::vector<uint8_t> v(32 + index.root.size());
    Put32(&v[0], kFileName);
    Put32(&v[4], kCollateFileName);
    Put32(&v[8], kIndexBlock);
    v[12] = kIndexBlock / kCluster;
    Put32(&v[16], 16);
    Put32(&v[20], uint32_t(16 + index.root.size()));
    Put32(&v[24], uint32_t(16 + index.root.size()));
    v[28] = index.large ? kLargeIndex : 0;
    memcpy(&v[32], index.root.data(), index.root.size());
    return v;
}

uint32_t BitmapBytes(uint32_t blocks) {
    return Align8(uint32_t(CeilDiv(blocks, 8)));
}

// Room for the root node: the record less its other attributes, the index root's headers,
// the allocation with one run, and the block bitmap.
uint32_t RootRoom(uint32_t other_attributes, uint32_t bitmap_bytes) {
    uint32_t fixed =
        kFirstAttribute + 8 + other_attributes + 32 + 32 + (64 + 8 + 16) + (24 + 8 + bitmap_bytes);
    return kRecord - fixed;
}

// A folder's index attributes, its blocks written to clusters of their own.
void AddIndex(RecordBuilder& record, const Image& image, Clusters& clusters,
              std::vector<Entry> entries, uint32_t other_attributes) {
    std::sort(entries.begin(), entries.end(), Collates);
    uint32_t bitmap_bytes = 8;
    Index index = BuildIndex(entries, RootRoom(other_attributes, bitmap_bytes));
    while (BitmapBytes(index.count) > bitmap_bytes) {
        bitmap_bytes = BitmapBytes(index.count);
        index = BuildIndex(entries, RootRoom(other_attributes, bitmap_bytes));
    }
    std::vector<uint8_t> root = IndexRootValue(index);
    record.Resident(kIndexRoot, kI30, root.data(), uint32_t(root.size()));
    if (!index.large)
        return;
    uint64_t lcn = clusters.Take(uint64_t(index.count) * (kIndexBlock / kCluster), true);
    image.Write(lcn * kCluster, index.blocks.data(), index.blocks.size());
    record.NonResident(kIndexAllocation, kI30, {{lcn, index.count * (kIndexBlock / kCluster)}},
                       index.blocks.size());
    std::vector<uint8_t> bitmap(BitmapBytes(index.count));
    for (uint32_t b = 0; b < index.count; ++b)
        bitmap[b / 8] |= uint8_t(1 << (b % 8));
    record.Resident(kBitmap, kI30, bitmap.data(), uint32_t(bitmap.size()));
}

uint32_t AttributeSize(uint32_t value) {
    return 24 + Align8(value);
}

// Live children of each folder, grouped by folder.
struct Children {
    std::vector<uint64_t> start;
    std::vector<uint64_t> records;
};

Children ChildrenOf(const Plan& p) {
    Children c;
    c.start.assign(p.folder_record.size() + 1, 0);
    for (uint64_t i = 0; i < p.parent.size(); ++i)
        if (!p.deleted[i])
            ++c.start[p.parent[i] + 1];
    for (size_t f = 1; f < c.start.size(); ++f)
        c.start[f] += c.start[f - 1];
    c.records.resize(c.start.back());
    std::vector<uint64_t> at(c.start.begin(), c.start.end() - 1);
    for (uint64_t i = 0; i < p.parent.size(); ++i)
        if (!p.deleted[i])
            c.records[at[p.parent[i]]++] = p.first + i;
    return c;
}

std::vector<Entry> EntriesOf(const Volume& v, const Plan& p, const Children& c, uint32_t f) {
    std::vector<Entry> entries;
    for (uint64_t k = c.start[f]; k < c.start[f + 1]; ++k)
        entries.push_back(
            MakeEntry(v, FileNameValue(p, c.records[k]), ReferenceOf(p, c.records[k])));
    return entries;
}

// mkntfs's own entries of the root: the system files and the root itself. The clusters of its
// old index blocks go free: the new index takes others.
std::vector<Entry> RootEntries(const Image& image, const Volume& v, Clusters& clusters) {
    std::vector<Attribute> attributes = AttributesOf(v.record5.data());
    std::vector<std::pair<const uint8_t*, const uint8_t*>> nodes;  // entries' first and end
    const Attribute* root = Find(attributes, kIndexRoot);
    if (!root)
        Die("root without an index");
    const uint8_t* value = root->bytes + Get16(root->bytes + 20);
    nodes.push_back({value + 16 + Get32(value + 16), value + 16 + Get32(value + 20)});
    std::vector<uint8_t> blocks;
    if (const Attribute* allocation = Find(attributes, kIndexAllocation)) {
        blocks = ReadNonResident(image, *allocation);
        for (const Run& run : RunsOf(*allocation))
            clusters.Mark(run.lcn, run.length, false);
        for (size_t at = 0; at + kIndexBlock <= blocks.size(); at += kIndexBlock) {
            uint8_t* block = &blocks[at];
            UndoFixups(block, kIndexBlock);
            nodes.push_back({block + kIndexHeader + Get32(block + kIndexHeader),
                             block + kIndexHeader + Get32(block + kIndexHeader + 4)});
        }
    }
    std::vector<Entry> entries;
    for (auto [at, end] : nodes) {
        while (at + 16 <= end && !(Get16(at + 12) & kLastEntry)) {
            uint16_t size = Get16(at + 8), key = Get16(at + 10);
            if (size < 16 || at + size > end || 16u + key > size)
                Die("damaged root index");
            entries.push_back(
                MakeEntry(v, std::vector<uint8_t>(at + 16, at + 16 + key), Get64(at)));
            at += size;
        }
    }
    return entries;
}

// The root keeps its own attributes and gets a new index of the system files and the top
// folders.
void WriteRoot(const Image& image, Volume& v, const Plan& p, const Children& c,
               Clusters& clusters) {
    std::vector<Entry> entries = RootEntries(image, v, clusters);
    std::vector<Entry> top = EntriesOf(v, p, c, 0);
    std::move(top.begin(), top.end(), std::back_inserter(entries));
    std::vector<uint8_t> old = v.record5;
    std::vector<Attribute> attributes = AttributesOf(old.data());
    RecordBuilder record(v.record5.data());
    uint32_t kept = 0;
    for (const Attribute& a : attributes)
        if (a.type < kIndexRoot) {
            record.Copy(a);
            kept += a.length;
        }
    AddIndex(record, image, clusters, std::move(entries), kept);
    for (const Attribute& a : attributes)
        if (a.type > kBitmap)
            record.Copy(a);
    record.Finish(kRootRecord, Get16(&old[16]), kInUse | kIsDirectory);
    image.Write(v.mft_lcn * kCluster + kRootRecord * kRecord, v.record5.data(), kRecord);
}

void PutFolder(uint8_t* at, const Image& image, const Volume& v, const Plan& p, const Children& c,
               Clusters& clusters, uint64_t record) {
    RecordBuilder builder(at);
    std::vector<uint8_t> info = StandardInformation(p, record), name = FileNameValue(p, record);
    builder.Resident(kStandardInformation, u"", info.data(), uint32_t(info.size()));
    builder.Resident(kFileName, u"", name.data(), uint32_t(name.size()), true);
    AddIndex(builder, image, clusters, EntriesOf(v, p, c, p.folder[record - p.first]),
             AttributeSize(uint32_t(info.size())) + AttributeSize(uint32_t(name.size())));
    builder.Finish(record, kLiveSequence, kInUse | kIsDirectory);
}

std::vector<Run> FileRuns(const Plan& p, uint64_t record, uint64_t count, Clusters& clusters,
                          bool live) {
    uint32_t pieces = Pieces(p, record, count);
    std::vector<Run> runs;
    for (uint32_t k = 0; k < pieces; ++k) {
        uint64_t length = count / pieces + (k + 1 == pieces ? count % pieces : 0);
        runs.push_back({clusters.Take(length, live), length});
        if (k + 1 < pieces)
            clusters.Skip(1 + k);  // a free gap between the pieces
    }
    return runs;
}

void PutFile(uint8_t* at, const Plan& p, Clusters& clusters, uint64_t record) {
    RecordBuilder builder(at);
    bool live = !p.deleted[record - p.first];
    std::vector<uint8_t> info = StandardInformation(p, record), name = FileNameValue(p, record);
    builder.Resident(kStandardInformation, u"", info.data(), uint32_t(info.size()));
    builder.Resident(kFileName, u"", name.data(), uint32_t(name.size()), true);
    uint64_t size = FileSize(p, record);
    if (Resident(size)) {
        std::string text = "scale file " + std::to_string(record) + "\n";
        std::vector<uint8_t> data(size);
        for (uint64_t i = 0; i < size; ++i)
            data[i] = uint8_t(text[i % text.size()]);
        builder.Resident(kData, u"", data.data(), uint32_t(size));
    } else {
        builder.NonResident(kData, u"",
                            FileRuns(p, record, CeilDiv(size, kCluster), clusters, live), size);
    }
    builder.Finish(record, live ? kLiveSequence : kDeletedSequence, live ? kInUse : 0);
}

uint64_t RecordOffset(const std::vector<Run>& runs, uint64_t record) {
    uint64_t at = record * kRecord;
    for (const Run& run : runs) {
        if (at < run.length * kCluster)
            return run.lcn * kCluster + at;
        at -= run.length * kCluster;
    }
    Die("record beyond the MFT");
}

// The MFT grows in place when the clusters after it are free, else in a second run.
void GrowMft(Volume& v, const Plan& p, Clusters& clusters) {
    uint64_t have = RunClusters(v.mft_runs);
    uint64_t more = CeilDiv(p.total * kRecord, kCluster) - have;
    Run& tail = v.mft_runs.back();
    if (clusters.TakeAt(tail.lcn + tail.length, more))
        tail.length += more;
    else
        v.mft_runs.push_back({clusters.Take(more, true), more});
    v.mft_bitmap.resize(Align8(uint32_t(CeilDiv(p.total, 8))), 0);
    for (uint64_t i = 0; i < p.parent.size(); ++i)
        if (!p.deleted[i])
            v.mft_bitmap[(p.first + i) / 8] |= uint8_t(1 << ((p.first + i) % 8));
}

void WriteMftRecord(const Image& image, Volume& v, const Plan& p, Clusters& clusters) {
    std::vector<Attribute> old = AttributesOf(v.record0.data());
    for (const Attribute& a : old)
        if (a.type == kBitmap)
            for (const Run& run : RunsOf(a))
                clusters.Mark(run.lcn, run.length, false);
    uint64_t bitmap_clusters = CeilDiv(v.mft_bitmap.size(), kCluster);
    uint64_t bitmap_lcn = clusters.Take(bitmap_clusters, true);
    std::vector<uint8_t> padded(v.mft_bitmap);
    padded.resize(bitmap_clusters * kCluster, 0);
    image.Write(bitmap_lcn * kCluster, padded.data(), padded.size());
    std::vector<uint8_t> copy = v.record0;
    old = AttributesOf(copy.data());
    RecordBuilder record(v.record0.data());
    for (const Attribute& a : old)
        if (a.type < kData)
            record.Copy(a);
    record.NonResident(kData, u"", v.mft_runs, p.total * kRecord);
    record.NonResident(kBitmap, u"", {{bitmap_lcn, bitmap_clusters}}, v.mft_bitmap.size());
    record.Finish(kMftRecord, Get16(&copy[16]), kInUse);
    image.Write(v.mft_lcn * kCluster, v.record0.data(), kRecord);
    image.Write(v.mirror_lcn * kCluster, v.record0.data(), kRecord);
}

void WriteVolumeBitmap(const Image& image, const Volume& v) {
    uint64_t at = 0;
    for (const Run& run : v.bitmap_runs) {
        uint64_t n = std::min<uint64_t>(run.length * kCluster, v.bitmap.size() - at);
        image.Write(run.lcn * kCluster, v.bitmap.data() + at, n);
        at += n;
        if (at == v.bitmap.size())
            break;
    }
}

// Records are made in order, a chunk at a time, into the MFT's clusters; a folder's index
// blocks go out as its record is made.
void WriteRecords(const Image& image, const Volume& v, const Plan& p, const Children& children,
                  Clusters& clusters) {
    std::vector<uint8_t> chunk(uint64_t(kRecordsPerWrite) * kRecord);
    for (uint64_t from = p.first; from < p.total;) {
        uint64_t to = std::min<uint64_t>(p.total, from + kRecordsPerWrite);
        uint64_t offset = RecordOffset(v.mft_runs, from);
        if (RecordOffset(v.mft_runs, to - 1) != offset + (to - 1 - from) * kRecord)
            to = from + 1;  // a chunk that crosses into another run goes record by record
        for (uint64_t r = from; r < to; ++r) {
            uint8_t* at = &chunk[(r - from) * kRecord];
            if (IsFolder(p, r))
                PutFolder(at, image, v, p, children, clusters, r);
            else
                PutFile(at, p, clusters, r);
        }
        image.Write(offset, chunk.data(), (to - from) * kRecord);
        from = to;
    }
}

std::string Utf8(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) {
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | c >> 6);
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xE0 | c >> 12);
            out += char(0x80 | (c >> 6 & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

void WriteManifest(const std::string& path, const Plan& p) {
    std::vector<std::string> folders(p.folder_record.size());
    for (size_t f = 1; f < folders.size(); ++f) {
        uint64_t r = p.folder_record[f];
        folders[f] = folders[p.parent[r - p.first]] + Utf8(NameOf(p, r)) + "/";
    }
    FILE* out = fopen(path.c_str(), "w");
    if (!out)
        Die("cannot write " + path);
    for (uint64_t r = p.first; r < p.total; ++r) {
        if (IsFolder(p, r))
            continue;
        fprintf(out, "%s%s\t%llu\t%d\n", folders[p.parent[r - p.first]].c_str(),
                Utf8(NameOf(p, r)).c_str(), (unsigned long long)FileSize(p, r),
                p.deleted[r - p.first] ? 1 : 0);
    }
    if (fclose(out) != 0)
        Die("cannot write " + path);
}

// The image holds the MFT, the indexes and every file's clusters with room to spare.
uint64_t ImageBytes(const Plan& p) {
    uint64_t clusters = 0;
    for (uint64_t r = p.first; r < p.total; ++r) {
        if (IsFolder(p, r))
            continue;
        uint64_t size = FileSize(p, r);
        if (!Resident(size))
            clusters += CeilDiv(size, kCluster) + 4;
    }
    uint64_t bytes = clusters * kCluster + p.total * (kRecord + 512);
    constexpr uint64_t kGiB = 1ULL << 30;
    return CeilDiv(bytes + bytes / 4 + kGiB, kGiB) * kGiB;
}

void Format(const std::string& path, uint64_t bytes) {
    unlink(path.c_str());  // a new sparse file, whatever was there
    int fd = open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (fd < 0 || ftruncate(fd, off_t(bytes)) != 0)
        Die("cannot make " + path);
    close(fd);
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execlp("mkntfs", "mkntfs", "-f", "-Q", "-F", "-q", "-c", "4096", "-s", "512", "-L", "Scale",
               path.c_str(), nullptr);
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        Die("mkntfs failed");
}

uint64_t Number(const char* text) {
    char* end = nullptr;
    unsigned long long n = strtoull(text, &end, 10);
    if (!*text || *end)
        Die(std::string("not a number: ") + text);
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5)
        Die("usage: make-scale-ntfs IMAGE RECORDS DELETED SEED");
    std::string path = argv[1];
    uint64_t total = Number(argv[2]), deleted = Number(argv[3]), seed = Number(argv[4]);
    // mkntfs's MFT is a few clusters; its records stay, ours follow them.
    constexpr uint64_t kFirst = 28;
    if (total < kFirst + 2 * kFilesPerFolder)
        Die("too few records");
    Plan plan = MakePlan(kFirst, total, deleted, seed);
    Format(path, ImageBytes(plan));
    Image image(path);
    Volume volume = OpenVolume(image);
    if (volume.mft_records != kFirst)
        Die("mkntfs made an MFT of another size");
    Clusters clusters(volume);
    plan.root_sequence = Get16(&volume.record5[16]);
    GrowMft(volume, plan, clusters);
    Children children = ChildrenOf(plan);
    WriteRecords(image, volume, plan, children, clusters);
    WriteRoot(image, volume, plan, children, clusters);
    WriteMftRecord(image, volume, plan, clusters);
    WriteVolumeBitmap(image, volume);
    std::string stem = path.size() > 4 && path.compare(path.size() - 4, 4, ".img") == 0
                           ? path.substr(0, path.size() - 4)
                           : path;
    WriteManifest(stem + ".tsv", plan);
    printf("%llu records (%llu folders, %llu deleted files), %llu MFT run(s), %.1f GiB volume\n",
           (unsigned long long)total, (unsigned long long)(plan.folder_record.size() - 1),
           (unsigned long long)std::count(plan.deleted.begin(), plan.deleted.end(), true),
           (unsigned long long)volume.mft_runs.size(),
           double(volume.clusters) * kCluster / (1ULL << 30));
    return 0;
}
