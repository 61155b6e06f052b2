#include "tools/httpcli/progress.h"

#include <algorithm>
#include <cinttypes>

std::string HumanSize(double bytes) {
    static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    else
        std::snprintf(text, sizeof text, "%.1f %s", bytes, kUnits[unit]);
    return text;
}

namespace {

std::string Clock(double seconds) {
    long s = static_cast<long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    return text;
}

} // namespace

std::string TProgressMeter::Line(TStyle style, int columns, std::int64_t received,
                                 std::int64_t total, double seconds) {
    const bool known = total > 0;
    const double fraction = known ? std::min(1.0, static_cast<double>(received) / total) : 0.0;
    char text[160];
    if (style == TStyle::Bar) {
        if (!known) {
            std::snprintf(text, sizeof text, "%s",
                          HumanSize(static_cast<double>(received)).c_str());
            return text;
        }
        // The bar fills what the percentage leaves of the line.
        const int width = std::max(10, columns - 8);
        const int filled = static_cast<int>(fraction * width);
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.resize(static_cast<std::size_t>(width), ' ');
        std::snprintf(text, sizeof text, "%s %5.1f%%", bar.c_str(), fraction * 100);
        return text;
    }
    const double rate = seconds > 0 ? received / seconds : 0.0;
    const std::string got = HumanSize(static_cast<double>(received));
    const std::string speed = HumanSize(rate) + "/s";
    if (!known) {
        std::snprintf(text, sizeof text, "%10s  %12s  %s", got.c_str(), speed.c_str(),
                      Clock(seconds).c_str());
        return text;
    }
    const std::string left =
        rate > 0 ? Clock(static_cast<double>(total - std::min(received, total)) / rate)
                 : std::string("--:--:--");
    std::snprintf(text, sizeof text, "%3d%%  %10s of %-10s  %12s  %s left",
                  static_cast<int>(fraction * 100), got.c_str(),
                  HumanSize(static_cast<double>(total)).c_str(), speed.c_str(), left.c_str());
    return text;
}

void TProgressMeter::Begin(std::int64_t total) {
    FTotal = total;
    FReceived = 0;
    FStart = std::chrono::steady_clock::now();
}

void TProgressMeter::Update(std::int64_t received) {
    FReceived = received;
    Draw(false);
}

void TProgressMeter::Finish() {
    if (!FDrawn && FReceived == 0)
        return;
    Draw(true);
    std::fputc('\n', FOut);
    std::fflush(FOut);
    FDrawn = false;
}

void TProgressMeter::Draw(bool force) {
    const auto now = std::chrono::steady_clock::now();
    if (!force && FDrawn && now - FLastDraw < std::chrono::milliseconds(200))
        return;
    FLastDraw = now;
    FDrawn = true;
    const double seconds = std::chrono::duration<double>(now - FStart).count();
    std::string line = Line(FStyle, FColumns, FReceived, FTotal, seconds);
    // Blanks after the text wipe what a longer earlier line left behind.
    std::fprintf(FOut, "\r%-*s", FColumns - 1, line.c_str());
    std::fflush(FOut);
}
