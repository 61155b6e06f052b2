#include "core/settings.h"

std::string LogbookCallsign = "QQ9XYZ";
std::string DisplayCallsign = "QQ9XYZ";
std::string UploadCode = "9999999999";

void SetStartSettings() {
    DisplayCallsign = "QQ9XYZ";
    LogbookCallsign = "QQ9XYZ";
    UploadCode = "9999999999";
}
