// logbook-service: the stand-in for the online logbook (`--help` tells how).
#include "framework/qt/runtime_dir.h"
#include "guarded_server.h"
#include "service.h"

#include <httplib.h>

#include <QGuiApplication>

#include <getopt.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#ifndef LOGBOOK_VERSION
#define LOGBOOK_VERSION "0"
#endif

namespace {

httplib::Server* gServer = nullptr;
void Stop(int) {
    if (gServer)
        gServer->stop();
}

const char* const kDefaultCall = "QQ9XYZ";
const char* const kDefaultCode = "9999999999";

struct TServiceOptions {
    std::string Host = "127.0.0.1";
    int Port = 18080;
    std::map<std::string, std::string> Accounts; // from --account
    bool DefaultAccount = true;
};

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: logbook-service [OPTION]...\n"
                 "The stand-in for the online logbook: takes the logger's uploads\n"
                 "(POST /newentry.aspx) and serves each account's log page and QSO map.\n"
                 "Contacts are kept in memory until it stops (Ctrl+C or SIGTERM).\n\n"
                 "Options ([default]):\n"
                 "  -l, --listen HOST:PORT     listen there; PORT from 1 to 65535\n"
                 "                             [127.0.0.1:18080]\n"
                 "  -a, --account CALL:CODE    add an account with its upload code; may be\n"
                 "                             repeated; the built-in account's callsign\n"
                 "                             changes its code [%s:%s]\n"
                 "      --no-default-account   leave the built-in account out, so only the\n"
                 "                             accounts of --account exist\n"
                 "  -h, --help                 print this help and exit\n"
                 "  -V, --version              print the version and exit\n\n"
                 "Exit status: 0 after a stop, 1 when it cannot listen (the port is taken\n"
                 "by another program, or the address is not this machine's), 2 for a\n"
                 "wrong command line.\n",
                 kDefaultCall, kDefaultCode);
}

int UsageError(const std::string& message) {
    std::fprintf(stderr,
                 "logbook-service: %s\nlogbook-service: 'logbook-service --help' lists the "
                 "options\n",
                 message.c_str());
    return 2;
}

// "HOST:PORT", "[v6-address]:PORT".
bool ParseListen(const std::string& text, std::string& host, int& port) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    std::string h = text.substr(0, colon), p = text.substr(colon + 1);
    if (h.size() > 2 && h.front() == '[' && h.back() == ']')
        h = h.substr(1, h.size() - 2);
    if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
        return false;
    int n = std::atoi(p.c_str());
    if (n < 1 || n > 65535)
        return false;
    host = h;
    port = n;
    return true;
}

constexpr int kContinue = -1;
enum : int { optNoDefaultAccount = 256 };

int ParseCommandLine(int argc, char** argv, TServiceOptions& o) {
    static const option kLong[] = {
        {"listen", required_argument, nullptr, 'l'},
        {"account", required_argument, nullptr, 'a'},
        {"no-default-account", no_argument, nullptr, optNoDefaultAccount},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    for (;;) {
        int id = getopt_long(argc, argv, ":l:a:hV", kLong, nullptr);
        if (id == -1)
            break;
        std::string value = optarg ? optarg : "";
        switch (id) {
        case 'l':
            if (!ParseListen(value, o.Host, o.Port))
                return UsageError("--listen wants HOST:PORT with a PORT from 1 to 65535, not '" +
                                  value + "'");
            break;
        case 'a': {
            std::size_t colon = value.find(':');
            if (colon == std::string::npos || colon == 0 || colon + 1 == value.size())
                return UsageError("--account wants CALLSIGN:CODE, not '" + value + "'");
            o.Accounts[value.substr(0, colon)] = value.substr(colon + 1);
            break;
        }
        case optNoDefaultAccount:
            o.DefaultAccount = false;
            break;
        case 'h':
            PrintUsage(stdout);
            return 0;
        case 'V':
            std::printf("logbook-service %s (QQ9XYZ Logbook)\n", LOGBOOK_VERSION);
            return 0;
        default: {
            // A long option is the word just read; a short one is optopt.
            const std::string word = argv[optind - 1];
            std::string name = word.rfind("--", 0) == 0 || !optopt || optopt >= 256
                                   ? word
                                   : std::string("-") + static_cast<char>(optopt);
            name = name.substr(0, name.find('='));
            return UsageError(id == ':' ? "option " + name + " needs a value"
                                        : "unknown option " + name);
        }
        }
    }
    if (optind < argc)
        return UsageError("no arguments are taken, only options: '" + std::string(argv[optind]) +
                          "'");
    if (o.DefaultAccount)
        o.Accounts.emplace(kDefaultCall, kDefaultCode); // an --account of it comes first
    if (o.Accounts.empty())
        return UsageError("--no-default-account leaves no account: add one with --account");
    return kContinue;
}

} // namespace

int main(int argc, char** argv) {
    TServiceOptions options;
    int status = ParseCommandLine(argc, argv, options);
    if (status != kContinue)
        return status;
    const std::string& host = options.Host;
    const int port = options.Port;
    const std::map<std::string, std::string>& accounts = options.Accounts;

    // The map is drawn with Qt's image classes; labels need a GUI application.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    NameRuntimeDirWhenUnset();
    QGuiApplication app(argc, argv);

    logbook::Service service(accounts);
    logbook::GuardedServer server;
    // The library's default sets SO_REUSEPORT, with which a second service
    // shares the port with the first and takes half of the uploads. Only
    // SO_REUSEADDR: a restart right after a stop still finds its port.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    service.Mount(server);
    gServer = &server;
    std::signal(SIGINT, Stop);
    std::signal(SIGTERM, Stop);
    if (!server.bind_to_port(host.c_str(), port)) {
        const int error = errno;
        std::string why = error == EADDRINUSE
                              ? "the port is in use (another logbook-service? stop it, or choose "
                                "another port with --listen)"
                          : error == EADDRNOTAVAIL ? "the address is not one of this machine's"
                          : error                  ? std::strerror(error)
                                                   : "the address cannot be used";
        std::fprintf(stderr, "logbook-service: cannot listen on %s:%d: %s\n", host.c_str(), port,
                     why.c_str());
        return 1;
    }
    std::printf("logbook-service: listening on http://%s:%d/ (%zu account%s)\n", host.c_str(), port,
                accounts.size(), accounts.size() == 1 ? "" : "s");
    std::fflush(stdout);
    server.listen_after_bind();
    return 0;
}
