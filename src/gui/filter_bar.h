#pragma once
// The bar above the list: a search text and the filters by kind, condition, size, date and
// how a file was found. Sizes and dates are typed as the command line takes them.

#include <QWidget>

#include "view/list_filter.h"

class QComboBox;
class QLineEdit;

namespace relicta::gui {

class FilterBar : public QWidget {
    Q_OBJECT

  public:
    explicit FilterBar(QWidget* parent = nullptr);

    // What the bar asks for; a size or date that means nothing is left out (and marked).
    view::ListFilter Filter() const;
    QLineEdit* SearchField() const { return search_; }
    void Clear();

  signals:
    void filterChanged();

  private:
    QLineEdit* AddBoundField(const char* objectName, const QString& placeholder, int width);
    void MarkBoundFields();

    QLineEdit* search_;
    QComboBox* kind_;
    QComboBox* condition_;
    QLineEdit* minSize_;
    QLineEdit* maxSize_;
    QLineEdit* modifiedFrom_;
    QLineEdit* modifiedTo_;
    QComboBox* foundBy_;
};

}  // namespace relicta::gui
