// A scripted TCP peer for socket and HTTP tests: listens on 127.0.0.1 with
// an OS-assigned port on its own thread, records every byte it receives and
// replays a script of steps on each connection it accepts. It stops and
// joins its threads in its destructor, so a failing assertion cannot leave
// it running.
//
//   ScriptedPeer peer;
//   peer.Script({WaitFor("\r\n\r\n"), Send("HTTP/1.0 200 OK\r\n\r\nhi"), Close()});
//   ... connect to 127.0.0.1:peer.Port() ...
//   EXPECT_TRUE(peer.WaitForText("GET /", 2000));
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testpeer {

struct Step {
    enum class Kind {
        Send,          // send `Data`
        SendFiller,    // send `Count` bytes of a repeating pattern (large volumes)
        WaitBytes,     // read until the connection has received `Count` bytes in all
        WaitFor,       // read until the connection's bytes contain `Data`
        Pause,         // wait `Ms` milliseconds without reading
        Close,         // graceful close: no more sends, read to the end, close
        Reset,         // close with SO_LINGER 0: the other side sees a reset
        NeverAnswer,   // read (and record) until the other side closes or the peer stops
        ReadSlowly,    // read `Count` bytes every `Ms` milliseconds until the end
        ReadSlowlyTo,  // read `Chunk` bytes every `Ms` milliseconds until `Count` in all
        SetReceiveBuf, // SO_RCVBUF of the connection := `Count`
    };
    Kind What;
    std::string Data;
    std::size_t Count = 0;
    int Ms = 0;
    std::size_t Chunk = 0;
};

Step Send(std::string bytes);
// `total` bytes of the pattern FillerByte(0), FillerByte(1), ...
Step SendFiller(std::size_t total);
inline char FillerByte(std::size_t i) {
    return static_cast<char>('A' + i % 23);
}
Step WaitBytes(std::size_t total);
Step WaitFor(std::string text);
Step Pause(int ms);
Step Close();
Step Reset();
Step NeverAnswer();
Step ReadSlowly(std::size_t bytesPerRead, int msBetween);
// Reads slowly until the connection has received `total` bytes in all.
Step ReadSlowlyTo(std::size_t total, std::size_t bytesPerRead, int msBetween);
Step SetReceiveBuf(int bytes);

// The bytes of `values` (0 to 255 each), for scripts of binary protocols.
std::string Bytes(std::initializer_list<int> values);

class ScriptedPeer {
public:
    // receiveBuffer > 0 sets SO_RCVBUF on the listening socket, so accepted
    // connections advertise a small window from their first segment.
    explicit ScriptedPeer(int receiveBuffer = 0);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    std::uint16_t Port() const { return FPort; }
    // The steps every connection accepted from now on replays. Without a
    // script a connection is read until it ends (as NeverAnswer).
    void Script(std::vector<Step> steps);
    // One script per connection: the first connection accepted from now on
    // replays the first, the next the second, and so on; the last one serves
    // every further connection.
    void ScriptEach(std::vector<std::vector<Step>> scripts);

    // Everything received, all connections in order of arrival.
    std::string Received() const;
    // What the connection accepted as number `connection` (from 0) received.
    std::string ReceivedOn(int connection) const;
    std::size_t ReceivedCount() const;
    int Connections() const;
    // Connections whose other side has closed (end of stream seen or reset).
    int ClosedByClient() const;

    bool WaitForBytes(std::size_t n, int ms) const;
    bool WaitForText(const std::string& text, int ms) const;
    bool WaitForConnections(int n, int ms) const;
    bool WaitForClientClose(int n, int ms) const;
    // Waits until the peer has reset `n` connections (their Reset steps).
    bool WaitForResets(int n, int ms) const;
    // When a byte was last sent to a client (the clock's epoch before any).
    std::chrono::steady_clock::time_point LastSent() const;

    // Stops accepting, ends every connection and joins the threads.
    void Stop();

private:
    struct Connection;
    void AcceptLoop();
    void RunConnection(int fd, int index, const std::vector<Step>& script);
    bool ReadSome(Connection& c, std::size_t maxBytes, int timeoutMs);
    bool WaitCondition(const std::function<bool()>& pred, int ms) const;
    bool Stopping() const;

    int FListenFd = -1;
    int FStopFd = -1; // eventfd: readable once Stop() began
    std::uint16_t FPort = 0;
    std::thread FAcceptThread;
    std::vector<std::thread> FConnThreads;
    std::vector<Step> FScript;
    std::deque<std::vector<Step>> FScripts;

    mutable std::mutex FLock;
    mutable std::condition_variable FChanged;
    std::string FReceived;
    std::vector<std::string> FReceivedOn;
    int FConnections = 0;
    int FClosedByClient = 0;
    int FResets = 0;
    bool FStopping = false;
    std::atomic<std::chrono::steady_clock::rep> FLastSent{0};
};

// A loopback listener without a thread of its own: the test decides when a
// connection is accepted and reset, so it knows the reset was sent before it
// looks at the other side.
class ManualListener {
public:
    ManualListener();
    ~ManualListener();
    ManualListener(const ManualListener&) = delete;
    ManualListener& operator=(const ManualListener&) = delete;
    std::uint16_t Port() const { return FPort; }
    // Fills the accept queue with a connection of its own, so that the next
    // client's handshake waits (its SYN is dropped and sent again a second
    // later); FreeQueue accepts and closes that connection again.
    void FillQueue();
    void FreeQueue();
    // Waits until a connection is ready to be accepted.
    bool WaitPending(int ms);
    // Accepts one connection and closes it with SO_LINGER 0.
    bool AcceptAndReset();

private:
    int FFd = -1;
    int FFiller = -1;
    std::uint16_t FPort = 0;
};

// A loopback port on which nothing listens, held bound for the whole run, for
// refused-connection tests.
std::uint16_t RefusedPort();

} // namespace testpeer

// Services the calling thread's messages until `cond` holds or `ms` passes;
// waits on the thread's wait handle in between. Returns the final `cond`.
bool PumpUntil(const std::function<bool()>& cond, int ms);
