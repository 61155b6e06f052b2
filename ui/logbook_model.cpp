#include "ui/logbook_model.h"

#include "framework/qt/qt_text.h"

static_assert(TLogbookListModel::colQsoId + 1 == kLogbookColumnCount);

TLogbookListModel::TLogbookListModel(TLogbookList& list, QObject* parent)
    : QAbstractTableModel(parent), FList(list), FRowCount(list.Count()) {
    FList.OnRowAppended = [this](int row) {
        // The list has grown already; the view learns of the row now.
        beginInsertRows(QModelIndex(), FRowCount, row);
        FRowCount = row + 1;
        endInsertRows();
    };
    FList.OnChange = [this] {
        if (FRowCount > 0)
            emit dataChanged(index(0, 0), index(FRowCount - 1, kLogbookColumnCount - 1),
                             {Qt::DisplayRole});
    };
}

int TLogbookListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : FRowCount;
}

int TLogbookListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kLogbookColumnCount;
}

QVariant TLogbookListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= FRowCount)
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return ToQString(FList.Row(index.row()).Cell(index.column()));
    default:
        return {};
    }
}

QVariant TLogbookListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kLogbookColumnCount)
        return {};
    if (role == Qt::DisplayRole)
        return QString::fromLatin1(kLogbookColumns[section].Header);
    return {};
}
