// httpcli: a command-line front end of THttpCli for diagnosing a connection,
// with curl's spelling of the options it has (`httpcli --help` lists them).
// The body streams to standard output or to the file of -o as it arrives;
// errors go to standard error, prefixed "httpcli: " and naming the URL.
#include "net/http/httpparse.h"
#include "net/http/httpprot.h"
#include "net/socket/icslogger.h"
#include "net/socket/wsocket.h"
#include "tools/httpcli/progress.h"
#include "tools/httpcli/streams.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>
#include <vector>

#ifndef LOGBOOK_VERSION
#define LOGBOOK_VERSION "0"
#endif

namespace {

// ---- the command line ------------------------------------------------------

// A SOCKS server to go through (-x socks...://, --socks4 ...).
struct TSocksSetting {
    std::string Level; // "4", "4A" or "5"; empty: none
    std::string Host, Port, User, Password;
    bool Remote = false; // the SOCKS server looks the URL's host up
};

// What the command line asks for.
struct TCommand {
    std::string Url;
    bool Post = false;
    std::string Data;     // -d DATA
    std::string DataFile; // -d @FILE; "-" is standard input
    bool Head = false;
    bool Include = false;
    std::string OutFile;
    std::string Proxy;
    TSocksSetting Socks;
    long Timeout = -1;
    int MaxRedirs = -1;
    std::string Agent;
    std::string ContentType;
    std::vector<std::string> ExtraHeaders;
    bool Http11 = false;
    bool Silent = false;
    bool ShowError = false;
    bool Bar = false;
    bool Verbose = false;
    // -u and -U: credentials, and the schemes each side may be answered
    // with (--basic ... --proxy-ntlm; none named: any the other side asks).
    std::string User, Password, ProxyUser, ProxyPassword;
    bool HasUser = false, HasProxyUser = false;
    THttpAuthType ServerScheme = httpAuthNone, ProxyScheme = httpAuthNone;
    bool Compressed = false;
    std::int64_t MaxFileSize = -1;
};

// Options without a one-letter form take numbers above every character.
enum : int {
    optHttp11 = 256,
    optMaxRedirs,
    optSocks4,
    optSocks4a,
    optSocks5,
    optSocks5Hostname,
    optBasic,
    optDigest,
    optNtlm,
    optProxyBasic,
    optProxyDigest,
    optProxyNtlm,
    optCompressed,
    optMaxFilesize,
};

struct TOptionInfo {
    int Id;            // the letter, or one of the numbers above
    const char* Long;  // the name after "--"
    const char* Value; // the value's name in --help; nullptr for a switch
    const char* Help;  // what it does, and [the default]
};

// Every option. getopt_long's tables and --help are made from this list, so
// a new option is one line here and one case in ApplyOption.
const TOptionInfo kOptions[] = {
    {'d', "data", "DATA",
     "send a POST request with DATA as its body; @FILE sends the file's contents, @- standard "
     "input [GET]"},
    {'I', "head", nullptr, "send a HEAD request and print the response header [GET]"},
    {'H', "header", "LINE",
     "add the request header line 'Name: value', replacing the client's own line of that name; "
     "may be repeated [none]"},
    {'A', "user-agent", "TEXT", "the User-Agent line [Mozilla/4.0 (compatible; TORVELIX)]"},
    {optHttp11, "http1.1", nullptr, "send HTTP/1.1 requests [HTTP/1.0]"},
    {'u', "user", "USER:PASSWORD",
     "the server's user name and password, answering whatever scheme (Basic, Digest, NTLM) "
     "it asks for [none]"},
    {optBasic, "basic", nullptr, "with -u: Basic only, sent with the first request"},
    {optDigest, "digest", nullptr, "with -u: Digest only"},
    {optNtlm, "ntlm", nullptr, "with -u: NTLM only, negotiated from the first request"},
    {'U', "proxy-user", "USER:PASSWORD",
     "the HTTP proxy's user name and password, answering whatever scheme it asks for [none]"},
    {optProxyBasic, "proxy-basic", nullptr, "with -U: Basic only, sent with the first request"},
    {optProxyDigest, "proxy-digest", nullptr, "with -U: Digest only"},
    {optProxyNtlm, "proxy-ntlm", nullptr, "with -U: NTLM only, negotiated from the first request"},
    {optCompressed, "compressed", nullptr,
     "ask for a gzip or deflate coded body and write it decoded; a body in another coding is "
     "a failure [off]"},
    {'x', "proxy", "[SCHEME://]HOST[:PORT]",
     "go through this proxy: an HTTP proxy (http:// or no scheme; PORT defaults to 80), or a "
     "SOCKS server with socks4://, socks4a://, socks5:// or socks5h:// (PORT defaults to 1080; "
     "socks4a and socks5h: the server looks the URL's host up), where USER:PASSWORD@ before "
     "HOST gives the SOCKS 5 user name and password or the SOCKS 4 user id [none]"},
    {optSocks4, "socks4", "HOST[:PORT]",
     "go through this SOCKS 4 server; the client looks the URL's host up [none]"},
    {optSocks4a, "socks4a", "HOST[:PORT]",
     "go through this SOCKS 4A server, which looks the URL's host up [none]"},
    {optSocks5, "socks5", "HOST[:PORT]",
     "go through this SOCKS 5 server; the client looks the URL's host up and names the "
     "address it found [none]"},
    {optSocks5Hostname, "socks5-hostname", "HOST[:PORT]",
     "go through this SOCKS 5 server, which looks the URL's host up [none]"},
    {'m', "max-time", "SECONDS", "give up when nothing has moved for SECONDS [30]"},
    {optMaxRedirs, "max-redirs", "NUM", "follow at most NUM relocations; 0 follows none [5]"},
    {optMaxFilesize, "max-filesize", "BYTES",
     "stop when a body (as written, after decoding) would grow past BYTES [no limit]"},
    {'o', "output", "FILE", "write the body to FILE [standard output]"},
    {'i', "include", nullptr, "write the response header lines before the body [off]"},
    {'s', "silent", nullptr, "no progress meter and no error messages [off]"},
    {'S', "show-error", nullptr, "with -s, still print error messages [off]"},
    {'#', "progress-bar", nullptr,
     "show the progress as a bar of '#' [a line of figures, shown only when standard error is a "
     "terminal and the body is not written to it]"},
    {'v', "verbose", nullptr,
     "trace the connection, the request and the response header to "
     "standard error [off]"},
    {'h', "help", nullptr, "print this help and exit"},
    {'V', "version", nullptr, "print the version and exit"},
};

// Exit statuses, numbered as curl numbers the same failures.
enum TExit : int {
    exitOk = 0,
    exitProtocol = 1,
    exitUsage = 2,
    exitResolve = 6,
    exitConnect = 7,
    exitPartial = 18,
    exitHttpError = 22,
    exitWrite = 23,
    exitRead = 26,
    exitTimeout = 28,
    exitRelocations = 47,
    exitNoAnswer = 52,
    exitReceive = 56,
    exitBadContentEncoding = 61,
    exitFileSize = 63,
};

const struct {
    int Code;
    const char* Meaning;
} kExitStatuses[] = {
    {exitOk, "the response arrived whole with a status below 400"},
    {exitProtocol, "the URL's protocol is not http"},
    {exitUsage, "the command line is wrong"},
    {exitResolve, "the host name could not be resolved"},
    {exitConnect, "the connection could not be made"},
    {exitPartial, "the connection closed before the whole body arrived"},
    {exitHttpError, "the final answer has a status of 400 or more, 401 and 407 included (the "
                    "body is written)"},
    {exitWrite, "the body could not be written"},
    {exitRead, "the file of -d @FILE could not be read"},
    {exitTimeout, "nothing moved for the time of -m"},
    {exitRelocations, "more relocations than --max-redirs allows"},
    {exitNoAnswer, "the connection ended before a complete response header"},
    {exitReceive, "another failure while sending or receiving"},
    {exitBadContentEncoding,
     "the body's content or transfer coding is not one the client undoes, or did not decode"},
    {exitFileSize, "a body is larger than --max-filesize"},
};

std::string OptionName(const TOptionInfo& info) {
    std::string name =
        info.Id < 256 ? std::string("-") + static_cast<char>(info.Id) + ", " : "    ";
    name += std::string("--") + info.Long;
    if (info.Value)
        name += std::string(" ") + info.Value;
    return name;
}

// Wraps `text` to lines of `width`, each after `indent` blanks but the first.
std::string Wrapped(const std::string& text, std::size_t indent, std::size_t width) {
    std::string out, line;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find(' ', pos);
        std::string word =
            text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            out += line + "\n" + std::string(indent, ' ');
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return out + line;
}

void PrintHelp() {
    std::printf("Usage: httpcli [OPTION]... URL\n"
                "Fetches URL with the logbook's HTTP client (THttpCli) and writes the body to\n"
                "standard output, following relocations. For diagnosing a connection.\n\n"
                "Options ([default]):\n");
    const std::size_t column = 30;
    for (const TOptionInfo& info : kOptions) {
        std::string name = "  " + OptionName(info);
        name += name.size() + 2 <= column ? std::string(column - name.size(), ' ')
                                          : "\n" + std::string(column, ' ');
        std::printf("%s%s\n", name.c_str(), Wrapped(info.Help, column, 79 - column).c_str());
    }
    std::printf("\nExit status:\n");
    for (const auto& status : kExitStatuses)
        std::printf("  %3d  %s\n", status.Code, status.Meaning);
}

void PrintVersion() {
    std::printf("httpcli %s (QQ9XYZ Logbook)\n"
                "Protocols: http (HTTP/1.0 and HTTP/1.1)\n",
                LOGBOOK_VERSION);
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "httpcli: %s\nhttpcli: 'httpcli --help' lists the options\n",
                 message.c_str());
    return exitUsage;
}

