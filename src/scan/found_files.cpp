#include "scan/found_files.h"

namespace relicta::scan {

std::vector<FoundFile> foundFiles;

namespace {
constexpr std::size_t kGrowthStep = 1000;
}

void AddFoundFile(FileListControl& listCtrl, std::string name, std::string dir, int64_t size,
                  uint32_t attributes, uint64_t modifiedTime, std::string condition,
                  uint32_t mftOrCluster) {
    AddFoundFile(listCtrl, NewFoundFile(std::move(name), std::move(dir), size, attributes,
                                        modifiedTime, std::move(condition), mftOrCluster));
}

FoundFile NewFoundFile(std::string name, std::string dir, int64_t size, uint32_t attributes,
                       uint64_t modifiedTime, std::string condition, uint32_t mftOrCluster) {
    FoundFile file;
    file.name = std::move(name);
    file.dir = std::move(dir);
    file.size = size;
    file.attributes = attributes;
    file.modifiedTime = modifiedTime;
    file.condition = std::move(condition);
    file.mftOrCluster = mftOrCluster;
    return file;
}

void AddFoundFile(FileListControl& listCtrl, FoundFile file) {
    const uint32_t itemNum = static_cast<uint32_t>(foundFiles.size());
    // The table grows by doubling (or is reserved by the scan): a fixed step copied it whole
    // every step.
    foundFiles.push_back(std::move(file));
    listCtrl.AppendItem(itemNum);
}

FoundFile::FoundFile(const FoundFile& other)
    : name(other.name),
      dir(other.dir),
      size(other.size),
      attributes(other.attributes),
      modifiedTime(other.modifiedTime),
      createdTime(other.createdTime),
      accessedTime(other.accessedTime),
      changedTime(other.changedTime),
      condition(other.condition),
      mftOrCluster(other.mftOrCluster),
      layout(other.layout),
      validLength(other.validLength),
      utcOffsetMinutes(other.utcOffsetMinutes),
      foundBy(other.foundBy),
      notes_(other.notes_ ? std::make_unique<FoundFileNotes>(*other.notes_) : nullptr),
      deep_(other.deep_ ? std::make_unique<DeepLocation>(*other.deep_) : nullptr) {}

FoundFile& FoundFile::operator=(const FoundFile& other) {
    if (this != &other) {
        FoundFile copy(other);
        *this = std::move(copy);
    }
    return *this;
}

const FoundFileNotes& FoundFile::Notes() const {
    static const FoundFileNotes kNone;
    return notes_ ? *notes_ : kNone;
}

FoundFileNotes& FoundFile::EditNotes() {
    if (!notes_) {
        notes_ = std::make_unique<FoundFileNotes>();
    }
    return *notes_;
}

void FoundFile::SetDeep(DeepLocation location) {
    deep_ = std::make_unique<DeepLocation>(std::move(location));
}

char FoundFile::Drive() const {
    const std::string& foundAt = Notes().recycledAs.empty() ? dir : Notes().recycledAs;
    return foundAt.size() > 1 && foundAt[1] == ':' ? foundAt[0] : '\0';
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
    foundFiles.shrink_to_fit();
    foundFiles.reserve(kGrowthStep);
}

void ReserveFoundFiles(std::size_t more) {
    foundFiles.reserve(foundFiles.size() + more);
}

}  // namespace relicta::scan
