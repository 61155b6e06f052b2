#include "upload/hosts.h"

#include "core/settings.h"

namespace {
std::string gRobotHostOverride;
}

std::string RobotHost() {
    return gRobotHostOverride.empty() ? std::string(LOGBOOK_ROBOT_HOST) : gRobotHostOverride;
}

std::string WebHost() {
    return LOGBOOK_WEB_HOST;
}

std::string UploadUrl() {
    return "http://" + RobotHost() + "/newentry.aspx";
}

// The account callsign goes in as it is, without escaping.
std::string LogPageAddress() {
    return "http://" + WebHost() + "/ViewLogbook.aspx?user=" + LogbookCallsign;
}

std::string MapAddress() {
    return "http://" + WebHost() + "/public/cache/map_" + LogbookCallsign + ".jpg";
}

void upload::testing::SetRobotHost(const std::string& host) {
    gRobotHostOverride = host;
}
