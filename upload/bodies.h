// The two request bodies of an upload, built by plain concatenation: nothing
// is escaped, trimmed or measured (the number in each tag is part of the
// literal, not the length of the value that follows).
#pragma once

#include "core/logbook_data.h"
#include "core/settings.h"

#include <string>

// "YYYYMMDD" and "HHmmss": digits only, whatever the regional separators.
std::string BodyDateText(TDateTime date);
std::string BodyTimeText(TDateTime time);

// The body that adds a new contact.
std::string BuildAddBody(const TLogbookData& record, const TUploadSettings& settings);

// The EDIT body names the contact to change by its values before the change
// (the key part, from the selection snapshot) and carries its new values (the
// data part); both stand twice, around the upload code.
std::string BuildEditKeyPart(const TLogbookData& key);
std::string BuildEditDataPart(const TLogbookData& changed, const TUploadSettings& settings);
std::string BuildEditBody(const std::string& keyPart, const std::string& dataPart,
                          const TUploadSettings& settings);
