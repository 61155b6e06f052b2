// One contact (QSO) and the values the list shows of it.
#pragma once

#include "framework/datetime.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Plain record: every other layer reads and writes its fields directly.
class TLogbookData {
public:
    TLogbookData() = default;

    std::int32_t Id = -1;  // running number, set when the row is appended
    TDateTime QsoDate = 0; // whole value of the date picker; only the date is shown or sent
    TDateTime QsoTime = 0; // whole value of the time picker; only the time is shown or sent
    std::string Callsign;
    std::string Rx; // report received
    std::string Tx; // report sent
    std::string Locator;
    std::string Band;
    std::string QsoId; // identifier the online logbook gave; empty: none yet
    std::string Mode;
    std::int32_t Uploaded = 0; // zero = false: the online log lacks it or holds older values

    // The contact as the online log last accepted it, by an add or an edit
    // it validated: the key by which the next edit finds it there, even
    // after edits the service refused or never received.
    struct TAcceptedKey {
        bool Valid = false; // nothing accepted yet
        TDateTime QsoDate = 0;
        TDateTime QsoTime = 0;
        std::string Callsign;
    } Accepted;
};

// "YES" for a non-zero flag, "NO" for zero.
std::string BoolToYesNo(std::int32_t flag);

// The selection handler's copy of a row's record into the edit key: every
// content field and QsoId, never Id or Uploaded.
void TakeSnapshot(const TLogbookData& from, TLogbookData& snapshot);

// The online log validated the contact as it is now: STATUS YES, and these
// values are the key of its next edit.
void MarkAccepted(TLogbookData& record);

// The key of an edit of `record`: the values the online log last accepted,
// with the identifier it gave; a contact it never accepted is named as the
// selection found it (`snapshot`).
TLogbookData EditKey(const TLogbookData& record, const TLogbookData& snapshot);

// Date and time texts of the list and the status memo ("DD/MM/YYYY",
// "HH:mm:ss", with the regional separators).
std::string ListDateText(TDateTime date);
std::string ListTimeText(TDateTime time);

// The same texts written into `out` (room for kListTextRoom bytes, no zero
// added), returning their length: byte for byte what FormatDateTime gives
// for those patterns, without parsing a pattern or building a string. The
// rare values outside the years 1 to 9999 (and values that are no number)
// are handed to FormatDateTime itself.
constexpr std::size_t kListTextRoom = 32;
std::size_t ListDateTextTo(TDateTime date, char* out);
std::size_t ListTimeTextTo(TDateTime time, char* out);
