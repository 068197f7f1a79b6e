#include "gui/salvex_doc.h"

#include <QClipboard>
#include <QFileDialog>
#include <QGuiApplication>
#include <fstream>

#include "app/dialogs.h"
#include "view/saved_list.h"

namespace relicta::gui {

void CSalvexDoc::SaveFileList(QWidget* parent, const view::ItemList& items) {
    QFileDialog dialog(parent, "Save File List");
    dialog.setObjectName("saveListDialog");
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix("txt");
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
        SaveFileListTo(dialog.selectedFiles().first(), items);
    }
}

bool CSalvexDoc::SaveFileListTo(const QString& path, const view::ItemList& items) {
    std::ofstream file(path.toStdString(), std::ios::binary | std::ios::trunc);
    if (!file || !view::WriteSavedList(file, items)) {
        app::MessageBox("Could not open the specified file", "Open error");
        return false;
    }
    return true;
}

void CSalvexDoc::CopyListToClipboard(const view::ItemList& items) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (clipboard == nullptr) {
        app::MessageBox("Cannot open the Clipboard", "Error");
        return;
    }
    clipboard->setText(QString::fromStdString(view::ClipboardText(items)));
}

}  // namespace relicta::gui
