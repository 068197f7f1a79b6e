#pragma once
// The one view of the main window: the report list of found files, sorted by header
// clicks, recovering on a double-click.

#include <QTableView>

#include "gui/file_list_model.h"
#include "view/list_sort.h"

namespace relicta::gui {

class CSalvexView : public QTableView {
    Q_OBJECT

  public:
    explicit CSalvexView(QWidget* parent = nullptr);

    FileListModel& Model() { return model_; }
    const view::ListSort& SortState() const { return sort_; }
    void OnHeaderClick(int column);

  signals:
    void recoverRequested();

  private:
    FileListModel model_;
    view::ListSort sort_;  // kept across scans
};

}  // namespace relicta::gui
