#include "core/logbook_list.h"

#include <cstdio>

const TLogbookColumn kLogbookColumns[kLogbookColumnCount] = {
    {"ID", 50},      {"DATA", 70}, {"ORA", 70}, {"INDICATIV", 150}, {"RX", 50},    {"TX", 50},
    {"LOCATOR", 70}, {"BANDA", 70}, {"MOD", 60}, {"STATUS", 60},     {"QSOID", 70},
};

std::string TLogbookRow::Cell(int column) const {
    if (column == 0)
        return Caption;
    size_t i = static_cast<size_t>(column - 1);
    return i < SubItems.size() ? SubItems[i] : std::string();
}

TLogbookData* TLogbookList::NewRecord() {
    FRecords.push_back(std::make_unique<TLogbookData>());
    return FRecords.back().get();
}

void TLogbookList::AppendRow(TLogbookData* data) {
    TLogbookRow row;
    row.Data = data;
    FRows.push_back(std::move(row));
    if (OnRowAppended)
        OnRowAppended(Count() - 1);
}

void RenderRow(const TLogbookData& data, TLogbookRow& row) {
    char id[16];
    std::snprintf(id, sizeof id, "%.4d", data.Id);
    row.Caption = id;
    row.SubItems = {ListDateText(data.QsoDate), ListTimeText(data.QsoTime),
                    data.Callsign,
                    data.Rx,
                    data.Tx,
                    data.Locator,
                    data.Band,
                    data.Mode,
                    BoolToYesNo(data.Uploaded),
                    data.QsoId};
}

void TLogbookList::RefreshListView() {
    if (FRows.empty())
        return;
    for (auto& row : FRows)
        if (row.Data)
            RenderRow(*row.Data, row);
    if (OnChange)
        OnChange();
}
