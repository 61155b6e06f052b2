// The stand-in logbook service in process, for the tests and the screenshots.
#pragma once

#include "guarded_server.h"
#include "service.h"

#include <httplib.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testpeer {

// The stand-in logbook service with all its pages on its own loopback port,
// with the account QQ9XYZ / 9999999999 and the limits the program runs with
// unless others are given. It records each upload body as received and is
// stopped by its destructor (or by Stop), so a failing assertion cannot
// leave it running.
class TLocalService {
public:
    explicit TLocalService(logbook::ServerLimits limits = {})
        : FService(std::map<std::string, std::string>{{"QQ9XYZ", "9999999999"}}), FServer(limits) {
        // Registered before the service's own pages, so it is the one served.
        FServer.Post("/newentry.aspx", [this](const httplib::Request& req, httplib::Response& res) {
            {
                std::lock_guard lock(FLock);
                FBodies.push_back(req.body);
            }
            res.set_content(FService.HandleUpload(req.body), "text/xml");
        });
        FService.Mount(FServer);
        FPort = FServer.bind_to_any_port("127.0.0.1");
        // Bound and listening already: connections wait in the backlog.
        FThread = std::thread([this] { FServer.listen_after_bind(); });
    }
    ~TLocalService() { Stop(); }

    // Closes the listening socket: connections are refused from now on.
    void Stop() {
        if (!FThread.joinable())
            return;
        FServer.stop();
        FThread.join();
    }
    int Port() const { return FPort; }
    logbook::Service& Service() { return FService; }
    logbook::GuardedServer& Server() { return FServer; }
    std::vector<std::string> Bodies() const {
        std::lock_guard lock(FLock);
        return FBodies;
    }

private:
    logbook::Service FService;
    logbook::GuardedServer FServer;
    int FPort = 0;
    std::thread FThread;
    mutable std::mutex FLock;
    std::vector<std::string> FBodies;
};

} // namespace testpeer
