#include "core/logbook_data.h"

#include <algorithm>
#include <cstring>

std::string BoolToYesNo(std::int32_t flag) {
    return flag != 0 ? "YES" : "NO";
}

void TakeSnapshot(const TLogbookData& from, TLogbookData& snapshot) {
    snapshot.QsoDate = from.QsoDate;
    snapshot.QsoTime = from.QsoTime;
    snapshot.Callsign = from.Callsign;
    snapshot.Rx = from.Rx;
    snapshot.Tx = from.Tx;
    snapshot.Locator = from.Locator;
    snapshot.Band = from.Band;
    snapshot.Mode = from.Mode;
    snapshot.QsoId = from.QsoId;
}

void MarkAccepted(TLogbookData& record) {
    record.Uploaded = 1;
    record.Accepted = {true, record.QsoDate, record.QsoTime, record.Callsign};
}

TLogbookData EditKey(const TLogbookData& record, const TLogbookData& snapshot) {
    TLogbookData key = snapshot;
    if (record.Accepted.Valid) {
        key.QsoDate = record.Accepted.QsoDate;
        key.QsoTime = record.Accepted.QsoTime;
        key.Callsign = record.Accepted.Callsign;
        key.QsoId = record.QsoId;
    }
    return key;
}

namespace {

constexpr const char* kListDatePattern = "DD/MM/YYYY";
constexpr const char* kListTimePattern = "HH:mm:ss";

// Values the fast texts handle: a number of days the decoding turns into
// the years 1 to 9999 (checked after decoding); beyond this bound the
// decoding's own arithmetic is not to be trusted with it.
bool Decodable(TDateTime value) {
    return value > -1e7 && value < 1e7; // false for NaN too
}

std::size_t Generic(const char* pattern, TDateTime value, char* out) {
    const std::string text = FormatDateTime(pattern, value);
    const std::size_t n = std::min(text.size(), kListTextRoom);
    std::memcpy(out, text.data(), n);
    return n;
}

char* TwoDigits(char* p, int value) {
    p[0] = static_cast<char>('0' + value / 10);
    p[1] = static_cast<char>('0' + value % 10);
    return p + 2;
}

} // namespace

std::size_t ListDateTextTo(TDateTime date, char* out) {
    int year = 0, month = 0, day = 0;
    if (Decodable(date))
        DecodeDate(date, year, month, day);
    if (year < 1 || year > 9999)
        return Generic(kListDatePattern, date, out);
    const char separator = FormatSettings().DateSeparator;
    char* p = TwoDigits(out, day);
    *p++ = separator;
    p = TwoDigits(p, month);
    *p++ = separator;
    p = TwoDigits(p, year / 100);
    p = TwoDigits(p, year % 100);
    return static_cast<std::size_t>(p - out);
}

std::size_t ListTimeTextTo(TDateTime time, char* out) {
    if (!Decodable(time))
        return Generic(kListTimePattern, time, out);
    int hour, minute, second, msec;
    DecodeTime(time, hour, minute, second, msec);
    const char separator = FormatSettings().TimeSeparator;
    char* p = TwoDigits(out, hour);
    *p++ = separator;
    p = TwoDigits(p, minute);
    *p++ = separator;
    p = TwoDigits(p, second);
    return static_cast<std::size_t>(p - out);
}

std::string ListDateText(TDateTime date) {
    char text[kListTextRoom];
    return std::string(text, ListDateTextTo(date, text));
}

std::string ListTimeText(TDateTime time) {
    char text[kListTextRoom];
    return std::string(text, ListTimeTextTo(time, text));
}
