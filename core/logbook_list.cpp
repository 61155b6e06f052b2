#include "core/logbook_list.h"

#include <cstdint>
#include <cstdio>
#include <iterator>

const TLogbookColumn kLogbookColumns[kLogbookColumnCount] = {
    {"ID", 50},      {"DATA", 70},  {"ORA", 70}, {"INDICATIV", 150}, {"RX", 50},    {"TX", 50},
    {"LOCATOR", 70}, {"BANDA", 70}, {"MOD", 60}, {"STATUS", 60},     {"QSOID", 70},
};

namespace {

const std::string kNoText;

} // namespace

const std::string& TLogbookRow::CellText(int column) const {
    if (column == 0)
        return Caption;
    size_t i = static_cast<size_t>(column - 1);
    return i < SubItems.size() ? SubItems[i] : kNoText;
}

std::string TLogbookRow::Cell(int column) const {
    return CellText(column);
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

int TLogbookList::NotUploadedCount() const {
    int count = 0;
    for (const TLogbookRow& row : FRows)
        if (row.Data && row.Data->Uploaded == 0)
            ++count;
    return count;
}

namespace {

// The sub-items that are a record's texts as they stand, by sub-item index.
enum : std::size_t { kDate, kTime, kCallsign, kRx, kTx, kLocator, kBand, kMode, kStatus, kQsoId };

std::string TLogbookData::*const kTextFields[] = {
    &TLogbookData::Callsign, &TLogbookData::Rx,   &TLogbookData::Tx,   &TLogbookData::Locator,
    &TLogbookData::Band,     &TLogbookData::Mode, &TLogbookData::QsoId};
constexpr std::size_t kTextSubItems[] = {kCallsign, kRx, kTx, kLocator, kBand, kMode, kQsoId};

// "%.4d": at least four digits, zero-padded; a minus sign before them.
std::size_t CaptionTo(std::int32_t id, char* out) {
    if (id < 0)
        return static_cast<std::size_t>(std::snprintf(out, 16, "%.4d", id));
    char digits[12];
    std::size_t n = 0;
    auto value = static_cast<std::uint32_t>(id);
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    std::size_t length = 0;
    for (std::size_t pad = n; pad < 4; ++pad)
        out[length++] = '0';
    while (n > 0)
        out[length++] = digits[--n];
    return length;
}

// The texts are short: comparing them in place beats a call to memcmp for
// each, and a refresh compares seven of them per row.
inline bool SameText(const std::string& a, const std::string& b) {
    const std::size_t n = a.size();
    if (n != b.size())
        return false;
    const char* p = a.data();
    const char* q = b.data();
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] != q[i])
            return false;
    return true;
}

} // namespace

void RenderRow(const TLogbookData& data, TLogbookRow& row) {
    char text[kListTextRoom];
    row.Caption.assign(text, CaptionTo(data.Id, text));
    row.SubItems[kDate].assign(text, ListDateTextTo(data.QsoDate, text));
    row.SubItems[kTime].assign(text, ListTimeTextTo(data.QsoTime, text));
    for (std::size_t i = 0; i < std::size(kTextFields); ++i)
        row.SubItems[kTextSubItems[i]] = data.*kTextFields[i];
    row.SubItems[kStatus] = data.Uploaded != 0 ? "YES" : "NO";
    TLogbookRow::TRenderedFrom& from = row.RenderedFrom;
    from.Valid = true;
    from.Id = data.Id;
    from.QsoDate = data.QsoDate;
    from.QsoTime = data.QsoTime;
    from.Uploaded = data.Uploaded != 0;
    from.DateSeparator = FormatSettings().DateSeparator;
    from.TimeSeparator = FormatSettings().TimeSeparator;
}

bool RowIsCurrent(const TLogbookData& data, const TLogbookRow& row) {
    const TLogbookRow::TRenderedFrom& from = row.RenderedFrom;
    const TFormatSettings& fs = FormatSettings();
    if (!from.Valid || from.Id != data.Id || from.QsoDate != data.QsoDate ||
        from.QsoTime != data.QsoTime || from.Uploaded != (data.Uploaded != 0) ||
        from.DateSeparator != fs.DateSeparator || from.TimeSeparator != fs.TimeSeparator)
        return false;
    for (std::size_t i = 0; i < std::size(kTextFields); ++i)
        if (!SameText(row.SubItems[kTextSubItems[i]], data.*kTextFields[i]))
            return false;
    return true;
}

void TLogbookList::RefreshListView() {
    if (FRows.empty())
        return;
    int first = -1, last = -1;
    for (int i = 0; i < Count(); ++i) {
        TLogbookRow& row = FRows[static_cast<std::size_t>(i)];
        if (!row.Data || RowIsCurrent(*row.Data, row))
            continue;
        RenderRow(*row.Data, row);
        if (first < 0)
            first = i;
        last = i;
    }
    if (first >= 0 && OnChange)
        OnChange(first, last);
}
