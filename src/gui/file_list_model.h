#pragma once
// The report list's rows for Qt: item numbers into the found-file table, cell texts made
// from the table when drawn. Rows a scan appends reach the view in batches (Flush), so a
// scan of many thousands of files does not redraw the list once per file. A filter decides
// which rows are shown; what the recover command walks is the rows shown.

#include <QAbstractTableModel>
#include <QPointer>

#include "view/found_file_list.h"
#include "view/list_filter.h"
#include "view/list_sort.h"
#include "view/saved_list.h"

class QItemSelectionModel;

namespace relicta::gui {

class FileListModel : public QAbstractTableModel, public scan::FileListControl {
    Q_OBJECT

  public:
    explicit FileListModel(QObject* parent = nullptr);

    void SetSelectionModel(QItemSelectionModel* selection) { selection_ = selection; }
    // Shows the rows appended since the last flush (those the filter accepts).
    void Flush();
    // Shows the content verdicts anew after a check filled them in.
    void RefreshContent();
    // Reorders the rows (selections follow them).
    void Sort(const view::ListSort& sort);
    // Shows the rows `filter` accepts.
    void SetFilter(view::ListFilter filter);
    const view::ListFilter& Filter() const { return filter_; }

    // Rows listed in all, and rows shown.
    int ListedCount() const { return flushed_; }
    int ShownCount() const { return static_cast<int>(shown_.size()); }
    // The items shown, in the order of discovery: what Save, Copy and Print take.
    view::ItemList ShownItems() const;
    // Every listed item, in the order of discovery.
    view::ItemList ListedItems() const;

    // scan::FileListControl: rows are appended to the whole list; the rows walked are those
    // shown.
    void AppendItem(uint32_t itemNum) override { list_.AppendItem(itemNum); }
    void DeleteAllRows() override;
    int RowCount() const override;
    std::string CellText(int row, int column) const override;
    uint32_t ItemData(int row) const override;
    bool IsSelected(int row) const override;

    // QAbstractTableModel
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  private:
    bool Accepts(const view::FoundFileList::Row& row) const;
    // The positions in the whole list of the rows the filter accepts.
    std::vector<int> AcceptedRows() const;

    view::FoundFileList list_;
    int flushed_ = 0;         // rows of list_ the filter has seen
    std::vector<int> shown_;  // positions in list_.rows, in list order
    view::ListFilter filter_;
    QPointer<QItemSelectionModel> selection_;
};

}  // namespace relicta::gui
