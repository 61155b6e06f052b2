// The stand-in for the online logbook service: it keeps the contacts of each
// account in memory and answers uploads with the markers the logger reads.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace httplib {
class Server;
}

namespace logbook {

struct Contact {
    long Id = 0;
    std::string Call, Date, Time, Band, Mode, RstSent, RstRcvd, Grid, StationCall;
};

// The tags of one ADIF stretch ("<call:10>AB1CD<qso_date:8>..."). The number
// in a tag is not trusted as a length: a value runs to the next known tag.
std::map<std::string, std::string> ParseAdif(const std::string& adif);

// The form fields of an upload body. Values are not escaped by the sender, so
// a field ends only where "&" introduces the next known key.
std::map<std::string, std::string> ParseUploadForm(const std::string& body);

class Service {
public:
    explicit Service(std::map<std::string, std::string> accounts); // callsign -> code

    // Handles one POST /newentry.aspx body and returns the answer text.
    std::string HandleUpload(const std::string& body);

    // The account's contacts, newest first.
    std::vector<Contact> Contacts(const std::string& account) const;

    // The log page of an account.
    std::string LogPage(const std::string& account) const;

    // The page at "/": the accounts, with links to their log pages and maps.
    std::string IndexPage() const;

    // The map of an account as a page: the map image fitted to the window,
    // with the callsigns of each dot shown on hover.
    std::string MapPage(const std::string& account) const;

    // Registers the routes on a server.
    void Mount(httplib::Server& server);

private:
    std::string Add(const std::string& account, const std::map<std::string, std::string>& data);
    std::string Update(const std::string& account, const std::map<std::string, std::string>& key,
                       const std::map<std::string, std::string>& data);

    std::map<std::string, std::string> FAccounts;
    mutable std::mutex FLock;
    std::map<std::string, std::vector<Contact>> FLogs;
    long FNextId = 1001;
};

} // namespace logbook
