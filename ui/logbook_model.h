// The table model of the report list: reads the rendered texts of the
// logbook's rows. RefreshListView re-renders the rows; the model only tells
// the view which of them changed, and the view paints the rows it shows.
#pragma once

#include "core/logbook_list.h"

#include <QAbstractTableModel>

class TLogbookListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        colId,
        colData,
        colOra,
        colIndicativ,
        colRx,
        colTx,
        colLocator,
        colBanda,
        colMod,
        colStatus,
        colQsoId,
    };

    // Takes over the list's OnChange and OnRowAppended.
    explicit TLogbookListModel(TLogbookList& list, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

private:
    TLogbookList& FList;
    int FRowCount = 0; // rows the view has been told of
};
