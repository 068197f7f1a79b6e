#include "gui/file_list_model.h"

#include <QColor>
#include <QItemSelectionModel>
#include <algorithm>

#include "content/content_check.h"
#include "scan/found_files.h"
#include "view/list_texts.h"

namespace relicta::gui {
namespace {

constexpr int kColumns = view::kColumnContent + 1;
constexpr const char* kColumnTitles[kColumns] = {
    "File name",        "Directory",           "Size",   "Modified",
    "Condition (odds)", "MFT or FirstCluster", "Content"};

const QColor kGreen(46, 139, 46);
const QColor kAmber(224, 160, 0);
const QColor kRed(204, 34, 34);

// The mark beside a condition: the odds at a glance, the word kept beside it.
QVariant ConditionMark(const std::string& condition) {
    const int rank = view::ConditionRank(condition);
    if (rank < 0) {
        return {};
    }
    return rank >= view::ConditionRank(scan::kGood)   ? kGreen
           : rank == view::ConditionRank(scan::kPoor) ? kAmber
                                                      : kRed;
}

QVariant ContentMark(const std::string& verdict) {
    using content::Verdict;
    if (verdict == content::VerdictName(Verdict::Ok)) {
        return kGreen;
    }
    for (const Verdict bad : {Verdict::Damaged, Verdict::Mismatch, Verdict::Zeroed}) {
        if (verdict == content::VerdictName(bad)) {
            return kRed;
        }
    }
    return {};
}

}  // namespace

FileListModel::FileListModel(QObject* parent) : QAbstractTableModel(parent) {}

bool FileListModel::Accepts(const view::FoundFileList::Row& row) const {
    return filter_.FiltersNothing() || (row.itemData < scan::foundFiles.size() &&
                                        filter_.Accepts(scan::foundFiles[row.itemData]));
}

std::vector<int> FileListModel::AcceptedRows() const {
    std::vector<int> rows;
    rows.reserve(filter_.FiltersNothing() ? flushed_ : 0);
    for (int row = 0; row < flushed_; ++row) {
        if (Accepts(list_.rows[row])) {
            rows.push_back(row);
        }
    }
    return rows;
}

void FileListModel::Flush() {
    const int rows = list_.RowCount();
    std::vector<int> added;
    for (int row = flushed_; row < rows; ++row) {
        if (Accepts(list_.rows[row])) {
            added.push_back(row);
        }
    }
    flushed_ = rows;
    if (added.empty()) {
        return;
    }
    const int first = ShownCount();
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(added.size()) - 1);
    shown_.insert(shown_.end(), added.begin(), added.end());
    endInsertRows();
}

void FileListModel::RefreshContent() {
    if (!shown_.empty()) {
        emit dataChanged(index(0, view::kColumnContent),
                         index(ShownCount() - 1, view::kColumnContent));
    }
}

void FileListModel::SetFilter(view::ListFilter filter) {
    Flush();
    beginResetModel();
    filter_ = std::move(filter);
    shown_ = AcceptedRows();
    endResetModel();
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
    std::vector<int> newPositionOf(order.size());
    std::vector<view::FoundFileList::Row> sorted;
    sorted.reserve(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        newPositionOf[order[i]] = static_cast<int>(i);
        sorted.push_back(list_.rows[order[i]]);
    }
    list_.rows = std::move(sorted);
    const std::vector<int> oldShown = std::move(shown_);
    shown_ = AcceptedRows();
    std::vector<int> shownRowOf(list_.rows.size(), -1);
    for (std::size_t i = 0; i < shown_.size(); ++i) {
        shownRowOf[shown_[i]] = static_cast<int>(i);
    }
    QModelIndexList from = persistentIndexList();
    QModelIndexList to;
    to.reserve(from.size());
    for (const QModelIndex& index : from) {
        const int row = shownRowOf[newPositionOf[oldShown[index.row()]]];
        to.append(row >= 0 ? this->index(row, index.column()) : QModelIndex());
    }
    changePersistentIndexList(from, to);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

view::ItemList FileListModel::ShownItems() const {
    view::ItemList items;
    items.reserve(shown_.size());
    for (int row : shown_) {
        items.push_back(list_.rows[row].itemData);
    }
    std::sort(items.begin(), items.end());
    return items;
}

view::ItemList FileListModel::ListedItems() const {
    view::ItemList items;
    items.reserve(flushed_);
    for (int row = 0; row < flushed_; ++row) {
        items.push_back(list_.rows[row].itemData);
    }
    std::sort(items.begin(), items.end());
    return items;
}

void FileListModel::DeleteAllRows() {
    beginResetModel();
    list_.DeleteAllRows();
    flushed_ = 0;
    shown_.clear();
    endResetModel();
}

int FileListModel::RowCount() const {
    return ShownCount();
}

std::string FileListModel::CellText(int row, int column) const {
    return list_.CellText(shown_.at(row), column);
}

uint32_t FileListModel::ItemData(int row) const {
    return list_.ItemData(shown_.at(row));
}

bool FileListModel::IsSelected(int row) const {
    return selection_ != nullptr && row < ShownCount() &&
           selection_->isRowSelected(row, QModelIndex());
}

int FileListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ShownCount();
}

int FileListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QVariant FileListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= ShownCount()) {
        return {};
    }
    const uint32_t item = ItemData(index.row());
    if (item >= scan::foundFiles.size()) {
        return {};
    }
    const scan::FoundFile& file = scan::foundFiles[item];
    switch (role) {
        case Qt::DisplayRole:
            return QString::fromStdString(view::CellText(file, index.column()));
        case Qt::DecorationRole:
            return index.column() == view::kColumnCondition ? ConditionMark(file.condition)
                   : index.column() == view::kColumnContent ? ContentMark(file.Notes().content)
                                                            : QVariant();
        case Qt::ToolTipRole:
            // The content check's reason; a file named from the Recycle Bin says where it was
            // found.
            if (index.column() == view::kColumnContent) {
                return QString::fromStdString(file.Notes().contentDetail);
            }
            if (!file.Notes().recycledAs.empty()) {
                return QString::fromStdString(
                    view::RecycledText(file.Notes().recycledAs, file.Notes().deletedTime));
            }
            return {};
        default:
            return {};
    }
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
