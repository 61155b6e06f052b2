#include "upload/hosts.h"

#include "core/settings.h"

std::string RobotHost() {
    return LOGBOOK_ROBOT_HOST;
}

std::string WebHost() {
    return LOGBOOK_WEB_HOST;
}

std::string UploadUrl(const std::string& robotHost) {
    return "http://" + robotHost + "/newentry.aspx";
}

// The account callsign goes in as it is, without escaping.
std::string LogPageAddress() {
    return "http://" + WebHost() + "/ViewLogbook.aspx?user=" + LogbookCallsign;
}

std::string MapAddress() {
    return "http://" + WebHost() + "/public/cache/map_" + LogbookCallsign + ".jpg";
}
