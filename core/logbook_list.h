// The logbook: the rows of the main window's report list, each carrying one
// record. Rows are appended at the end only and never removed, so a row's
// position equals its record's Id.
#pragma once

#include "core/logbook_data.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

constexpr int kLogbookColumnCount = 11;
struct TLogbookColumn {
    const char* Header;
    int Width;
};
extern const TLogbookColumn kLogbookColumns[kLogbookColumnCount];

struct TLogbookRow {
    std::string Caption;               // first column
    std::vector<std::string> SubItems; // the ten other columns
    TLogbookData* Data = nullptr;      // not owned by the row

    // The text of a column, 0 being the caption.
    std::string Cell(int column) const;
};

class TLogbookList {
public:
    int Count() const { return static_cast<int>(FRows.size()); }
    const TLogbookRow& Row(int index) const { return FRows.at(static_cast<size_t>(index)); }
    TLogbookRow& Row(int index) { return FRows.at(static_cast<size_t>(index)); }

    // Creates a record owned by the list for the run (it is not attached to
    // any row until AppendRow).
    TLogbookData* NewRecord();
    // Appends a row with an empty caption carrying `data`.
    void AppendRow(TLogbookData* data);
    // Rewrites every row that carries a record from that record.
    void RefreshListView();

    // Told after rows were appended or rewritten.
    std::function<void()> OnChange;
    std::function<void(int row)> OnRowAppended;

private:
    std::vector<TLogbookRow> FRows;
    std::vector<std::unique_ptr<TLogbookData>> FRecords;
};

// The caption and ten sub-items of a record, as RefreshListView writes them.
void RenderRow(const TLogbookData& data, TLogbookRow& row);