std::string HeaderName(const std::string& line) {
    std::string name = line.substr(0, line.find(':'));
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

// Whether two URLs name the same server: protocol, host and port.
bool SameServer(const std::string& a, const std::string& b) {
    auto server = [](const std::string& url) {
        TUrlParts p = SplitUrl(url);
        return LowerCase(p.Proto.empty() ? "http" : p.Proto) + "://" + LowerCase(p.Host) + ":" +
               (p.Port.empty() ? "80" : p.Port);
    };
    return server(a) == server(b);
}

bool ParseNumber(const char* text, long max, long& out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end || v < 0 || v > max)
        return false;
    out = v;
    return true;
}

constexpr int kContinue = -1;

// %XX in a URL's user name or password stands for the byte XX.
std::string PercentDecoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() &&
            std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// HOST[:PORT] of a SOCKS server, for `option`; kContinue, or the exit status.
int SetSocks(const std::string& level, bool remote, std::string address,
             const std::string& userInfo, const char* option, TCommand& c) {
    if (!address.empty() && address.back() == '/')
        address.pop_back();
    TSocksSetting socks{level, address, "1080", "", "", remote};
    const std::size_t colon = address.rfind(':');
    if (colon != std::string::npos) {
        socks.Host = address.substr(0, colon);
        socks.Port = address.substr(colon + 1);
    }
    long port = 0;
    if (socks.Host.empty() || socks.Host.find_first_of(" \t\r\n/@") != std::string::npos ||
        !ParseNumber(socks.Port.c_str(), 65535, port) || port == 0)
        return UsageError(std::string(option) + " wants HOST[:PORT] of a SOCKS server, not '" +
                          address + "'");
    if (!userInfo.empty()) {
        const std::size_t sep = userInfo.find(':');
        socks.User = PercentDecoded(userInfo.substr(0, sep));
        if (sep != std::string::npos)
            socks.Password = PercentDecoded(userInfo.substr(sep + 1));
    }
    c.Socks = socks;
    c.Proxy.clear(); // the last proxy given is the one used
    return kContinue;
}

