#pragma once
// The one document: the scan settings, and the list taken out of the program as a saved
// file or clipboard text.

#include <QString>

#include "scan/scan_driver.h"

class QWidget;

namespace relicta::gui {

class CSalvexDoc {
  public:
    scan::ScanSettings settings;
    // The scan reads the whole drive (or its volume's unused part) for old volumes' files.
    bool deepScan = false;

    // File > Save File List: asks for the file, then writes it.
    void SaveFileList(QWidget* parent);
    // False (after the "Open error" box) when the file could not be written whole.
    bool SaveFileListTo(const QString& path);
    // Edit > Copy: every full path, one a line, as plain text.
    void CopyListToClipboard();
};

}  // namespace relicta::gui
