// Shared helpers of the THttpCli suites: a client with its streams, the
// synchronous call captured as its exception text, and the exact request
// header the client is expected to send.
#pragma once

#include "framework/application.h"
#include "framework/stream.h"
#include "net/http/httpprot.h"
#include "tests/support/scripted_peer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

using namespace testpeer;

inline std::string LocalUrl(const ScriptedPeer& peer, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(peer.Port()) + path;
}

// Runs a synchronous call; returns "" when it returned normally, else the
// message of the EHttpException it raised (its code in *code).
inline std::string Outcome(const std::function<void()>& call, int* code = nullptr) {
    try {
        call();
    } catch (const EHttpException& e) {
        if (code)
            *code = e.ErrCode();
        return e.Message();
    }
    return "";
}

// Keeps the thread busy for `time`: a client that handles each piece more
// slowly than the network moves it, whatever the load of the machine.
inline void BusyFor(std::chrono::microseconds time) {
    const auto until = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < until) {
    }
}

struct HttpClientTest : ::testing::Test {
    THttpCli http;
    TMemoryStream doc;
    TMemoryStream body;

    HttpClientTest() {
        Application().ResetTerminated();
        http.SetDocStream(&doc);
        http.SetTimeout(5);
    }

    // The settings of the logbook's upload.
    void ConfigureUpload(const std::string& url, const std::string& content) {
        body.Write(content);
        body.SetPosition(0);
        http.SetPostStream(&body);
        http.SetProxy("");
        http.SetProxyPort("");
        http.SetConnection("Keep-Alive");
        http.SetContentTypePost("application/x-www-form-urlencoded");
        http.SetURL(url);
        http.SetRequestVer("1.0");
        http.SetTimeout(500);
    }
};

inline const char* kAcceptLine =
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n";
inline const char* kAgentLine = "User-Agent: Mozilla/4.0 (compatible; TORVELIX)\r\n";
