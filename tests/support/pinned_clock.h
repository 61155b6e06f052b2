// Instants for the platform's clock hook, named by their UTC date-time.
#pragma once

#include "framework/datetime.h"

#include <chrono>
#include <cmath>
#include <cstdint>

namespace testpeer {

inline std::chrono::system_clock::time_point InstantOfUtc(TDateTime utc) {
    // Day 25569 of the date-time type is the Unix epoch, 1 January 1970.
    const auto ms = static_cast<std::int64_t>(std::llround((utc - 25569.0) * 86400000.0));
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
}

} // namespace testpeer
