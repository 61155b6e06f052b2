// The two hosts of the online logbook service, compiled in (the CMake cache
// variables LOGBOOK_ROBOT_HOST and LOGBOOK_WEB_HOST). Nothing reads them at
// run time from the environment, a file or the command line.
#pragma once

#include <string>

// Receives the uploads.
std::string RobotHost();
// Serves the log page and the QSO map.
std::string WebHost();

// "http://" + robot host + "/newentry.aspx"
std::string UploadUrl(const std::string& robotHost);
std::string LogPageAddress(); // "http://" + web host + "/ViewLogbook.aspx?user=" + account
std::string MapAddress();     // "http://" + web host + "/public/cache/map_" + account + ".jpg"