// -x: an HTTP proxy, or a SOCKS server named by its scheme.
int SetProxy(const std::string& value, TCommand& c) {
    const std::size_t schemeEnd = value.find("://");
    std::string scheme = schemeEnd == std::string::npos ? "http" : value.substr(0, schemeEnd);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    if (scheme == "http") {
        c.Proxy = value;
        c.Socks = {};
        return kContinue;
    }
    const char* level = scheme == "socks4"                          ? "4"
                        : scheme == "socks4a"                       ? "4A"
                        : scheme == "socks5" || scheme == "socks5h" ? "5"
                                                                    : nullptr;
    if (!level)
        return UsageError("-x: no proxy of the kind '" + scheme +
                          "://' (http, socks4, socks4a, "
                          "socks5, socks5h)");
    std::string address = value.substr(schemeEnd + 3), userInfo;
    const std::size_t at = address.rfind('@');
    if (at != std::string::npos) {
        userInfo = address.substr(0, at);
        address = address.substr(at + 1);
    }
    // socks4a:// and socks5h:// have the server look the host up.
    return SetSocks(level, scheme == "socks4a" || scheme == "socks5h", address, userInfo, "-x", c);
}

// USER:PASSWORD of -u or -U, split at the first ":"; kContinue, or the exit status.
int SetCredentials(const char* arg, const char* option, std::string& user, std::string& password,
                   bool& given) {
    const char* colon = std::strchr(arg, ':');
    if (!colon)
        return UsageError(std::string(option) + " wants USER:PASSWORD, not '" + arg + "'");
    user.assign(arg, colon);
    password = colon + 1;
    given = true;
    return kContinue;
}

