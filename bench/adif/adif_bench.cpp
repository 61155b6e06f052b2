// The stand-in service's upload handler (form fields, then the ADIF tags) on
// bodies of 16 KiB and of four times that, in turns. A handler whose work
// grows linearly with the body spends four times as long on the larger
// one; "growth" is that quotient (16 would be quadratic). The shapes: an
// ordinary upload's tags over and over, nothing but "<", "<" closed by one
// ">" at the end, and one tag whose length runs on in digits.
#include "service.h"

#include "bench/support/spent.h"

#include <benchmark/benchmark.h>

#include <map>
#include <string>

namespace {

constexpr std::size_t kSmall = 16 * 1024;

std::string Adif(int shape, std::size_t bytes) {
    switch (shape) {
    case 0: {
        std::string tags;
        while (tags.size() < bytes)
            tags += "<call:6>YO3AAA<qso_date:8>20240101<time_on:6>120000<band:3>20m<mode:3>SSB";
        return tags.substr(0, bytes);
    }
    case 1:
        return std::string(bytes, '<');
    case 2:
        return std::string(bytes - 1, '<') + ">";
    default:
        return "<call:" + std::string(bytes - 6, '9');
    }
}

const char* const kShapes[] = {"tags", "only <", "< then >", "long digits"};

void BM_UploadBody(benchmark::State& state) {
    const int shape = static_cast<int>(state.range(0));
    state.SetLabel(kShapes[shape]);
    logbook::Service service(std::map<std::string, std::string>{{"QQ9XYZ", "9999999999"}});
    const std::string head = "Callsign=QQ9XYZ&Code=9999999999&ADIFData=";
    const std::string small = head + Adif(shape, kSmall), large = head + Adif(shape, 4 * kSmall);
    bench::TSpent smallSpent, largeSpent;
    for (auto _ : state) {
        if (state.iterations() % 2 == 0) {
            smallSpent.Time([&] { benchmark::DoNotOptimize(service.HandleUpload(small)); });
            largeSpent.Time([&] { benchmark::DoNotOptimize(service.HandleUpload(large)); });
        } else {
            largeSpent.Time([&] { benchmark::DoNotOptimize(service.HandleUpload(large)); });
            smallSpent.Time([&] { benchmark::DoNotOptimize(service.HandleUpload(small)); });
        }
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["16KiB_us_cpu"] = smallSpent.Cpu / n * 1e6;
    state.counters["64KiB_us_cpu"] = largeSpent.Cpu / n * 1e6;
    // 4: linear in the body.
    state.counters["growth"] = largeSpent.Cpu / smallSpent.Cpu;
}
BENCHMARK(BM_UploadBody)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
