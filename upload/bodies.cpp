#include "upload/bodies.h"

std::string BodyDateText(TDateTime date) {
    // Digits only: the pattern has no separator characters to localise.
    return FormatDateTime("YYYYMMDD", date);
}

std::string BodyTimeText(TDateTime time) {
    return FormatDateTime("HHmmss", time);
}

std::string BuildAddBody(const TLogbookData& r, const TUploadSettings& s) {
    return "Callsign=" + s.LogbookCallsign + "&Code=" + s.UploadCode + "&ADIFData=<call:10>" +
           r.Callsign + "<qso_date:8>" + BodyDateText(r.QsoDate) + "<time_on:6>" +
           BodyTimeText(r.QsoTime) + " <band:3>" + r.Band + "<mode:10>" + r.Mode + "<rst_sent:3>" +
           r.Tx + "<rst_rcvd:3>" + r.Rx + "<GRIDSQUARE:6> " + r.Locator + "<station_callsign:11>" +
           s.StationCallsign + "<EOR>";
}

std::string BuildEditKeyPart(const TLogbookData& key) {
    return "&ADIFkey=<call:10>" + key.Callsign + "<qso_date:8>" + BodyDateText(key.QsoDate) +
           "<time_on:6>" + BodyTimeText(key.QsoTime) + "<ID:10>" + key.QsoId;
}

std::string BuildEditDataPart(const TLogbookData& c, const TUploadSettings& s) {
    return "&ADIFData=<call:10>" + c.Callsign + "<qso_date:8>" + BodyDateText(c.QsoDate) +
           "<time_on:6>" + BodyTimeText(c.QsoTime) + "<band:3>" + c.Band + "<mode:10>" + c.Mode +
           "<rst_sent:3>" + c.Tx + "<rst_rcvd:3>" + c.Rx + "<GRIDSQUARE:6> " + c.Locator +
           "<station_callsign:11>" + s.StationCallsign;
}

std::string BuildEditBody(const std::string& keyPart, const std::string& dataPart,
                          const TUploadSettings& s) {
    return "Callsign=" + s.LogbookCallsign + "&CMD=UPDATE" + keyPart + dataPart +
           "&Code=" + s.UploadCode + keyPart + dataPart;
}
