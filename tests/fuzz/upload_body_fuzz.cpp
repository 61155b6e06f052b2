// The stand-in logbook's reading of an upload body (form fields, then the
// ADIF tags of the data and the key) on arbitrary bytes: it never crashes,
// every tag it reports is a known one whose value is a piece of the body,
// and the answer always carries one of the markers the logger reads.
#include "service.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

namespace {

void CheckTags(const std::string& adif) {
    static const std::string kKnown =
        " call qso_date time_on band mode rst_sent rst_rcvd gridsquare station_callsign id ";
    for (const auto& [name, value] : logbook::ParseAdif(adif))
        if (kKnown.find(" " + name + " ") == std::string::npos ||
            adif.find(value) == std::string::npos)
            std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const std::string body(reinterpret_cast<const char*>(data), size);
    CheckTags(body);
    for (const auto& [key, value] : logbook::ParseUploadForm(body))
        if (body.find(value) == std::string::npos)
            std::abort();
    logbook::Service service(std::map<std::string, std::string>{{"QQ9XYZ", "9999999999"}});
    const std::string answer = service.HandleUpload(body);
    if (answer.find("<insert>") == std::string::npos &&
        answer.find("<update>") == std::string::npos && answer.find("<error>") == std::string::npos)
        std::abort();
    return 0;
}
