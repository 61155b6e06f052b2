// One complete exchange with the upload endpoint of the online logbook.
#pragma once

#include "framework/strings.h"

#include <cstdint>
#include <string>

// The longest answer kept: the service's answers are a few hundred bytes.
constexpr std::int64_t kMaxAnswerBytes = 64 * 1024;

// Posts the body lines (each followed by CR LF) and waits for the answer.
// True with `reply` := the answer's body when it announced a positive
// Content-Length (left unchanged otherwise); false with `reply` := the
// failure's message, also for an answer longer than kMaxAnswerBytes, which
// ends the exchange. A fresh client, socket and streams serve each call and
// are freed on every path.
bool PostToServer(const TStringList& body, std::string& reply);

namespace upload::testing {
// The synchronous wait's time-out in seconds; 0 restores the exchange's 500.
void SetPostTimeout(unsigned seconds);
// The pause after a successful post in milliseconds; a negative value
// restores the exchange's 100. Long runs of exchanges skip it.
void SetPauseAfterPost(int ms);
} // namespace upload::testing