// Applies one option to the command; kContinue, or the exit status.
int ApplyOption(int id, const char* arg, TCommand& c) {
    long n = 0;
    switch (id) {
    case 'd':
        c.Post = true;
        if (arg[0] == '@')
            c.DataFile = arg + 1;
        else
            c.Data = arg;
        break;
    case 'I':
        c.Head = true;
        break;
    case 'H':
        // A line break would end the line and add others of the caller's
        // making to the request.
        if (std::strpbrk(arg, "\r\n"))
            return UsageError("-H wants one header line, without CR or LF");
        // Content-Type goes where the client keeps the type of posted data.
        if (HeaderName(arg) == "content-type") {
            std::string v = std::strchr(arg, ':') + 1;
            c.ContentType = v.substr(std::min(v.size(), v.find_first_not_of(' ')));
        } else {
            c.ExtraHeaders.push_back(arg);
        }
        break;
    case 'A':
        c.Agent = arg;
        break;
    case optHttp11:
        c.Http11 = true;
        break;
    case 'x':
        return SetProxy(arg, c);
    case optSocks4:
        return SetSocks("4", false, arg, "", "--socks4", c);
    case optSocks4a:
        return SetSocks("4A", true, arg, "", "--socks4a", c);
    case optSocks5:
        return SetSocks("5", false, arg, "", "--socks5", c);
    case optSocks5Hostname:
        return SetSocks("5", true, arg, "", "--socks5-hostname", c);
    case 'm':
        if (!ParseNumber(arg, 24 * 3600, n))
            return UsageError("-m wants a number of seconds, not '" + std::string(arg) + "'");
        c.Timeout = n;
        break;
    case optMaxRedirs:
        if (!ParseNumber(arg, 1000, n))
            return UsageError("--max-redirs wants a number, not '" + std::string(arg) + "'");
        c.MaxRedirs = static_cast<int>(n);
        break;
    case optMaxFilesize:
        if (!ParseNumber(arg, LONG_MAX, n))
            return UsageError("--max-filesize wants a number of bytes, not '" + std::string(arg) +
                              "'");
        c.MaxFileSize = n;
        break;
    case 'u':
        return SetCredentials(arg, "-u", c.User, c.Password, c.HasUser);
    case 'U':
        return SetCredentials(arg, "-U", c.ProxyUser, c.ProxyPassword, c.HasProxyUser);
    case optBasic:
    case optDigest:
    case optNtlm:
        c.ServerScheme = id == optBasic    ? httpAuthBasic
                         : id == optDigest ? httpAuthDigest
                                           : httpAuthNtlm;
        break;
    case optProxyBasic:
    case optProxyDigest:
    case optProxyNtlm:
        c.ProxyScheme = id == optProxyBasic    ? httpAuthBasic
                        : id == optProxyDigest ? httpAuthDigest
                                               : httpAuthNtlm;
        break;
    case optCompressed:
        c.Compressed = true;
        break;
    case 'o':
        c.OutFile = arg;
        break;
    case 'i':
        c.Include = true;
        break;
    case 's':
        c.Silent = true;
        break;
    case 'S':
        c.ShowError = true;
        break;
    case '#':
        c.Bar = true;
        break;
    case 'v':
        c.Verbose = true;
        break;
    case 'h':
        PrintHelp();
        return exitOk;
    case 'V':
        PrintVersion();
        return exitOk;
    }
    return kContinue;
}

