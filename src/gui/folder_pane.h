#pragma once
// The folder view: the old folders of the listed files as a tree, each with its count of files
// in and below it. Choosing one shows just those files; its menu recovers them.

#include <QTreeWidget>

#include "view/folder_tree.h"

namespace relicta::gui {

class FolderPane : public QTreeWidget {
    Q_OBJECT

  public:
    explicit FolderPane(QWidget* parent = nullptr);

    // Shows `tree`, keeping the chosen folder where it is still there.
    void Show(const view::FolderTree& tree);
    // The chosen folder's path; empty for every folder.
    QString ChosenFolder() const;

  signals:
    void folderChosen(const QString& path);
    void recoverFolderRequested(const QString& path);

  private:
    void ShowMenu(const QPoint& at);
};

}  // namespace relicta::gui
