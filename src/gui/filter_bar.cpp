#include "gui/filter_bar.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>

namespace relicta::gui {
namespace {

constexpr int kSizeFieldWidth = 70;
constexpr int kDateFieldWidth = 100;
constexpr const char* kBadValueStyle = "QLineEdit { background: #f8d7d7; }";

// Condition choices as least ranks, after "Any condition".
constexpr const char* kConditionChoices[] = {"At least Poor", "At least Good", "Excellent"};
constexpr const char* kFoundByChoices[] = {"Deleted entry", "Old file system", "Carved"};

std::string Text(const QLineEdit* field) {
    return field->text().trimmed().toStdString();
}

}  // namespace

FilterBar::FilterBar(QWidget* parent)
    : QWidget(parent),
      search_(new QLineEdit(this)),
      kind_(new QComboBox(this)),
      condition_(new QComboBox(this)),
      foundBy_(new QComboBox(this)) {
    setObjectName("filterBar");
    search_->setObjectName("searchText");
    search_->setPlaceholderText("Search names and folders (Ctrl+F)");
    search_->setClearButtonEnabled(true);
    search_->setAccessibleName("Search");
    kind_->setObjectName("kindFilter");
    kind_->setAccessibleName("Kind");
    kind_->addItem("All kinds");
    for (int k = 0; k < view::kFileKinds; ++k) {
        kind_->addItem(view::FileKindName(static_cast<view::FileKind>(k)));
    }
    condition_->setObjectName("conditionFilter");
    condition_->setAccessibleName("Condition");
    condition_->addItem("Any condition");
    for (const char* choice : kConditionChoices) {
        condition_->addItem(choice);
    }
    foundBy_->setObjectName("foundByFilter");
    foundBy_->setAccessibleName("Found by");
    foundBy_->addItem("Found by any means");
    for (const char* choice : kFoundByChoices) {
        foundBy_->addItem(choice);
    }

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 2, 4, 2);
    layout->addWidget(search_, 1);
    layout->addWidget(kind_);
    layout->addWidget(condition_);
    auto* sizeLabel = new QLabel("&Size:", this);
    layout->addWidget(sizeLabel);
    minSize_ = AddBoundField("minSize", "from", kSizeFieldWidth);
    sizeLabel->setBuddy(minSize_);
    maxSize_ = AddBoundField("maxSize", "to", kSizeFieldWidth);
    auto* dateLabel = new QLabel("&Modified:", this);
    layout->addWidget(dateLabel);
    modifiedFrom_ = AddBoundField("modifiedFrom", "YYYY-MM-DD", kDateFieldWidth);
    dateLabel->setBuddy(modifiedFrom_);
    modifiedTo_ = AddBoundField("modifiedTo", "to", kDateFieldWidth);
    layout->addWidget(foundBy_);
    auto* clear = new QToolButton(this);
    clear->setObjectName("clearFilters");
    clear->setText("Clear");
    clear->setToolTip("Shows every file again");
    layout->addWidget(clear);

    connect(search_, &QLineEdit::textChanged, this, &FilterBar::filterChanged);
    for (QComboBox* box : {kind_, condition_, foundBy_}) {
        connect(box, &QComboBox::currentIndexChanged, this, &FilterBar::filterChanged);
    }
    connect(clear, &QToolButton::clicked, this, &FilterBar::Clear);
}

QLineEdit* FilterBar::AddBoundField(const char* objectName, const QString& placeholder, int width) {
    auto* field = new QLineEdit(this);
    field->setObjectName(objectName);
    field->setPlaceholderText(placeholder);
    field->setAccessibleName(objectName);
    field->setFixedWidth(width);
    layout()->addWidget(field);
    connect(field, &QLineEdit::textChanged, this, [this] {
        MarkBoundFields();
        emit filterChanged();
    });
    return field;
}

void FilterBar::MarkBoundFields() {
    const auto mark = [](QLineEdit* field, bool ok) {
        field->setStyleSheet(ok || field->text().trimmed().isEmpty() ? "" : kBadValueStyle);
    };
    mark(minSize_, view::ParseSize(Text(minSize_)).has_value());
    mark(maxSize_, view::ParseSize(Text(maxSize_)).has_value());
    mark(modifiedFrom_, view::ParseIsoDate(Text(modifiedFrom_)).has_value());
    mark(modifiedTo_, view::ParseIsoDate(Text(modifiedTo_)).has_value());
}

view::ListFilter FilterBar::Filter() const {
    view::ListFilter filter;
    filter.text = search_->text().toStdString();
    if (kind_->currentIndex() > 0) {
        filter.kinds =
            view::ListFilter::Bit(static_cast<view::FileKind>(kind_->currentIndex() - 1));
    }
    // "At least Poor" is rank 1: the choices follow the ranks from Poor up.
    filter.minCondition = condition_->currentIndex() > 0 ? condition_->currentIndex() : -1;
    if (foundBy_->currentIndex() > 0) {
        filter.foundBy =
            view::ListFilter::Bit(static_cast<view::FoundByGroup>(foundBy_->currentIndex() - 1));
    }
    filter.minSize = view::ParseSize(Text(minSize_));
    filter.maxSize = view::ParseSize(Text(maxSize_));
    filter.modifiedFrom = view::ParseIsoDate(Text(modifiedFrom_));
    // The last day counts whole.
    filter.modifiedBefore = view::ParseIsoDateEnd(Text(modifiedTo_));
    return filter;
}

void FilterBar::Clear() {
    {
        // One change for the whole bar, not one per field.
        const QSignalBlocker blocker(this);
        search_->clear();
        for (QComboBox* box : {kind_, condition_, foundBy_}) {
            box->setCurrentIndex(0);
        }
        for (QLineEdit* field : {minSize_, maxSize_, modifiedFrom_, modifiedTo_}) {
            field->clear();
        }
        MarkBoundFields();
    }
    emit filterChanged();
}

}  // namespace relicta::gui
