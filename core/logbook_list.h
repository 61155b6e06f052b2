// The logbook: the rows of the main window's report list, each carrying one
// record. Rows are appended at the end only and never removed, so a row's
// position equals its record's Id.
#pragma once

#include "core/logbook_data.h"

#include <array>
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
    std::string Caption; // first column
    // The ten other columns (empty until the row is first rendered). Kept
    // in the row itself: a refresh reads every row, and a row in one piece
    // is read in one stream.
    std::array<std::string, kLogbookColumnCount - 1> SubItems;
    TLogbookData* Data = nullptr; // not owned by the row

    // The text of a column, 0 being the caption.
    std::string Cell(int column) const;
    const std::string& CellText(int column) const;

    // What the texts were rendered from besides the record's own texts
    // (which the cells hold as they are): RenderRow keeps it, and a refresh
    // renders a row again only when the record or the regional separators
    // no longer match it.
    struct TRenderedFrom {
        bool Valid = false;
        std::int32_t Id = 0;
        TDateTime QsoDate = 0, QsoTime = 0;
        bool Uploaded = false;
        char DateSeparator = 0, TimeSeparator = 0;
    } RenderedFrom;
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
    // Rewrites every row that carries a record from that record. A row whose
    // texts already are what its record renders to is left as it is, so a
    // refresh after one contact changed renders one row, not all of them.
    void RefreshListView();
    // Rows whose contact shows STATUS NO: the online log lacks it, or holds
    // it with values older than the list's.
    int NotUploadedCount() const;

    // Told after a refresh changed the texts of rows, once, with the first
    // and the last row that changed (the rows between may be unchanged).
    std::function<void(int first, int last)> OnChange;
    std::function<void(int row)> OnRowAppended;

private:
    std::vector<TLogbookRow> FRows;
    std::vector<std::unique_ptr<TLogbookData>> FRecords;
};

// The caption and ten sub-items of a record, as RefreshListView writes them
// (into the row's strings, reusing their storage).
void RenderRow(const TLogbookData& data, TLogbookRow& row);
// True when RenderRow would write exactly the texts the row holds.
bool RowIsCurrent(const TLogbookData& data, const TLogbookRow& row);
