#pragma once
// The found-file table: every deleted file the current scan accepted, in the order found.

#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scan/file_list.h"
#include "scan/found_text.h"

namespace relicta::scan {

inline constexpr const char* kExcellent = "Excellent";
inline constexpr const char* kGood = "Good";
inline constexpr const char* kPoor = "Poor";
inline constexpr const char* kHopeless = "Hopeless";

// A found file's condition: one of the four above, or none yet. One byte in the table.
class Condition {
  public:
    Condition() = default;
    Condition(std::string_view name);                                          // NOLINT
    Condition(const char* name) : Condition(std::string_view(name)) {}         // NOLINT
    Condition(const std::string& name) : Condition(std::string_view(name)) {}  // NOLINT

    const char* c_str() const;
    std::string_view View() const { return c_str(); }
    operator std::string_view() const { return View(); }  // NOLINT
    operator std::string() const { return c_str(); }      // NOLINT
    std::size_t size() const { return View().size(); }
    bool empty() const { return rating_ == 0; }

    friend bool operator==(Condition a, Condition b) { return a.rating_ == b.rating_; }
    friend bool operator==(Condition a, std::string_view b) { return a.View() == b; }
    friend bool operator==(Condition a, const char* b) { return a.View() == b; }
    friend bool operator==(Condition a, const std::string& b) { return a.View() == b; }
    friend std::string operator+(const std::string& a, Condition b) { return a + b.c_str(); }

  private:
    uint8_t rating_ = 0;  // 0: none; then kExcellent to kHopeless
};

// Attribute bits of found files.
inline constexpr uint32_t kAttributeReadOnly = 0x01;
inline constexpr uint32_t kAttributeHidden = 0x02;
inline constexpr uint32_t kAttributeSystem = 0x04;
inline constexpr uint32_t kAttributeDirectory = 0x10;
inline constexpr uint32_t kAttributeArchive = 0x20;
inline constexpr uint32_t kAttributeReparsePoint = 0x400;

// Where a file's clusters are found again, where the scan knows more than the first cluster.
enum class DataLayout : uint8_t {
    Default,     // FAT: the run of free clusters from the first; NTFS: the record's runs
    Contiguous,  // exFAT: the clusters one after another from the first
    Chain,       // exFAT: the FAT chain from the first cluster, found whole
    Guessed,     // exFAT, or an old FAT file: the chain is gone; the clusters are a guess
    // Put back together from two fragments whose whole checked out by its structure: a carved
    // file, or a file whose guessed clusters did not
    Reassembled,
};

// The layout's name in the JSON list: "contiguous", "chain", "guessed",
// "reassembled"; "" for the default.
const char* DataLayoutName(DataLayout layout);

// How a file was found: an entry of the volume's own file system (the normal scan), an old
// MFT record, or an old FAT or exFAT directory cluster (the deep scan).
// How a file was found: its deleted entry (the normal scan), an old record or directory a deep
// scan found, or its content alone (carving).
enum class FoundBy : uint8_t { Entry, Record, Directory, Carved };

// The name in the JSON list: "entry", "record", "directory", "carved".
const char* FoundByName(FoundBy foundBy);

// `length` bytes of a file's data from byte `offset` of the drive, or zeros where `offset`
// is kZeros (a sparse run).
struct DeepExtent {
    static constexpr int64_t kZeros = -1;
    int64_t offset = kZeros;
    uint64_t length = 0;
};

// Where a deep scan's file lies, resolved from its old volume's geometry when it was found:
// recovery needs nothing of the volume the drive holds now.
struct DeepLocation {
    std::vector<DeepExtent> extents;  // the data in order, at most up to the file's size
    std::vector<uint8_t> resident;    // an NTFS value kept in its record; extents are then empty
    bool residentData = false;
};

// What later steps find out about a found file.
struct FoundFileNotes {
    // A file named from the Recycle Bin: the path it was found at ("X:\$Recycle.Bin\...",
    // with the drive it was found on) and when it was put in the bin (FILETIME, local).
    std::string recycledAs;
    uint64_t deletedTime = 0;
    // The content check's verdict ("ok", "damaged", ...) and its reason; empty until checked.
    std::string content;
    std::string contentDetail;
    std::string md5;  // of the whole data, when a check read it all
};

// One entry; sizes are 64-bit (files of 2 GiB and more are kept whole). A scan makes millions:
// the strings live in the table's pool, a folder's path once for all its files.
struct FoundFile {
    Text name;
    SharedText dir;
    int64_t size = 0;
    uint64_t modifiedTime = 0;  // FILETIME, already local time
    // The other times the volume keeps, local too; 0 where it keeps none (FAT: no change
    // time, an access date only).
    uint64_t createdTime = 0;
    uint64_t accessedTime = 0;
    uint64_t changedTime = 0;
    uint32_t attributes = 0;
    uint32_t mftOrCluster = 0;
    std::optional<int16_t> utcOffsetMinutes;  // of modifiedTime, when the volume recorded it
    Condition condition;
    DataLayout layout = DataLayout::Default;
    FoundBy foundBy = FoundBy::Entry;

