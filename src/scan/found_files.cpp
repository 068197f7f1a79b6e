#include "scan/found_files.h"

#include <stdexcept>

namespace relicta::scan {

FoundFileTable foundFiles;

namespace {
// Chunk pointers reserved up front: a list read while a scan adds to it never sees them move.
constexpr std::size_t kReservedChunks = std::size_t{1} << 14;
constexpr const char* kRatings[] = {"", kExcellent, kGood, kPoor, kHopeless};
}  // namespace

Condition::Condition(std::string_view name) {
    for (std::size_t i = 1; i < std::size(kRatings); ++i) {
        if (name == kRatings[i]) {
            rating_ = static_cast<uint8_t>(i);
            return;
        }
    }
}

const char* Condition::c_str() const {
    return kRatings[rating_ < std::size(kRatings) ? rating_ : 0];
}

void AddFoundFile(FileListControl& listCtrl, Text name, SharedText dir, int64_t size,
                  uint32_t attributes, uint64_t modifiedTime, Condition condition,
                  uint32_t mftOrCluster) {
    AddFoundFile(listCtrl,
                 NewFoundFile(name, dir, size, attributes, modifiedTime, condition, mftOrCluster));
}

FoundFile NewFoundFile(Text name, SharedText dir, int64_t size, uint32_t attributes,
                       uint64_t modifiedTime, Condition condition, uint32_t mftOrCluster) {
    FoundFile file;
    file.name = name;
    file.dir = dir;
    file.size = size;
    file.attributes = attributes;
    file.modifiedTime = modifiedTime;
    file.condition = condition;
    file.mftOrCluster = mftOrCluster;
    return file;
}

void AddFoundFile(FileListControl& listCtrl, FoundFile file) {
    const auto itemNum = static_cast<uint32_t>(foundFiles.size());
    foundFiles.push_back(std::move(file));
    listCtrl.AppendItem(itemNum);
}

FoundFile::FoundFile(const FoundFile& other)
    : name(other.name),
      dir(other.dir),
      size(other.size),
      modifiedTime(other.modifiedTime),
      createdTime(other.createdTime),
      accessedTime(other.accessedTime),
      changedTime(other.changedTime),
      attributes(other.attributes),
      mftOrCluster(other.mftOrCluster),
      utcOffsetMinutes(other.utcOffsetMinutes),
      condition(other.condition),
      layout(other.layout),
      foundBy(other.foundBy) {
    if (other.rare_) {
        EditRare().notes = other.rare_->notes;
        rare_->validLength = other.rare_->validLength;
        if (other.rare_->deep) {
            rare_->deep = std::make_unique<DeepLocation>(*other.rare_->deep);
        }
    }
}

FoundFile& FoundFile::operator=(const FoundFile& other) {
    if (this != &other) {
        FoundFile copy(other);
        *this = std::move(copy);
    }
    return *this;
}

const FoundFileNotes& FoundFile::Notes() const {
    static const FoundFileNotes kNone;
    return rare_ ? rare_->notes : kNone;
}

FoundFileNotes& FoundFile::EditNotes() {
    return EditRare().notes;
}

FoundFile::Rare& FoundFile::EditRare() {
    if (!rare_) {
        rare_ = std::make_unique<Rare>();
    }
    return *rare_;
}

void FoundFile::SetDeep(DeepLocation location) {
    EditRare().deep = std::make_unique<DeepLocation>(std::move(location));
}

char FoundFile::Drive() const {
    const std::string_view foundAt =
        Notes().recycledAs.empty() ? dir.View() : std::string_view(Notes().recycledAs);
    return foundAt.size() > 1 && foundAt[1] == ':' ? foundAt[0] : '\0';
}

FoundFile& FoundFileTable::at(std::size_t i) {
    if (i >= size_) {
        throw std::out_of_range("found file");
    }
    return (*this)[i];
}

const FoundFile& FoundFileTable::at(std::size_t i) const {
    if (i >= size_) {
        throw std::out_of_range("found file");
    }
    return (*this)[i];
}

void FoundFileTable::push_back(FoundFile file) {
    if (size_ % kChunkFiles == 0) {
        if (chunks_.capacity() == 0) {
            chunks_.reserve(kReservedChunks);
        }
        chunks_.emplace_back().reserve(kChunkFiles);
    }
    chunks_.back().push_back(std::move(file));
    ++size_;
}

void FoundFileTable::clear() {
    chunks_.clear();
    size_ = 0;
}

const char* FoundByName(FoundBy foundBy) {
    switch (foundBy) {
        case FoundBy::Record:
            return "record";
        case FoundBy::Directory:
            return "directory";
        case FoundBy::Carved:
            return "carved";
        case FoundBy::Entry:
            break;
    }
    return "entry";
}

const char* DataLayoutName(DataLayout layout) {
    switch (layout) {
        case DataLayout::Contiguous:
            return "contiguous";
        case DataLayout::Chain:
            return "chain";
        case DataLayout::Guessed:
            return "guessed";
        case DataLayout::Reassembled:
            return "reassembled";
        case DataLayout::Default:
            break;
    }
    return "";
}

void RefreshCells(FileListControl& listCtrl, const std::vector<std::size_t>& items) {
    if (!items.empty()) {
        listCtrl.RefreshItems(items);
    }
}

void ClearFoundFiles() {
    foundFiles.clear();
    ClearTextPool();
}

}  // namespace relicta::scan
