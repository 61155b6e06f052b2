// Wall-clock and CPU time spent by one side of a side-by-side benchmark.
// The CPU time is the calling thread's: each benchmark runs the side it
// measures on its own thread (servers and peers run on threads of their
// own), so their work is not counted.
#pragma once

#include <ctime>
#include <utility>

namespace bench {

inline double Seconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct TSpent {
    double Wall = 0, Cpu = 0;

    // Runs f, adds the time it took and returns what it returns.
    template <typename F> auto Time(F&& f) {
        struct TAdd {
            TSpent& Spent;
            double Wall = Seconds(CLOCK_MONOTONIC), Cpu = Seconds(CLOCK_THREAD_CPUTIME_ID);
            ~TAdd() {
                Spent.Cpu += Seconds(CLOCK_THREAD_CPUTIME_ID) - Cpu;
                Spent.Wall += Seconds(CLOCK_MONOTONIC) - Wall;
            }
        } add{*this};
        return std::forward<F>(f)();
    }
};

} // namespace bench
