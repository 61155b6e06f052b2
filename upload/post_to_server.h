// One complete exchange with the upload endpoint of the online logbook.
#pragma once

#include "framework/strings.h"
#include "upload/hosts.h"

#include <cstdint>
#include <string>

// The longest answer kept: the service's answers are a few hundred bytes.
constexpr std::int64_t kMaxAnswerBytes = 64 * 1024;

// Where and how an exchange is made. A default-constructed one is the
// program's only configuration: the compiled-in robot host, a wait of at most
// 500 seconds and a pause of 100 ms after a successful post. Tests construct
// their own to reach a server of theirs, give up sooner or skip the pause.
struct TPostSettings {
    std::string RobotHost = ::RobotHost();
    unsigned TimeoutSeconds = 500;
    // Part of the exchange as the service has always seen it; long runs of
    // exchanges skip it.
    unsigned PauseMs = 100;
};

// Posts the body lines (each followed by CR LF) and waits for the answer.
// True with `reply` := the answer's body when it announced a positive
// Content-Length (left unchanged otherwise); false with `reply` := the
// failure's message, also for an answer longer than kMaxAnswerBytes, which
// ends the exchange. A fresh client, socket and streams serve each call and
// are freed on every path.
bool PostToServer(const TStringList& body, std::string& reply, const TPostSettings& settings);
