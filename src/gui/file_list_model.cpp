#include "gui/file_list_model.h"

#include <QItemSelectionModel>

#include "scan/found_files.h"
#include "view/list_texts.h"

namespace relicta::gui {
namespace {

constexpr int kColumns = view::kColumnContent + 1;
constexpr const char* kColumnTitles[kColumns] = {
    "File name",        "Directory",           "Size",   "Modified",
    "Condition (odds)", "MFT or FirstCluster", "Content"};

}  // namespace

FileListModel::FileListModel(QObject* parent) : QAbstractTableModel(parent) {}

void FileListModel::Flush() {
    const int rows = list_.RowCount();
    if (rows > shown_) {
        beginInsertRows(QModelIndex(), shown_, rows - 1);
        shown_ = rows;
        endInsertRows();
    }
}

void FileListModel::RefreshContent() {
    if (shown_ > 0) {
        emit dataChanged(index(0, view::kColumnContent), index(shown_ - 1, view::kColumnContent));
    }
}

void FileListModel::Sort(const view::ListSort& sort) {
    Flush();
    std::vector<uint32_t> items;
    items.reserve(list_.rows.size());
    for (const view::FoundFileList::Row& row : list_.rows) {
        items.push_back(row.itemData);
    }
    const std::vector<int> order = view::SortedOrder(items, sort);
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    std::vector<int> newRowOf(order.size());
    std::vector<view::FoundFileList::Row> sorted;
    sorted.reserve(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        newRowOf[order[i]] = static_cast<int>(i);
        sorted.push_back(list_.rows[order[i]]);
    }
    list_.rows = std::move(sorted);
    QModelIndexList from = persistentIndexList();
    QModelIndexList to;
    to.reserve(from.size());
    for (const QModelIndex& index : from) {
        to.append(this->index(newRowOf[index.row()], index.column()));
    }
    changePersistentIndexList(from, to);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

int FileListModel::AppendRow(const std::string& text) {
    return list_.AppendRow(text);
}

void FileListModel::SetItemData(int row, uint32_t data) {
    list_.SetItemData(row, data);
}

void FileListModel::DeleteAllRows() {
    beginResetModel();
    list_.DeleteAllRows();
    shown_ = 0;
    endResetModel();
}

int FileListModel::RowCount() const {
    return list_.RowCount();
}

std::string FileListModel::CellText(int row, int column) const {
    return list_.CellText(row, column);
}

uint32_t FileListModel::ItemData(int row) const {
    return list_.ItemData(row);
}

bool FileListModel::IsSelected(int row) const {
    return selection_ != nullptr && row < shown_ && selection_->isRowSelected(row, QModelIndex());
}

int FileListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : shown_;
}

int FileListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= shown_) {
        return {};
    }
    if (role == Qt::ToolTipRole) {
        const uint32_t item = list_.ItemData(index.row());
        // The content check's reason.
        if (index.column() == view::kColumnContent && item < scan::foundFiles.size()) {
            return QString::fromStdString(scan::foundFiles[item].Notes().contentDetail);
        }
        // A file named from the Recycle Bin says where it was found.
        if (item < scan::foundFiles.size() && !scan::foundFiles[item].Notes().recycledAs.empty()) {
            const scan::FoundFile& file = scan::foundFiles[item];
            return QString::fromStdString(
                view::RecycledText(file.Notes().recycledAs, file.Notes().deletedTime));
        }
        return {};
    }
    if (role != Qt::DisplayRole) {
        return {};
    }
    return QString::fromStdString(list_.CellText(index.row(), index.column()));
}

QVariant FileListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumns) {
        return {};
    }
    if (role == Qt::DisplayRole) {
        return QString(kColumnTitles[section]);
    }
    if (role == Qt::TextAlignmentRole) {
        return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
    }
    return {};
}

}  // namespace relicta::gui
