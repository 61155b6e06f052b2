#include "service.h"

#include "map_image.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace logbook {

namespace {

const char* const kAdifTags[] = {
    "call",     "qso_date",   "time_on",          "band", "mode", "rst_sent",
    "rst_rcvd", "gridsquare", "station_callsign", "id",   "eor"};
// The longest name among them: a longer one is none of them.
constexpr size_t kLongestTag = sizeof "station_callsign" - 1;

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The known tag whose name is the `length` bytes at `p`, in any case; null
// when there is none.
const char* KnownTag(const char* p, size_t length) {
    for (const char* tag : kAdifTags) {
        size_t i = 0;
        while (i < length && tag[i] != '\0' &&
               std::tolower(static_cast<unsigned char>(p[i])) == tag[i])
            ++i;
        if (i == length && tag[i] == '\0')
            return tag;
    }
    return nullptr;
}

// Length of a known tag starting at `pos` ("<name:digits>" or "<name>"), 0 if
// there is none; its lower-cased name goes to `name`. It looks no further
// than a known name and its digits, so that the bytes between one "<" and
// the next ">" are not read again for every "<" among them: a body of a
// thousand "<" costs a thousand short looks, not half a million.
size_t TagAt(const std::string& s, size_t pos, std::string& name) {
    if (s[pos] != '<')
        return 0;
    const size_t nameStart = pos + 1;
    size_t end = nameStart;
    while (end < s.size() && s[end] != ':' && s[end] != '>' && end - nameStart <= kLongestTag)
        ++end;
    if (end == s.size() || (s[end] != ':' && s[end] != '>'))
        return 0;
    const char* tag = KnownTag(s.data() + nameStart, end - nameStart);
    if (!tag)
        return 0;
    if (s[end] == ':') {
        const size_t digits = ++end;
        while (end < s.size() && IsDigit(s[end]))
            ++end;
        if (end == digits || end == s.size() || s[end] != '>')
            return 0;
    }
    name = tag;
    return end - pos + 1;
}

bool AllDigits(const std::string& s, size_t n) {
    return s.size() == n && std::all_of(s.begin(), s.end(), ::isdigit);
}

std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// A callsign as a query value or path piece: "/" and the like escaped.
std::string UrlEscape(const std::string& s) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string MapPath(const std::string& account) {
    return "/public/cache/map_" + UrlEscape(account) + ".jpg";
}

std::string Answer(const std::string& markers) {
    return "<response>" + markers + "</response>";
}

} // namespace

