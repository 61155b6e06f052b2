// The report-style list view: whole rows, one selected at a time, no editing
// in place, the selection kept visible when the focus leaves; a change of
// selection is told once for the row that lost it and once for the row that
// gained it, in that order. Rows are as high as Windows makes them: one line
// of the list's font and a pixel (14 pixels for Tahoma 8).
#pragma once

#include <QTreeView>

#include <functional>

class TListView : public QTreeView {
    Q_OBJECT
public:
    explicit TListView(QWidget* parent = nullptr);

    void setModel(QAbstractItemModel* model) override;

    // The first selected row from the top, -1 when none is.
    int FirstSelectedRow() const;
    // Selects the row alone (-1: none) as a click would.
    void SelectRow(int row);

    // Told for each row whose selection changed.
    std::function<void(int row, bool selected)> OnSelectItem;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void dataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight,
                     const QList<int>& roles = QList<int>()) override;

private:
    class TRowDelegate;

    void SelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);

    TRowDelegate* FRowDelegate;
};
