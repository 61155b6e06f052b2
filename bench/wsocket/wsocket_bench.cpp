// Loopback receive throughput: one TWSocket taking 256 MiB from the scripted
// peer, beside a plain blocking recv loop on the same kind of connection.
// The ratio of the two is the figure that matters.
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

constexpr std::size_t Volume = 256u * 1024 * 1024;

void BM_TWSocketReceive(benchmark::State& state) {
    std::vector<char> buffer(65536);
    for (auto _ : state) {
        testpeer::ScriptedPeer peer;
        peer.Script({testpeer::SendFiller(Volume), testpeer::Close()});
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
        if (total != Volume)
            state.SkipWithError("short transfer");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Volume));
}
BENCHMARK(BM_TWSocketReceive)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_BlockingRecvLoop(benchmark::State& state) {
    std::vector<char> buffer(65536);
    for (auto _ : state) {
        testpeer::ScriptedPeer peer;
        peer.Script({testpeer::SendFiller(Volume), testpeer::Close()});
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(peer.Port());
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            state.SkipWithError("connect failed");
            ::close(fd);
            break;
        }
        std::size_t total = 0;
        for (;;) {
            ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0)
                break;
            total += static_cast<std::size_t>(n);
        }
        ::close(fd);
        if (total != Volume)
            state.SkipWithError("short transfer");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Volume));
}
BENCHMARK(BM_BlockingRecvLoop)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
