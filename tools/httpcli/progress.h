// The progress meter httpcli writes to standard error while a body arrives,
// as curl does when the body does not go to the terminal: a line of figures,
// or with -# a bar of '#'. It redraws the line at most every fifth of a
// second and ends it with a line feed when the request ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

class TProgressMeter {
public:
    enum class TStyle { Figures, Bar };

    TProgressMeter(std::FILE* out, TStyle style, int columns)
        : FOut(out), FStyle(style), FColumns(columns < 20   ? 20
                                             : columns > 80 ? 80
                                                            : columns) {}

    // A new body begins; total is its announced length, or -1.
    void Begin(std::int64_t total);
    // received bytes of the current body so far.
    void Update(std::int64_t received);
    // Draws the last state and ends the line.
    void Finish();

    // One line of the meter, without the carriage return (tests call this).
    static std::string Line(TStyle style, int columns, std::int64_t received, std::int64_t total,
                            double seconds);

private:
    void Draw(bool force);

    std::FILE* FOut;
    TStyle FStyle;
    int FColumns;
    std::int64_t FTotal = -1;
    std::int64_t FReceived = 0;
    bool FDrawn = false;
    std::chrono::steady_clock::time_point FStart = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point FLastDraw{};
};

// "1.5 MiB", "512 B": the size with a binary unit and one decimal.
std::string HumanSize(double bytes);