// Reads the command line into `c`; kContinue, or the exit status.
int ParseCommandLine(int argc, char** argv, TCommand& c) {
    std::string shortOptions = ":"; // ':' reports a missing value apart
    std::vector<option> longOptions;
    for (const TOptionInfo& info : kOptions) {
        if (info.Id < 256)
            shortOptions += std::string(1, static_cast<char>(info.Id)) + (info.Value ? ":" : "");
        longOptions.push_back(
            {info.Long, info.Value ? required_argument : no_argument, nullptr, info.Id});
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});

    opterr = 0;
    optind = 1;
    for (;;) {
        int id = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr);
        if (id == -1)
            break;
        if (id == '?' || id == ':') {
            // A long option is the word just read; a short one is optopt.
            const std::string word = argv[optind - 1];
            std::string name = word.rfind("--", 0) == 0 || !optopt || optopt >= 256
                                   ? word
                                   : std::string("-") + static_cast<char>(optopt);
            name = name.substr(0, name.find('='));
            return UsageError(id == '?' ? "unknown option " + name
                                        : "option " + name + " needs a value");
        }
        int status = ApplyOption(id, optarg, c);
        if (status != kContinue)
            return status;
    }
    if (optind >= argc)
        return UsageError("no URL given");
    if (argc - optind > 1)
        return UsageError("one URL only; '" + std::string(argv[optind + 1]) + "' is one too many");
    c.Url = argv[optind];
    if (c.Head && c.Post)
        return UsageError("-I and -d do not go together");
    return kContinue;
}

// ---- the request -------------------------------------------------------------

// What the client's events told about the request's course; it tells a
// failure's kind apart where the exception's text alone would not.
struct TCourse {
    bool Connected = false;  // the last connection attempt succeeded
    bool HeaderSeen = false; // a response header ended since the last request was sent
    int HeaderStatus = 0;
    std::string HeaderReason;
    bool TooManyRelocations = false;
    std::string UnknownCoding; // of the last response, with --compressed
};

int FailureExit(const THttpCli& http, const TCourse& course) {
    const std::string& reason = http.ReasonPhrase();
    if (http.ErrCode() == httperrTimeout)
        return exitTimeout;
    if (course.HeaderSeen && http.StatusCode() == course.HeaderStatus &&
        reason == course.HeaderReason)
        return exitHttpError;
    // 11001 to 11004: the Windows Sockets codes of a failed name lookup.
    if (http.ErrCode() >= 11001 && http.ErrCode() <= 11004)
        return exitResolve;
    if (!course.Connected)
        return reason.rfind("Protocol \"", 0) == 0 ? exitProtocol : exitConnect;
    if (reason == "Connection closed before the whole response body")
        return exitPartial;
    if (reason == "Connection closed before a complete response header")
        return exitNoAnswer;
    if (reason.rfind("Content decoding failed", 0) == 0 ||
        reason.rfind("Transfer coding not supported", 0) == 0)
        return exitBadContentEncoding;
    return exitReceive;
}

// Credentials and schemes of -u, -U and their scheme options. Basic and NTLM
// named in advance start with the first request, as curl does; Digest needs
// the server's challenge first. The client's options that keep a scheme from
// being answered hold for both sides, so a scheme is kept out only when
// neither side may use it.
void ApplyAuth(THttpCli& http, const TCommand& c) {
    auto allows = [](bool given, THttpAuthType chosen, THttpAuthType scheme) {
        return given && (chosen == httpAuthNone || chosen == scheme);
    };
    auto preset = [](THttpAuthType chosen) {
        return chosen == httpAuthDigest ? httpAuthNone : chosen;
    };
    THttpCliOptions options = http.Options();
    const std::pair<THttpAuthType, THttpCliOption> schemes[] = {{httpAuthBasic, httpoNoBasicAuth},
                                                                {httpAuthDigest, httpoNoDigestAuth},
                                                                {httpAuthNtlm, httpoNoNTLMAuth}};
    for (const auto& [scheme, no] : schemes) {
        if (allows(c.HasUser, c.ServerScheme, scheme) ||
            allows(c.HasProxyUser, c.ProxyScheme, scheme))
            options.Exclude(no);
        else
            options.Include(no);
    }
    if (c.Compressed)
        options.Include(httpoEnableContentCoding);
    http.SetOptions(options);
    if (c.HasUser) {
        http.SetUsername(c.User);
        http.SetPassword(c.Password);
        http.SetServerAuth(preset(c.ServerScheme));
    }
    if (c.HasProxyUser) {
        http.SetProxyUsername(c.ProxyUser);
        http.SetProxyPassword(c.ProxyPassword);
        http.SetProxyAuth(preset(c.ProxyScheme));
    }
}

