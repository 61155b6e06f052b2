#include "ui/logbook_model.h"

#include "framework/qt/qt_text.h"

#include <algorithm>

static_assert(TLogbookListModel::colQsoId + 1 == kLogbookColumnCount);

TLogbookListModel::TLogbookListModel(TLogbookList& list, QObject* parent)
    : QAbstractTableModel(parent), FList(list), FRowCount(list.Count()) {
    FList.OnRowAppended = [this](int row) {
        // The list has grown already; the view learns of the row now.
        beginInsertRows(QModelIndex(), FRowCount, row);
        FRowCount = row + 1;
        endInsertRows();
    };
    // Only the rows whose texts changed: a whole-list signal would make the
    // view walk every row it has.
    FList.OnChange = [this](int first, int last) {
        last = std::min(last, FRowCount - 1);
        if (first <= last)
            emit dataChanged(index(first, 0), index(last, kLogbookColumnCount - 1),
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
        return ToQString(FList.Row(index.row()).CellText(index.column()));
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