std::map<std::string, std::string> ParseAdif(const std::string& adif) {
    std::map<std::string, std::string> tags;
    std::string current;
    size_t valueStart = 0;
    bool inTag = false;
    size_t i = 0;
    std::string name;
    while ((i = adif.find('<', i)) != std::string::npos) {
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

std::string Service::Update(const std::string& account,
                            const std::map<std::string, std::string>& key,
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
                       " QSO. Dates and times are UTC.</p>\n<table>\n<tr><th>ID</th>"
                       "<th>Date (UTC)</th><th>Time (UTC)</th><th>Call</th>"
                       "<th>Band</th><th>Mode</th><th>RST sent</th><th>RST rcvd</th>"
                       "<th>Locator</th><th>Station</th></tr>\n";
    for (const auto& c : contacts) {
        const std::string date =
            c.Date.substr(0, 4) + "-" + c.Date.substr(4, 2) + "-" + c.Date.substr(6);
        const std::string time =
            c.Time.substr(0, 2) + ":" + c.Time.substr(2, 2) + ":" + c.Time.substr(4);
        html += "<tr><td>" + std::to_string(c.Id) + "</td>";
        for (const std::string* v : {&date, &time, &c.Call, &c.Band, &c.Mode, &c.RstSent,
                                     &c.RstRcvd, &c.Grid, &c.StationCall})
            html += "<td>" + Escape(*v) + "</td>";
        html += "</tr>\n";
    }
    html += "</table>\n<p><a href=\"" + Escape(MapPath(account)) + "\"><img src=\"" +
            Escape(MapPath(account)) +
            "\" alt=\"QSO map\" style=\"max-width:100%\"></a></p>\n</body></html>\n";
    return html;
}

std::string Service::IndexPage() const {
    std::string html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\">"
                       "<title>logbook-service</title>\n<style>body{font-family:sans-serif}"
                       "td,th{padding:2px 12px;text-align:left}</style></head>\n<body>"
                       "<h1>logbook-service</h1>\n<p>The stand-in online logbook. Uploads go "
                       "to <code>POST /newentry.aspx</code>.</p>\n<table>\n"
                       "<tr><th>Account</th><th>QSO</th><th>Log</th><th>Map</th></tr>\n";
    for (const auto& [account, code] : FAccounts) {
        const std::string log = "/ViewLogbook.aspx?user=" + UrlEscape(account);
        html += "<tr><td>" + Escape(account) + "</td><td>" +
                std::to_string(Contacts(account).size()) + "</td><td><a href=\"" + Escape(log) +
                "\">log page</a></td><td><a href=\"" + Escape(MapPath(account)) +
                "\">QSO map</a></td></tr>\n";
    }
    return html + "</table>\n</body></html>\n";
}

std::string Service::MapPage(const std::string& account) const {
    // The contacts of one locator share a dot, and its title names them all.
    std::map<std::pair<double, double>, std::string> dots;
    for (const auto& c : Contacts(account)) {
        auto ll = LocatorToLonLat(c.Grid);
        if (!ll)
            continue;
        std::string& title = dots[MapPoint(ll->first, ll->second)];
        title += (title.empty() ? "" : ", ") + c.Call + " (" + c.Grid + ")";
    }
    char viewBox[64];
    std::snprintf(viewBox, sizeof viewBox, "0 0 %d %d", kMapWidth, kMapHeight);
    std::string html =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>QSO map " + Escape(account) +
        "</title>\n<style>html,body{margin:0;height:100%;font-family:sans-serif}"
        "p{margin:0;padding:4px 8px;height:1.4em}"
        // Scaled down to the window, never up, the aspect kept.
        "svg{display:block;margin:0 auto;width:100%;max-width:" +
        std::to_string(kMapWidth) +
        "px;height:calc(100% - 1.4em - 8px)}"
        "circle{fill:transparent;stroke:none}circle:hover{stroke:#000;stroke-width:2}"
        "</style></head>\n<body><p>QSO map of " +
        Escape(account) + ": " + std::to_string(dots.size()) +
        " locator(s); point at a dot for its callsigns.</p>\n<svg viewBox=\"" + viewBox +
        "\" preserveAspectRatio=\"xMidYMin meet\">\n<image href=\"" + Escape(MapPath(account)) +
        "?image=1\" width=\"" + std::to_string(kMapWidth) + "\" height=\"" +
        std::to_string(kMapHeight) + "\"/>\n";
    for (const auto& [point, title] : dots) {
        char circle[96];
        std::snprintf(circle, sizeof circle, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"7\">",
                      point.first, point.second);
        html += circle + std::string("<title>") + Escape(title) + "</title></circle>\n";
    }
    return html + "</svg>\n</body></html>\n";
}

void Service::Mount(httplib::Server& server) {
    server.Get("/", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(IndexPage(), "text/html; charset=utf-8");
    });
    server.Post("/newentry.aspx", [this](const httplib::Request& req, httplib::Response& res) {
        res.set_content(HandleUpload(req.body), "text/xml");
    });
    server.Get("/ViewLogbook.aspx", [this](const httplib::Request& req, httplib::Response& res) {
        res.set_content(LogPage(req.get_param_value("user")), "text/html; charset=utf-8");
    });
    server.Get(R"(/public/cache/map_(.+)\.jpg)", [this](const httplib::Request& req,
                                                        httplib::Response& res) {
        // A browser opening the address gets the page around the
        // image; the page's own image request and every other
        // client (the logger, httpcli) get the JPEG.
        const bool page = !req.has_param("image") &&
                          req.get_header_value("Accept").find("text/html") != std::string::npos;
        if (page) {
            res.set_content(MapPage(req.matches[1]), "text/html; charset=utf-8");
            return;
        }
        std::vector<std::string> locators;
        for (const auto& c : Contacts(req.matches[1]))
            locators.push_back(c.Grid);
        res.set_content(MapJpeg(locators), "image/jpeg");
    });
}

} // namespace logbook