// "host:port" or "http://host:port" for -x.
void ApplyProxy(THttpCli& http, const std::string& proxy) {
    size_t colon = proxy.rfind(':');
    if (colon != std::string::npos && proxy.find("://") == std::string::npos) {
        http.SetProxy(proxy.substr(0, colon));
        http.SetProxyPort(proxy.substr(colon + 1));
    } else {
        http.SetProxy(proxy);
    }
}

void ApplySocks(THttpCli& http, const TSocksSetting& socks, bool verbose) {
    http.SetSocksServer(socks.Host);
    http.SetSocksPort(socks.Port);
    http.SetSocksLevel(socks.Level);
    http.SetSocksUsercode(socks.User); // SOCKS 4's user id, or SOCKS 5's user name
    http.SetSocksPassword(socks.Password);
    http.SetSocksResolveRemotely(socks.Remote);
    if (socks.Level == "5" && !socks.User.empty())
        http.SetSocksAuthentication(socksAuthenticateUsercode);
    if (!verbose)
        return;
    http.OnSocksConnected = [socks](TComponent*, std::uint16_t error) {
        std::fprintf(stderr, "* SOCKS %s server %s:%s: %s\n", socks.Level.c_str(),
                     socks.Host.c_str(), socks.Port.c_str(),
                     error ? ("not connected, error " + std::to_string(error)).c_str()
                           : "connected");
    };
    http.OnSocksError = [](TComponent*, int error, const std::string& text) {
        std::fprintf(stderr, "* SOCKS error %d: %s\n", error, text.c_str());
    };
}

int TerminalColumns() {
    winsize ws{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    return 80;
}

class TRun {
public:
    explicit TRun(const TCommand& c) : C(c), FOut(STDOUT_FILENO) {}
    int Execute();

private:
    void Report(const std::string& message) const {
        if (!C.Silent || C.ShowError)
            std::fprintf(stderr, "httpcli: %s\n", message.c_str());
    }
    int PreparePost();
    void Configure();
    void HeaderEnded();

    const TCommand& C;
    THttpCli FHttp;
    TBodyOutput FOut;
    TFileReadStream FPostFile;
    TMemoryStream FPostMemory;
    TStream* FPost = nullptr;
    TIcsLogger FLogger;
    TCourse FCourse;
    std::unique_ptr<TProgressMeter> FMeter;
};

int TRun::PreparePost() {
    if (!C.Post)
        return kContinue;
    if (C.DataFile == "-") {
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(STDIN_FILENO, buffer, sizeof buffer)) > 0)
            FPostMemory.Write(buffer, n);
        FPost = &FPostMemory;
    } else if (!C.DataFile.empty()) {
        if (!FPostFile.Open(C.DataFile)) {
            Report("cannot read " + C.DataFile + ": " + std::strerror(errno));
            return exitRead;
        }
        FPost = &FPostFile;
    } else {
        FPostMemory.Write(C.Data);
        FPost = &FPostMemory;
    }
    FPost->SetPosition(0);
    return kContinue;
}

