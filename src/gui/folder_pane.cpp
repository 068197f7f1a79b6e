#include "gui/folder_pane.h"

#include <QHeaderView>
#include <QMenu>

namespace relicta::gui {
namespace {

constexpr int kPathRole = Qt::UserRole;
// Folders opened at first: all of a small tree, else the drives and the level below them.
constexpr int kExpandedLevels = 1;
constexpr std::size_t kFoldersShownOpen = 100;

QString NodeText(const view::FolderNode& node, const QString& name) {
    return QString("%1 (%2)").arg(name).arg(node.files);
}

}  // namespace

FolderPane::FolderPane(QWidget* parent) : QTreeWidget(parent) {
    setObjectName("folderTree");
    setHeaderHidden(true);
    setColumnCount(1);
    setUniformRowHeights(true);
    setContextMenuPolicy(Qt::CustomContextMenu);
    setAccessibleName("Folders");
    connect(this, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current) {
        emit folderChosen(current != nullptr ? current->data(0, kPathRole).toString() : QString());
    });
    connect(this, &QWidget::customContextMenuRequested, this, &FolderPane::ShowMenu);
}

void FolderPane::Show(const view::FolderTree& tree) {
    const QString chosen = ChosenFolder();
    const QSignalBlocker blocker(this);
    clear();
    if (tree.nodes.empty()) {
        return;
    }
    auto* all = new QTreeWidgetItem(this, {NodeText(tree.nodes[0], "All folders")});
    all->setData(0, kPathRole, QString());
    QTreeWidgetItem* current = all;
    // Depth first without recursion: a damaged volume's paths may nest deeply.
    std::vector<std::pair<std::size_t, QTreeWidgetItem*>> pending = {{0, all}};
    while (!pending.empty()) {
        const auto [index, item] = pending.back();
        pending.pop_back();
        const view::FolderNode& node = tree.nodes[index];
        for (auto child = node.children.rbegin(); child != node.children.rend(); ++child) {
            const view::FolderNode& sub = tree.nodes[*child];
            auto* subItem = new QTreeWidgetItem({NodeText(sub, QString::fromStdString(sub.name))});
            const QString path = QString::fromStdString(sub.path);
            subItem->setData(0, kPathRole, path);
            item->insertChild(0, subItem);
            if (path == chosen) {
                current = subItem;
            }
            pending.emplace_back(*child, subItem);
        }
    }
    if (tree.nodes.size() <= kFoldersShownOpen) {
        expandAll();
    } else {
        expandToDepth(kExpandedLevels);
    }
    setCurrentItem(current);
}

QString FolderPane::ChosenFolder() const {
    return currentItem() != nullptr ? currentItem()->data(0, kPathRole).toString() : QString();
}

void FolderPane::ShowMenu(const QPoint& at) {
    QTreeWidgetItem* item = itemAt(at);
    if (item == nullptr) {
        return;
    }
    QMenu menu(this);
    QAction* recover = menu.addAction("&Recover folder");
    recover->setObjectName("recoverFolderMenuItem");
    if (menu.exec(viewport()->mapToGlobal(at)) == recover) {
        emit recoverFolderRequested(item->data(0, kPathRole).toString());
    }
}

}  // namespace relicta::gui
