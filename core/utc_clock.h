// Contacts are logged in UTC while the computer's clock runs in local time.
#pragma once

#include "framework/datetime.h"
#include "framework/exception.h"

DECLARE_EXCEPTION_CLASS(EConvertError, Exception)

// The UTC value for a local date-time by the time-zone rules in force now.
// Raises EConvertError "Error converting to UTC time. Time zone could not be
// determined" when the time zone cannot be queried.
TDateTime LocalToUtc(TDateTime local);

// LocalToUtc of the current local time, read anew at each call.
TDateTime UtcNow();
