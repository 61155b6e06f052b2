#include "service.h"

#include "map_image.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>

namespace logbook {

namespace {

const char* const kAdifTags[] = {"call", "qso_date", "time_on", "band", "mode", "rst_sent",
                                 "rst_rcvd", "gridsquare", "station_callsign", "id", "eor"};

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

// Length of a known tag starting at `pos` ("<name:digits>" or "<name>"), 0 if
// there is none; its lower-cased name goes to `name`.
size_t TagAt(const std::string& s, size_t pos, std::string& name) {
    if (s[pos] != '<')
        return 0;
    size_t close = s.find('>', pos);
    if (close == std::string::npos)
        return 0;
    std::string inner = s.substr(pos + 1, close - pos - 1);
    size_t colon = inner.find(':');
    std::string n = Lower(inner.substr(0, colon));
    if (colon != std::string::npos) {
        std::string digits = inner.substr(colon + 1);
        if (digits.empty() || !std::all_of(digits.begin(), digits.end(), ::isdigit))
            return 0;
    }
    for (const char* t : kAdifTags)
        if (n == t) {
            name = n;
            return close - pos + 1;
        }
    return 0;
}

bool AllDigits(const std::string& s, size_t n) {
    return s.size() == n && std::all_of(s.begin(), s.end(), ::isdigit);
}

std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string Answer(const std::string& markers) { return "<response>" + markers + "</response>"; }

} // namespace

std::map<std::string, std::string> ParseAdif(const std::string& adif) {
    std::map<std::string, std::string> tags;
    std::string current;
    size_t valueStart = 0;
    bool inTag = false;
    size_t i = 0;
    while (i < adif.size()) {
        std::string name;
        size_t len = TagAt(adif, i, name);
        if (len == 0) {
            ++i;
            continue;
        }
        if (inTag)
            tags[current] = adif.substr(valueStart, i - valueStart);
        if (name == "eor")
            return tags;
        current = name;
        inTag = true;
        i += len;
        valueStart = i;
    }
    if (inTag)
        tags[current] = adif.substr(valueStart);
    return tags;
}

std::map<std::string, std::string> ParseUploadForm(const std::string& body) {
    static const char* const keys[] = {"Callsign", "Code", "CMD", "ADIFkey", "ADIFData"};
    std::string text = body;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    // Positions where a known key starts: the beginning or "&Key=".
    std::vector<std::pair<size_t, std::string>> starts;
    for (const char* k : keys) {
        std::string key = k;
        if (text.compare(0, key.size() + 1, key + "=") == 0)
            starts.emplace_back(0, key);
        for (size_t p = text.find("&" + key + "="); p != std::string::npos;
             p = text.find("&" + key + "=", p + 1))
            starts.emplace_back(p + 1, key);
    }
    std::sort(starts.begin(), starts.end());
    std::map<std::string, std::string> form;
    for (size_t i = 0; i < starts.size(); ++i) {
        size_t valueStart = starts[i].first + starts[i].second.size() + 1;
        size_t end = i + 1 < starts.size() ? starts[i + 1].first - 1 : text.size();
        // The EDIT body repeats its key and data parts: the first one counts.
        form.emplace(starts[i].second, text.substr(valueStart, end - valueStart));
    }
    return form;
}

Service::Service(std::map<std::string, std::string> accounts) : FAccounts(std::move(accounts)) {}

std::string Service::HandleUpload(const std::string& body) {
    auto form = ParseUploadForm(body);
    const std::string account = form["Callsign"];
    auto it = FAccounts.find(account);
    if (it == FAccounts.end() || it->second != form["Code"])
        return Answer("<error>Unknown user</error>");
    auto data = ParseAdif(form["ADIFData"]);
    if (form["CMD"] == "UPDATE")
        return Update(account, ParseAdif(form["ADIFkey"]), data);
    return Add(account, data);
}

std::string Service::Add(const std::string& account, const std::map<std::string, std::string>& d) {
    auto get = [&](const char* k) {
        auto it = d.find(k);
        return it == d.end() ? std::string() : it->second;
    };
    Contact c;
    c.Call = Trim(get("call"));
    c.Date = Trim(get("qso_date"));
    c.Time = Trim(get("time_on"));
    // A contact needs a callsign and a real date and time to be logged.
    if (c.Call.empty() || !AllDigits(c.Date, 8) || !AllDigits(c.Time, 6))
        return Answer("<insert>0</insert>");
    c.Band = Trim(get("band"));
    c.Mode = Trim(get("mode"));
    c.RstSent = Trim(get("rst_sent"));
    c.RstRcvd = Trim(get("rst_rcvd"));
    c.Grid = Trim(get("gridsquare"));
    c.StationCall = Trim(get("station_callsign"));
    std::lock_guard lock(FLock);
    c.Id = FNextId++;
    FLogs[account].push_back(c);
    return Answer("<insert>1</insert><id>" + std::to_string(c.Id) + "</id>");
}

std::string Service::Update(const std::string& account, const std::map<std::string, std::string>& key,
                            const std::map<std::string, std::string>& d) {
    auto get = [](const std::map<std::string, std::string>& m, const char* k) {
        auto it = m.find(k);
        return it == m.end() ? std::string() : Trim(it->second);
    };
    const std::string call = get(key, "call"), date = get(key, "qso_date"),
                      time = get(key, "time_on"), id = get(key, "id");
    std::lock_guard lock(FLock);
    auto& log = FLogs[account];
    for (auto& c : log) {
        if (c.Call != call || c.Date != date || c.Time != time)
            continue;
        if (!id.empty() && std::to_string(c.Id) != id)
            continue;
        if (!get(d, "call").empty())
            c.Call = get(d, "call");
        if (AllDigits(get(d, "qso_date"), 8))
            c.Date = get(d, "qso_date");
        if (AllDigits(get(d, "time_on"), 6))
            c.Time = get(d, "time_on");
        c.Band = get(d, "band");
        c.Mode = get(d, "mode");
        c.RstSent = get(d, "rst_sent");
        c.RstRcvd = get(d, "rst_rcvd");
        c.Grid = get(d, "gridsquare");
        c.StationCall = get(d, "station_callsign");
        return Answer("<update>1</update><id>" + std::to_string(c.Id) + "</id>");
    }
    return Answer("<error>Unable to find QSO</error>");
}

std::vector<Contact> Service::Contacts(const std::string& account) const {
    std::lock_guard lock(FLock);
    auto it = FLogs.find(account);
    if (it == FLogs.end())
        return {};
    std::vector<Contact> out(it->second.rbegin(), it->second.rend());
    return out;
}

std::string Service::LogPage(const std::string& account) const {
    auto contacts = Contacts(account);
    std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Log " +
                       Escape(account) +
                       "</title>\n<style>body{font-family:sans-serif}table{border-collapse:"
                       "collapse}td,th{border:1px solid #999;padding:2px 8px}</style></head>\n"
                       "<body><h1>Log " +
                       Escape(account) + "</h1>\n<p>" + std::to_string(contacts.size()) +
                       " QSO</p>\n<table>\n<tr><th>ID</th><th>Date</th><th>Time</th><th>Call</th>"
                       "<th>Band</th><th>Mode</th><th>RST sent</th><th>RST rcvd</th>"
                       "<th>Locator</th><th>Station</th></tr>\n";
    for (const auto& c : contacts) {
        const std::string date = c.Date.substr(0, 4) + "-" + c.Date.substr(4, 2) + "-" + c.Date.substr(6);
        const std::string time = c.Time.substr(0, 2) + ":" + c.Time.substr(2, 2) + ":" + c.Time.substr(4);
        html += "<tr><td>" + std::to_string(c.Id) + "</td>";
        for (const std::string* v : {&date, &time, &c.Call, &c.Band, &c.Mode, &c.RstSent,
                                     &c.RstRcvd, &c.Grid, &c.StationCall})
            html += "<td>" + Escape(*v) + "</td>";
        html += "</tr>\n";
    }
    html += "</table>\n<p><img src=\"/public/cache/map_" + Escape(account) +
            ".jpg\" alt=\"QSO map\"></p>\n</body></html>\n";
    return html;
}

void Service::Mount(httplib::Server& server) {
    server.Post("/newentry.aspx", [this](const httplib::Request& req, httplib::Response& res) {
        res.set_content(HandleUpload(req.body), "text/xml");
    });
    server.Get("/ViewLogbook.aspx", [this](const httplib::Request& req, httplib::Response& res) {
        res.set_content(LogPage(req.get_param_value("user")), "text/html; charset=utf-8");
    });
    server.Get(R"(/public/cache/map_(.+)\.jpg)",
               [this](const httplib::Request& req, httplib::Response& res) {
                   std::vector<std::string> locators;
                   for (const auto& c : Contacts(req.matches[1]))
                       locators.push_back(c.Grid);
                   res.set_content(MapJpeg(locators), "image/jpeg");
               });
}

} // namespace logbook