void TRun::Configure() {
    FHttp.SetURL(C.Url);
    FHttp.SetDocStream(&FOut);
    if (!C.Proxy.empty())
        ApplyProxy(FHttp, C.Proxy);
    if (!C.Socks.Level.empty())
        ApplySocks(FHttp, C.Socks, C.Verbose);
    if (C.Timeout >= 0)
        FHttp.SetTimeout(static_cast<std::uint32_t>(C.Timeout));
    if (C.MaxRedirs == 0)
        FHttp.SetFollowRelocation(false);
    else if (C.MaxRedirs > 0)
        FHttp.SetLocationChangeMaxCount(C.MaxRedirs);
    if (!C.Agent.empty())
        FHttp.SetAgent(C.Agent);
    if (!C.ContentType.empty())
        FHttp.SetContentTypePost(C.ContentType);
    if (C.Http11)
        FHttp.SetRequestVer("1.1");
    ApplyAuth(FHttp, C);
    if (!C.ExtraHeaders.empty()) {
        // A header given on the command line replaces the client's own line
        // of the same name.
        FHttp.OnBeforeHeaderSend = [this](TComponent*, const std::string&, TStringList& lines) {
            const bool elsewhere = !SameServer(FHttp.Location(), C.Url);
            for (const std::string& extra : C.ExtraHeaders) {
                std::string name = HeaderName(extra);
                // Credentials given for one server are not handed to another
                // one a relocation leads to (another host, port or protocol).
                if (elsewhere &&
                    (name == "authorization" || name == "cookie" || name == "proxy-authorization"))
                    continue;
                for (int i = lines.Count() - 1; i > 0; --i)
                    if (HeaderName(lines[i]) == name)
                        lines.Delete(i);
                lines.Add(extra);
            }
        };
    }
    if (C.Verbose) {
        FLogger.SetLogOptions({loWsockErr, loWsockInfo, loProtSpecErr, loProtSpecInfo});
        FLogger.OnIcsLogEvent = [](TComponent*, TLogOption, const std::string& msg) {
            // A message may hold several lines (the request header block).
            std::size_t pos = 0;
            while (pos < msg.size()) {
                std::size_t end = std::min(msg.find('\n', pos), msg.size());
                std::string line = msg.substr(pos, end - pos);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                if (!line.empty())
                    std::fprintf(stderr, "* %s\n", line.c_str());
                pos = end + 1;
            }
        };
        FHttp.SetIcsLogger(&FLogger);
        FHttp.OnCommand = [](TComponent*, std::string& line) {
            std::fprintf(stderr, "> %s\n", line.c_str());
        };
    }

    FHttp.OnStateChange = [this](TComponent*) {
        switch (FHttp.State()) {
        case httpDnsLookup:
            FCourse.Connected = false;
            break;
        case httpConnected:
            FCourse.Connected = true;
            break;
        case httpWaitingHeader:
            FCourse.HeaderSeen = false;
            break;
        default:
            break;
        }
    };
    FHttp.OnHeaderEnd = [this](TComponent*) { HeaderEnded(); };
    FHttp.OnLocationChangeExceeded = [this](TComponent*, int, bool&) {
        FCourse.TooManyRelocations = true;
    };
    // A failed write stops the transfer: closing makes the request end. So
    // does a body past --max-filesize.
    FOut.OnWriteError = [this]() { FHttp.CtrlSocket()->CloseLater(); };
    FOut.SetMaxBodySize(C.MaxFileSize);
    FOut.OnTooLarge = [this]() { FHttp.CtrlSocket()->CloseLater(); };

    const bool toTerminal = ::isatty(FOut.Fd());
    if (!C.Silent && ::isatty(STDERR_FILENO) && !toTerminal) {
        FMeter = std::make_unique<TProgressMeter>(
            stderr, C.Bar ? TProgressMeter::TStyle::Bar : TProgressMeter::TStyle::Figures,
            TerminalColumns());
        FHttp.OnDocBegin = [this](TComponent*) { FMeter->Begin(FHttp.ContentLength()); };
        FHttp.OnDocData = [this](TComponent*, const char*, int) {
            FMeter->Update(FHttp.ReceivedCount());
        };
    }
}