    FoundFile() = default;
    FoundFile(const FoundFile& other);
    FoundFile& operator=(const FoundFile& other);
    FoundFile(FoundFile&&) noexcept = default;
    FoundFile& operator=(FoundFile&&) noexcept = default;
    ~FoundFile() = default;

    // What the Recycle Bin and the content check add; empty for a file they never touched.
    const FoundFileNotes& Notes() const;
    FoundFileNotes& EditNotes();
    // The letter of the drive the file was found on; 0 when there is none.
    char Drive() const;
    // Where a deep scan found the file's data; nullptr for the normal scan's files, which
    // are read through the volume's own file system.
    const DeepLocation* Deep() const { return rare_ ? rare_->deep.get() : nullptr; }
    void SetDeep(DeepLocation location);
    // Bytes past this are zeros (exFAT's valid data length, a deep scan's NTFS record); -1: none.
    int64_t ValidLength() const { return rare_ ? rare_->validLength : -1; }
    void SetValidLength(int64_t length) { EditRare().validLength = length; }

  private:
    // Apart from the entry, which a scan makes by the million: few files get notes or a
    // deep scan's location.
    struct Rare {
        FoundFileNotes notes;
        std::unique_ptr<DeepLocation> deep;
        int64_t validLength = -1;
    };
    Rare& EditRare();
    std::unique_ptr<Rare> rare_;
};

// The table, indexed by itemNum. It grows in chunks, so that a file once added never moves and
// growing never holds two copies of the table.
class FoundFileTable {
  public:
    template <bool kConst>
    class Iterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = FoundFile;
        using difference_type = std::ptrdiff_t;
        using pointer = std::conditional_t<kConst, const FoundFile*, FoundFile*>;
        using reference = std::conditional_t<kConst, const FoundFile&, FoundFile&>;
        using Table = std::conditional_t<kConst, const FoundFileTable, FoundFileTable>;

        Iterator() = default;
        Iterator(Table* table, std::size_t at) : table_(table), at_(at) {}
        reference operator*() const { return (*table_)[at_]; }
        pointer operator->() const { return &(*table_)[at_]; }
        Iterator& operator++() {
            ++at_;
            return *this;
        }
        Iterator operator++(int) {
            Iterator before = *this;
            ++at_;
            return before;
        }
        friend bool operator==(const Iterator& a, const Iterator& b) { return a.at_ == b.at_; }

      private:
        Table* table_ = nullptr;
        std::size_t at_ = 0;
    };
    using iterator = Iterator<false>;
    using const_iterator = Iterator<true>;

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    FoundFile& operator[](std::size_t i) { return chunks_[i / kChunkFiles][i % kChunkFiles]; }
    const FoundFile& operator[](std::size_t i) const {
        return chunks_[i / kChunkFiles][i % kChunkFiles];
    }
    FoundFile& at(std::size_t i);  // throws std::out_of_range, as a vector does
    const FoundFile& at(std::size_t i) const;
    FoundFile& back() { return (*this)[size_ - 1]; }
    iterator begin() { return {this, 0}; }
    iterator end() { return {this, size_}; }
    const_iterator begin() const { return {this, 0}; }
    const_iterator end() const { return {this, size_}; }

    void push_back(FoundFile file);
    void clear();

  private:
    static constexpr std::size_t kChunkFiles = 4096;
    std::vector<std::vector<FoundFile>> chunks_;
    std::size_t size_ = 0;
};

extern FoundFileTable foundFiles;

FoundFile NewFoundFile(Text name, SharedText dir, int64_t size, uint32_t attributes,
                       uint64_t modifiedTime, Condition condition, uint32_t mftOrCluster);
void AddFoundFile(FileListControl& listCtrl, Text name, SharedText dir, int64_t size,
                  uint32_t attributes, uint64_t modifiedTime, Condition condition,
                  uint32_t mftOrCluster);
void AddFoundFile(FileListControl& listCtrl, FoundFile file);
void ClearFoundFiles();
// Shows found files `items` anew after a scan changed them.
void RefreshCells(FileListControl& listCtrl, const std::vector<std::size_t>& items);

}  // namespace relicta::scan
