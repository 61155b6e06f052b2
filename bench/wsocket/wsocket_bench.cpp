// Loopback receive throughput: one TWSocket taking 256 MiB from the scripted
// peer, beside a plain blocking recv loop on the same kind of connection
// with the same 64 KiB pieces. Each iteration runs both, taking turns at
// going first; the counters give each one's throughput by the wall clock,
// the receiving thread's CPU time per side, and the ratio that matters.
#include "bench/support/spent.h"
#include "net/socket/wsocket.h"
#include "tests/support/scripted_peer.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

constexpr std::size_t kVolume = 256u * 1024 * 1024;
constexpr std::size_t kPiece = 64 * 1024;

// The peer is started outside the timed part, connected and sending inside.
bool ReceiveWithTWSocket(testpeer::ScriptedPeer& peer, std::vector<char>& buffer) {
    TWSocket socket;
    std::size_t total = 0;
    bool closed = false;
    socket.OnDataAvailable = [&](TComponent*, WORD) {
        int n = socket.Receive(buffer.data(), static_cast<int>(buffer.size()));
        if (n > 0)
            total += static_cast<std::size_t>(n);
    };
    socket.OnSessionClosed = [&](TComponent*, WORD) { closed = true; };
    socket.SetAddr("127.0.0.1");
    socket.SetPort(std::to_string(peer.Port()));
    socket.Connect();
    PumpUntil([&] { return closed; }, 120000);
    return total == kVolume;
}

bool ReceiveWithRecvLoop(testpeer::ScriptedPeer& peer, std::vector<char>& buffer) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(peer.Port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::size_t total = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        for (;;) {
            ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0)
                break;
            total += static_cast<std::size_t>(n);
        }
    }
    ::close(fd);
    return total == kVolume;
}

void BM_Receive256MiB(benchmark::State& state) {
    std::vector<char> buffer(kPiece);
    bench::TSpent ours, bare;
    auto run = [&](bench::TSpent& spent,
                   bool (*receive)(testpeer::ScriptedPeer&, std::vector<char>&)) {
        testpeer::ScriptedPeer peer;
        peer.Script({testpeer::SendFiller(kVolume), testpeer::Close()});
        return spent.Time([&] { return receive(peer, buffer); });
    };
    for (auto _ : state) {
        bool ok;
        if (state.iterations() % 2 == 0)
            ok = run(ours, ReceiveWithTWSocket) && run(bare, ReceiveWithRecvLoop);
        else
            ok = run(bare, ReceiveWithRecvLoop) && run(ours, ReceiveWithTWSocket);
        if (!ok) {
            state.SkipWithError("short transfer");
            break;
        }
    }
    const double mib = static_cast<double>(state.iterations()) * (kVolume / (1024.0 * 1024.0));
    state.counters["TWSocket_MiBps"] = mib / ours.Wall;
    state.counters["recv_MiBps"] = mib / bare.Wall;
    state.counters["TWSocket_cpu_s"] = ours.Cpu / static_cast<double>(state.iterations());
    state.counters["recv_cpu_s"] = bare.Cpu / static_cast<double>(state.iterations());
    // TWSocket's throughput over the bare loop's.
    state.counters["throughput_vs_recv"] = bare.Wall / ours.Wall;
}
BENCHMARK(BM_Receive256MiB)->Unit(benchmark::kMillisecond)->Iterations(4)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
