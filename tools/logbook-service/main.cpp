// logbook-service: the stand-in for the online logbook.
//   logbook-service [--listen HOST:PORT] [--account CALLSIGN:CODE]...
// Without --account it knows one account, QQ9XYZ with the code 9999999999.
#include "guarded_server.h"
#include "service.h"

#include <httplib.h>

#include <QGuiApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
httplib::Server* gServer = nullptr;
void Stop(int) {
    if (gServer)
        gServer->stop();
}
} // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    int port = 18080;
    std::map<std::string, std::string> accounts;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--listen") {
            std::string v = value();
            size_t colon = v.rfind(':');
            if (colon == std::string::npos) {
                std::fprintf(stderr, "--listen wants HOST:PORT\n");
                return 2;
            }
            host = v.substr(0, colon);
            port = std::atoi(v.c_str() + colon + 1);
        } else if (arg == "--account") {
            std::string v = value();
            size_t colon = v.find(':');
            if (colon == std::string::npos || colon == 0) {
                std::fprintf(stderr, "--account wants CALLSIGN:CODE\n");
                return 2;
            }
            accounts[v.substr(0, colon)] = v.substr(colon + 1);
        } else {
            std::fprintf(stderr,
                         "usage: logbook-service [--listen HOST:PORT] [--account CALLSIGN:CODE]...\n");
            return arg == "--help" ? 0 : 2;
        }
    }
    if (accounts.empty())
        accounts["QQ9XYZ"] = "9999999999";

    // The map is drawn with Qt's image classes; labels need a GUI application.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);

    logbook::Service service(accounts);
    logbook::GuardedServer server;
    service.Mount(server);
    gServer = &server;
    std::signal(SIGINT, Stop);
    std::signal(SIGTERM, Stop);
    if (!server.bind_to_port(host.c_str(), port)) {
        std::fprintf(stderr, "logbook-service: cannot listen on %s:%d\n", host.c_str(), port);
        return 1;
    }
    std::printf("logbook-service: listening on http://%s:%d/ (%zu account%s)\n", host.c_str(), port,
                accounts.size(), accounts.size() == 1 ? "" : "s");
    std::fflush(stdout);
    server.listen_after_bind();
    return 0;
}
