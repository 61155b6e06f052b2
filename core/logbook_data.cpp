#include "core/logbook_data.h"

std::string BoolToYesNo(std::int32_t flag) { return flag != 0 ? "YES" : "NO"; }

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

std::string ListDateText(TDateTime date) { return FormatDateTime("DD/MM/YYYY", date); }
std::string ListTimeText(TDateTime time) { return FormatDateTime("HH:mm:ss", time); }
