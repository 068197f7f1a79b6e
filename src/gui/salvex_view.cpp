#include "gui/salvex_view.h"

#include <QHeaderView>

namespace relicta::gui {
namespace {

constexpr int kColumnWidths[] = {200, 180, 80, 130, 160, 200};

}  // namespace

CSalvexView::CSalvexView(QWidget* parent) : QTableView(parent) {
    setObjectName("fileList");
    setModel(&model_);
    model_.SetSelectionModel(selectionModel());
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(false);
    setWordWrap(false);
    setAlternatingRowColors(true);
    verticalHeader()->hide();
    // Rows of one height: the list then lays out tens of thousands of rows at no cost.
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    QHeaderView* header = horizontalHeader();
    header->setSectionsClickable(true);
    header->setHighlightSections(false);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    for (int column = 0; column < static_cast<int>(std::size(kColumnWidths)); ++column) {
        setColumnWidth(column, kColumnWidths[column]);
    }
    connect(header, &QHeaderView::sectionClicked, this, &CSalvexView::OnHeaderClick);
    // A new scan lists its rows in the order found: no column shows as sorted until the
    // next click (which goes on from the remembered state).
    connect(&model_, &QAbstractItemModel::modelReset, header,
            [header] { header->setSortIndicatorShown(false); });
    connect(this, &QAbstractItemView::doubleClicked, this, [this] { emit recoverRequested(); });
}

void CSalvexView::OnHeaderClick(int column) {
    sort_.HeaderClicked(column);
    model_.Sort(sort_);
    horizontalHeader()->setSortIndicatorShown(true);
    horizontalHeader()->setSortIndicator(
        column, sort_.sortReversed ? Qt::DescendingOrder : Qt::AscendingOrder);
}

}  // namespace relicta::gui