void TRun::HeaderEnded() {
    FCourse.HeaderSeen = true;
    FCourse.HeaderStatus = FHttp.StatusCode();
    FCourse.HeaderReason = FHttp.ReasonPhrase();
    const int status = FHttp.StatusCode();
    // The body of a response the client may drop (a relocation, a request
    // for credentials) is held until it is dropped or turns out final.
    const bool hold = (status >= 300 && status < 400 && FHttp.FollowRelocation()) ||
                      status == 401 || status == 407;
    FOut.BeginBody(hold);
    // Asked for codings the client undoes, a body in another one is no use:
    // it is dropped, and when it is the final answer's, the transfer stops.
    FCourse.UnknownCoding.clear();
    if (C.Compressed && !ContentCodingsKnown(FHttp.ContentEncoding())) {
        FCourse.UnknownCoding = FHttp.ContentEncoding();
        FOut.DiscardBody();
        if (!hold)
            FHttp.CtrlSocket()->CloseLater();
    }
    // A final body whose length is written as it comes is refused at once
    // when the length is too large (HEAD, 204 and 304 answers have none).
    if (!hold && !C.Head && status != 204 && status != 304 &&
        (!C.Compressed || TrimBlanks(FHttp.ContentEncoding()).empty()))
        FOut.Announce(FHttp.ContentLength());
    if (C.Verbose)
        for (const std::string& line : FHttp.HeaderLines().Lines())
            std::fprintf(stderr, "< %s\n", line.c_str());
    if (C.Include || C.Head) {
        std::string text;
        for (const std::string& line : FHttp.HeaderLines().Lines())
            text += line + "\r\n";
        FOut.WriteThrough(text + "\r\n");
    }
}

int TRun::Execute() {
    if (!C.OutFile.empty() && !FOut.Open(C.OutFile)) {
        Report("cannot write " + C.OutFile + ": " + std::strerror(errno));
        return exitWrite;
    }
    int status = PreparePost();
    if (status != kContinue)
        return status;

    bool failed = false;
    try {
        Configure();
        if (C.Head) {
            FHttp.Head();
        } else if (C.Post) {
            FHttp.SetPostStream(FPost);
            FHttp.Post();
        } else {
            FHttp.Get();
        }
    } catch (const Exception&) {
        failed = true;
    }
    FOut.Flush();
    if (FMeter)
        FMeter->Finish();

    // The URL the failure belongs to: the last relocation's, when there was one.
    std::string where = C.Url;
    if (FHttp.LocationChangeCurCount() > 0 && !FHttp.Location().empty() &&
        FHttp.Location() != C.Url)
        where = FHttp.Location() + " (relocated from " + C.Url + ")";
    if (FOut.WriteError()) {
        Report("cannot write " +
               (C.OutFile.empty() ? std::string("to standard output") : C.OutFile) + ": " +
               std::strerror(FOut.WriteError()) + " (while fetching " + C.Url + ")");
        return exitWrite;
    }
    if (FCourse.TooManyRelocations) {
        Report(C.Url + ": stopped after " + std::to_string(FHttp.LocationChangeMaxCount()) +
               " relocations (--max-redirs)");
        return exitRelocations;
    }
    if (FOut.TooLarge()) {
        Report(where + ": the body is larger than --max-filesize " + std::to_string(C.MaxFileSize) +
               " bytes");
        return exitFileSize;
    }
    if (!FCourse.UnknownCoding.empty()) {
        Report(where + ": the body's content coding '" + FCourse.UnknownCoding +
               "' is not one httpcli can undo (--compressed)");
        return exitBadContentEncoding;
    }
    if (!failed && FHttp.StatusCode() >= 400) {
        // A 401 or 407 that stands: the client returns it, the caller fails.
        Report(where + ": the server answered " + std::to_string(FHttp.StatusCode()) + " " +
               FHttp.ReasonPhrase());
        return exitHttpError;
    }
    if (!failed)
        return exitOk;
    const int code = FailureExit(FHttp, FCourse);
    std::string message = FHttp.ReasonPhrase();
    if (code == exitHttpError)
        message = "the server answered " + std::to_string(FHttp.StatusCode()) + " " + message;
    Report(where + ": " + message);
    return code;
}

} // namespace

int main(int argc, char** argv) {
    TCommand command;
    int status = ParseCommandLine(argc, argv, command);
    if (status != kContinue)
        return status;
    // A reader that goes away (httpcli URL | head) is a failed write, not a
    // signal that ends the program without a word.
    std::signal(SIGPIPE, SIG_IGN);
    TRun run(command);
    return run.Execute();
}
