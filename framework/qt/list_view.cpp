#include "framework/qt/list_view.h"

#include "framework/qt/qt_application.h"

#include <QAccessible>
#include <QEvent>
#include <QHeaderView>
#include <QMouseEvent>
#include <QStyledItemDelegate>

#include <set>

// Gives every row the height of a report list view's row.
class TListView::TRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void UseFont(const QFont& font) { FRowHeight = WindowsTextHeight(font) + 1; }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(FRowHeight);
        return size;
    }

private:
    int FRowHeight = 0;
};

TListView::TListView(QWidget* parent) : QTreeView(parent), FRowDelegate(new TRowDelegate(this)) {
    FRowDelegate->UseFont(font());
    setItemDelegate(FRowDelegate);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);

    // The selection stays highlighted when the list loses the focus.
    QPalette p = palette();
    p.setColor(QPalette::Inactive, QPalette::Highlight,
               p.color(QPalette::Active, QPalette::Highlight));
    p.setColor(QPalette::Inactive, QPalette::HighlightedText,
               p.color(QPalette::Active, QPalette::HighlightedText));
    setPalette(p);
}

void TListView::setModel(QAbstractItemModel* model) {
    QTreeView::setModel(model);
    if (selectionModel())
        connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
                [this](const QItemSelection& selected, const QItemSelection& deselected) {
                    SelectionChanged(selected, deselected);
                });
}

int TListView::FirstSelectedRow() const {
    if (!selectionModel())
        return -1;
    int first = -1;
    for (const QModelIndex& index : selectionModel()->selectedRows())
        if (first < 0 || index.row() < first)
            first = index.row();
    return first;
}

void TListView::SelectRow(int row) {
    if (!selectionModel() || !model())
        return;
    if (row < 0) {
        selectionModel()->clearSelection();
        return;
    }
    const QModelIndex index = model()->index(row, 0);
    selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                 QItemSelectionModel::Rows);
}

void TListView::mousePressEvent(QMouseEvent* event) {
    // As in the Windows list view, a click below the rows clears the
    // selection.
    if (!indexAt(event->position().toPoint()).isValid() && selectionModel()) {
        selectionModel()->clearSelection();
        return;
    }
    QTreeView::mousePressEvent(event);
}

void TListView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange)
        FRowDelegate->UseFont(font());
    QTreeView::changeEvent(event);
}

void TListView::dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                            const QList<int>& roles) {
    // New texts in rows of one height change nothing but pixels. For more
    // than a row the base class unites the rectangles of every changed cell
    // (a walk over the whole list when it all changed) only to repaint them:
    // repainting the viewport shows the same for the cost of the rows in
    // sight. Assistive technology is told cell by cell, by the base class.
    const bool textsOnly = roles.isEmpty() || roles == QList<int>{Qt::DisplayRole};
    if (topLeft.row() != bottomRight.row() && textsOnly && uniformRowHeights() &&
        !QAccessible::isActive()) {
        viewport()->update();
        return;
    }
    QTreeView::dataChanged(topLeft, bottomRight, roles);
}

void TListView::SelectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
    auto rowsOf = [](const QItemSelection& selection) {
        std::set<int> rows;
        for (const QItemSelectionRange& range : selection)
            for (int r = range.top(); r <= range.bottom(); ++r)
                rows.insert(r);
        return rows;
    };
    const std::set<int> lost = rowsOf(deselected);
    const std::set<int> gained = rowsOf(selected);
    if (!OnSelectItem)
        return;
    for (int row : lost)
        RunGuarded([&] { OnSelectItem(row, false); });
    for (int row : gained)
        RunGuarded([&] { OnSelectItem(row, true); });
}
