// Contacts are logged in UTC while the computer's clock runs in local time.
#pragma once

#include "framework/datetime.h"
#include "framework/exception.h"

DECLARE_EXCEPTION_CLASS(EConvertError, Exception)

// One reading of the clock: an instant, in UTC and in local time by the
// time-zone rules in force at that instant.
struct TClockReading {
    TDateTime Utc = 0;
    TDateTime Local = 0;
};

// Reads the clock once. Raises EConvertError "Error converting to UTC time.
// Time zone could not be determined" when the time zone cannot be queried.
//
// Both values come from the one reading, so that whatever uses them together
// (the date and the time of a contact, the two clock panels) agrees even
// when the reading falls at midnight or at a change of daylight-saving
// time, and a zone changed while the program runs is never mixed with the
// one before.
TClockReading ReadClock();

// The UTC of a new reading of the clock.
TDateTime UtcNow();
