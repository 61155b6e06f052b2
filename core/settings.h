// Run-time settings that live outside the main window. They start from
// compiled-in values each run and are never stored.
#pragma once

#include <string>

extern std::string LogbookCallsign; // the account at the online logbook
extern std::string DisplayCallsign; // named in the settings confirmation line
extern std::string UploadCode;      // the account's key

// Gives the three their start values ("QQ9XYZ", "QQ9XYZ", "9999999999").
void SetStartSettings();

// The settings that go into an upload body.
struct TUploadSettings {
    std::string LogbookCallsign;
    std::string UploadCode;
    std::string StationCallsign;
};
