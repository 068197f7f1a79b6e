#pragma once
// The report list's rows for Qt: item numbers into the found-file table, cell texts made
// from the table when drawn. Rows a scan appends reach the view in batches (Flush), so a
// scan of many thousands of files does not redraw the list once per file.

#include <QAbstractTableModel>
#include <QPointer>

#include "view/found_file_list.h"
#include "view/list_sort.h"

class QItemSelectionModel;

namespace relicta::gui {

class FileListModel : public QAbstractTableModel, public scan::FileListControl {
    Q_OBJECT

  public:
    explicit FileListModel(QObject* parent = nullptr);

    void SetSelectionModel(QItemSelectionModel* selection) { selection_ = selection; }
    // Shows the rows appended since the last flush.
    void Flush();
    // Shows the content verdicts anew after a check filled them in.
    void RefreshContent();
    // Reorders the rows (selections follow them).
    void Sort(const view::ListSort& sort);

    // scan::FileListControl
    int AppendRow(const std::string& text) override;
    void SetCell(int, int, const std::string&) override {}
    void SetItemData(int row, uint32_t data) override;
    void DeleteAllRows() override;
    bool KeepsCellTexts() const override { return false; }
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
    view::FoundFileList list_;
    int shown_ = 0;
    QPointer<QItemSelectionModel> selection_;
};

}  // namespace relicta::gui
