#include "view/saved_list.h"

#include "view/list_texts.h"

namespace relicta::view {

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

}  // namespace relicta::view
