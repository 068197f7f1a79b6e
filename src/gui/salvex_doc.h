#pragma once
// The one document: the scan settings, and the list taken out of the program as a saved
// file or clipboard text.

#include <QString>

#include "scan/scan_driver.h"
#include "view/saved_list.h"

class QWidget;

namespace relicta::gui {

class CSalvexDoc {
  public:
    scan::ScanSettings settings;
    // The scan reads the whole drive (or its volume's unused part) for old volumes' files.
    bool deepScan = false;

    // File > Save File List: asks for the file, then writes the lines of `items`.
    void SaveFileList(QWidget* parent, const view::ItemList& items);
    // False (after the "Open error" box) when the file could not be written whole.
    bool SaveFileListTo(const QString& path, const view::ItemList& items = view::AllItems());
    // Edit > Copy: the full path of each of `items`, one a line, as plain text.
    void CopyListToClipboard(const view::ItemList& items = view::AllItems());
};

}  // namespace relicta::gui
