#include "view/saved_list.h"

#include "view/list_texts.h"

namespace relicta::view {
namespace {

constexpr int kHeaderY = 60;
constexpr int kTitlesY = 200;
constexpr int kFirstEntryY = 600;
constexpr int kEntrySpacing = 260;
constexpr int kPathAbove = 100;
constexpr int kSizeX = 300;
constexpr int kDateX = 1000;
constexpr int kConditionX = 2000;
constexpr int kNumberX = 3000;
constexpr int kPageNumberX = 1800;
constexpr int kPageNumberY = 6300;

}  // namespace

ItemList AllItems() {
    ItemList items(scan::foundFiles.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        items[i] = static_cast<uint32_t>(i);
    }
    return items;
}

std::string FullPath(const scan::FoundFile& file) {
    if (!file.dir.empty() && file.dir.back() == '\\') {
        return file.dir + file.name;
    }
    return file.dir + "\\" + file.name;
}

std::string SavedListLine(const scan::FoundFile& file) {
    return file.name + "\t" + file.dir + "\t" + SizeText(file.size) + "\t" +
           DateText(file.modifiedTime) + "\t" + file.condition + "\t" +
           std::to_string(file.mftOrCluster);
}

bool WriteSavedList(std::ostream& out, const ItemList& items) {
    for (uint32_t item : items) {
        out << SavedListLine(scan::foundFiles.at(item)) << "\r\n";
    }
    out.flush();
    return static_cast<bool>(out);
}

std::string ClipboardText(const ItemList& items, std::size_t blockBytes) {
    std::string text;
    std::size_t freeBytes = blockBytes;
    for (uint32_t item : items) {
        const std::string path = FullPath(scan::foundFiles.at(item));
        if (path.size() + 2 > freeBytes / 2) {
            break;
        }
        text += path;
        text += "\r\n";
        freeBytes -= path.size() + 2;
    }
    return text;
}

int PrintPageCount(std::size_t entries) {
    return static_cast<int>((entries + kEntriesPerPage - 1) / kEntriesPerPage);
}

std::vector<PrintedText> PrintPage(int page, int year, int month, int day, const ItemList& items) {
    std::vector<PrintedText> texts = {
        {0, kHeaderY,
         "Deleted files found on " + std::to_string(year) + "/" + std::to_string(month) + "/" +
             std::to_string(day)},
        {kSizeX, kTitlesY, "File Size"},
        {kDateX, kTitlesY, "Last Modified"},
        {kConditionX, kTitlesY, "Condition(odds)"},
        {kNumberX, kTitlesY, "MFT num or StartCluster"},
        {kPageNumberX, kPageNumberY, "Page " + std::to_string(page)},
    };
    const std::size_t first = static_cast<std::size_t>(page - 1) * kEntriesPerPage;
    for (std::size_t k = 0; k < kEntriesPerPage && first + k < items.size(); ++k) {
        const scan::FoundFile& file = scan::foundFiles.at(items[first + k]);
        const int y = kFirstEntryY + kEntrySpacing * static_cast<int>(k);
        texts.push_back({0, y - kPathAbove, FullPath(file)});
        texts.push_back({kSizeX, y, SizeText(file.size)});
        texts.push_back({kDateX, y, DateText(file.modifiedTime)});
        texts.push_back({kConditionX, y, file.condition});
        texts.push_back({kNumberX, y, std::to_string(file.mftOrCluster)});
    }
    return texts;
}

}  // namespace relicta::view
