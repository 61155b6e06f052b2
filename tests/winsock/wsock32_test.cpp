// The stand-in "wsock32.dll" on real loopback connections: the notification
// rules of WSAAsyncSelect, the asynchronous lookups and the error codes. The
// module is opened here directly from its export directory (the loader has
// its own tests), and the notifications are received by a plain hidden
// window of the test's own, driven by ProcessReadyEvents/PeekMessageA.
#include "platform/winsock/winsock.h"

#include "platform/win32/reactor.h"
#include "platform/win32/windows.h"
#include "platform/winsock/errno_map.h"
#include "tests/support/scripted_peer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

using namespace winsock;

namespace {

// ---- the module ---------------------------------------------------------------

struct Api {
    PFN_WSAStartup WSAStartup;
    PFN_WSACleanup WSACleanup;
    PFN_WSAGetLastError WSAGetLastError;
    PFN_WSASetLastError WSASetLastError;
    PFN_WSAAsyncSelect WSAAsyncSelect;
    PFN_WSAAsyncGetHostByName WSAAsyncGetHostByName;
    PFN_WSAAsyncGetHostByAddr WSAAsyncGetHostByAddr;
    PFN_WSACancelAsyncRequest WSACancelAsyncRequest;
    PFN_socket socket;
    PFN_connect connect;
    PFN_send send;
    PFN_recv recv;
    PFN_closesocket closesocket;
    PFN_ioctlsocket ioctlsocket;
    PFN_setsockopt setsockopt;
    PFN_getsockopt getsockopt;
    PFN_bind bind;
    PFN_listen listen;
    PFN_accept accept;
    PFN_getsockname getsockname;
    PFN_shutdown shutdown;
    PFN_inet_addr inet_addr;
    PFN_inet_ntoa inet_ntoa;
    PFN_htons htons;
    PFN_gethostbyname gethostbyname;
    PFN_getservbyname getservbyname;
};

std::string ProgramFolder() {
    char path[4096] = {};
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string p(path, n > 0 ? static_cast<size_t>(n) : 0);
    return p.substr(0, p.rfind('/'));
}

const IcsExportDirectory* Directory() {
    static const IcsExportDirectory* dir = [] {
        void* h = dlopen((ProgramFolder() + "/libwsock32.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        return h ? static_cast<const IcsExportDirectory*>(dlsym(h, ICS_EXPORT_DIRECTORY_SYMBOL))
                 : nullptr;
    }();
    return dir;
}

void* Export(const char* name) {
    const IcsExportDirectory* dir = Directory();
    for (unsigned i = 0; dir && i < dir->Count; ++i)
        if (std::strcmp(dir->Entries[i].Name, name) == 0)
            return dir->Entries[i].Address;
    return nullptr;
}

template <typename Fn> void Bind(Fn& fn, const char* name) {
    fn = reinterpret_cast<Fn>(Export(name));
}

Api LoadApi() {
    Api a{};
    Bind(a.WSAStartup, "WSAStartup");
    Bind(a.WSACleanup, "WSACleanup");
    Bind(a.WSAGetLastError, "WSAGetLastError");
    Bind(a.WSASetLastError, "WSASetLastError");
    Bind(a.WSAAsyncSelect, "WSAAsyncSelect");
    Bind(a.WSAAsyncGetHostByName, "WSAAsyncGetHostByName");
    Bind(a.WSAAsyncGetHostByAddr, "WSAAsyncGetHostByAddr");
    Bind(a.WSACancelAsyncRequest, "WSACancelAsyncRequest");
    Bind(a.socket, "socket");
    Bind(a.connect, "connect");
    Bind(a.send, "send");
    Bind(a.recv, "recv");
    Bind(a.closesocket, "closesocket");
    Bind(a.ioctlsocket, "ioctlsocket");
    Bind(a.setsockopt, "setsockopt");
    Bind(a.getsockopt, "getsockopt");
    Bind(a.bind, "bind");
    Bind(a.listen, "listen");
    Bind(a.accept, "accept");
    Bind(a.getsockname, "getsockname");
    Bind(a.shutdown, "shutdown");
    Bind(a.inet_addr, "inet_addr");
    Bind(a.inet_ntoa, "inet_ntoa");
    Bind(a.htons, "htons");
    Bind(a.gethostbyname, "gethostbyname");
    Bind(a.getservbyname, "getservbyname");
    return a;
}

// ---- the receiving window ---------------------------------------------------------

struct Note {
    UINT msg;
    WPARAM wParam;
    WORD event; // or buffer length, for lookups
    WORD error;
};
std::vector<Note> g_notes;

LRESULT CALLBACK_Record(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg >= WM_USER) {
        g_notes.push_back(Note{msg, wParam, LOWORD(static_cast<DWORD>(lParam)),
                               HIWORD(static_cast<DWORD>(lParam))});
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

constexpr UINT kNetMsg = WM_USER + 1;
constexpr UINT kLookupMsg = WM_USER + 2;

void PumpOnce() {
    platform::ProcessReadyEvents();
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&m);
}

// Services messages until `cond` holds or `ms` pass, waiting on the thread's
// wait handle in between.
template <typename Cond> bool Pump(Cond cond, int ms = 2000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        PumpOnce();
        if (cond())
            return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            return false;
        // Some conditions are not announced by a message (bytes reaching a
        // socket that is not watched), so look again at least every 10 ms.
        pollfd p{platform::ThreadWaitHandle(), POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 10)));
    }
}

// True when the thread's wait handle has something ready: after a socket's
// notifications are all posted and handled, it must be quiet, or a
// level-triggered loop would spin on it.
bool WaitHandleBusy() {
    pollfd p{platform::ThreadWaitHandle(), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

SOCKADDR_IN Loopback(std::uint16_t port) {
    SOCKADDR_IN a{};
    a.sin_family = AF_INET;
    a.sin_port = static_cast<winsock::u_short>((port >> 8) | (port << 8));
    a.sin_addr.s_addr = 0x0100007Fu; // 127.0.0.1 in network order
    return a;
}

class Wsock32 : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(Directory(), nullptr) << dlerror();
        api = LoadApi();
        ASSERT_NE(api.WSAStartup, nullptr);
        WSADATA data{};
        ASSERT_EQ(api.WSAStartup(0x0101, &data), 0);
        EXPECT_EQ(data.wVersion, 0x0101);
        WNDCLASSA wc{};
        wc.lpfnWndProc = CALLBACK_Record;
        wc.lpszClassName = "Wsock32TestWindow";
        RegisterClassA(&wc);
        hwnd = CreateWindowExA(0, "Wsock32TestWindow", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                               nullptr, nullptr);
        ASSERT_NE(hwnd, nullptr);
        g_notes.clear();
    }

    void TearDown() override {
        for (SOCKET s : opened)
            api.closesocket(s);
        api.WSACleanup();
        DestroyWindow(hwnd);
        UnregisterClassA("Wsock32TestWindow", nullptr);
        PumpOnce();
    }

    SOCKET Open() {
        SOCKET s = api.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        EXPECT_NE(s, INVALID_SOCKET);
        opened.push_back(s);
        return s;
    }

    void Forget(SOCKET s) { std::erase(opened, s); }

    // A socket connected to the peer under WSAAsyncSelect, its FD_CONNECT and
    // first FD_WRITE received.
    SOCKET Connected(std::uint16_t port, long mask = FD_READ | FD_WRITE | FD_CLOSE | FD_CONNECT) {
        SOCKET s = Open();
        EXPECT_EQ(api.WSAAsyncSelect(s, hwnd, kNetMsg, mask), 0);
        SOCKADDR_IN a = Loopback(port);
        EXPECT_EQ(api.connect(s, reinterpret_cast<SOCKADDR*>(&a), sizeof a), SOCKET_ERROR);
        EXPECT_EQ(api.WSAGetLastError(), WSAEWOULDBLOCK);
        EXPECT_TRUE(Pump([&] { return Count(s, FD_CONNECT) == 1 && Count(s, FD_WRITE) == 1; }));
        return s;
    }

    int Count(SOCKET s, long event, int error = -1) const {
        int n = 0;
        for (const Note& note : g_notes)
            if (note.msg == kNetMsg && note.wParam == s && note.event == event &&
                (error < 0 || note.error == error))
                ++n;
        return n;
    }

    std::vector<WORD> Events(SOCKET s) const {
        std::vector<WORD> v;
        for (const Note& note : g_notes)
            if (note.msg == kNetMsg && note.wParam == s)
                v.push_back(note.event);
        return v;
    }

    // Lets whatever is already on its way arrive.
    void Settle(int ms = 100) {
        Pump([] { return false; }, ms);
    }

    Api api{};
    HWND hwnd = nullptr;
    std::vector<SOCKET> opened;
};

} // namespace

// ---- connecting -----------------------------------------------------------------

TEST_F(Wsock32, ConnectGivesOneConnectThenOneWrite) {
    testpeer::ScriptedPeer peer;
    SOCKET s = Connected(peer.Port());
    Settle();
    EXPECT_EQ(Events(s), (std::vector<WORD>{FD_CONNECT, FD_WRITE}));
    EXPECT_EQ(Count(s, FD_CONNECT, 0), 1);
    EXPECT_FALSE(WaitHandleBusy());
}

TEST_F(Wsock32, RefusedConnectGivesConnectWith10061AndNothingElse) {
    SOCKET s = Open();
    ASSERT_EQ(api.WSAAsyncSelect(s, hwnd, kNetMsg, FD_READ | FD_WRITE | FD_CLOSE | FD_CONNECT), 0);
    SOCKADDR_IN a = Loopback(testpeer::RefusedPort());
    EXPECT_EQ(api.connect(s, reinterpret_cast<SOCKADDR*>(&a), sizeof a), SOCKET_ERROR);
    EXPECT_EQ(api.WSAGetLastError(), WSAEWOULDBLOCK);
    ASSERT_TRUE(Pump([&] { return Count(s, FD_CONNECT) == 1; }));
    Settle();
    EXPECT_EQ(Events(s), std::vector<WORD>{FD_CONNECT});
    EXPECT_EQ(Count(s, FD_CONNECT, WSAECONNREFUSED), 1);
    EXPECT_FALSE(WaitHandleBusy());
}

TEST_F(Wsock32, BlockingConnectAndEchoWithoutAsyncSelect) {
    testpeer::ScriptedPeer peer;
    peer.Script({testpeer::WaitFor("ping"), testpeer::Send("pong"), testpeer::Close()});
    SOCKET s = Open();
    SOCKADDR_IN a = Loopback(peer.Port());
    ASSERT_EQ(api.connect(s, reinterpret_cast<SOCKADDR*>(&a), sizeof a), 0);
    EXPECT_EQ(api.send(s, "ping", 4, 0), 4);
    char buf[16] = {};
    int got = 0;
    while (got < 4) {
        int n = api.recv(s, buf + got, sizeof buf - got, 0);
        ASSERT_GT(n, 0);
        got += n;
    }
    EXPECT_EQ(std::string(buf, 4), "pong");
    EXPECT_EQ(api.recv(s, buf, sizeof buf, 0), 0); // the peer's close
}

// ---- reading --------------------------------------------------------------------

TEST_F(Wsock32, ReadIsReEnabledOnlyByRecv) {
    testpeer::ScriptedPeer peer;
    peer.Script({testpeer::Send("abc"), testpeer::Pause(50), testpeer::Send("def"),
                 testpeer::NeverAnswer()});
    SOCKET s = Connected(peer.Port());
    ASSERT_TRUE(Pump([&] { return Count(s, FD_READ) == 1; }));
    // The second piece arrives, but nobody has called recv: no new FD_READ.
    winsock::u_long avail = 0;
    ASSERT_TRUE(Pump([&] {
        api.ioctlsocket(s, FIONREAD, &avail);
        return avail == 6;
    }));
    Settle();
    EXPECT_EQ(Count(s, FD_READ), 1);
    EXPECT_FALSE(WaitHandleBusy());
    // A recv that leaves data behind re-arms it at once.
    char buf[8];
    EXPECT_EQ(api.recv(s, buf, 2, 0), 2);
    ASSERT_TRUE(Pump([&] { return Count(s, FD_READ) == 2; }));
    EXPECT_EQ(api.recv(s, buf, sizeof buf, 0), 4);
    EXPECT_EQ(std::string(buf, 4), "cdef");
    // Emptied: recv re-enables, but there is nothing to announce.
    Settle();
    EXPECT_EQ(Count(s, FD_READ), 2);
    EXPECT_EQ(api.recv(s, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(api.WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_FALSE(WaitHandleBusy());
}

// FIONWRITE (not a Windows command) tells how much of what was sent the peer
// has not taken yet: it stays while the peer does not read and falls to 0
// once it has read everything.
TEST_F(Wsock32, UnsentCountFallsAsThePeerReads) {
    testpeer::ScriptedPeer peer(8 * 1024);
    peer.Script({testpeer::Pause(300), testpeer::WaitBytes(512 * 1024), testpeer::NeverAnswer()});
    SOCKET s = Connected(peer.Port());
    const std::string block(64 * 1024, 'u');
    std::size_t queued = 0;
    while (queued < 512 * 1024) {
        int n = api.send(s, block.data(), static_cast<int>(block.size()), 0);
        if (n <= 0)
            break;
        queued += static_cast<std::size_t>(n);
    }
    winsock::u_long unsent = 0;
    ASSERT_EQ(api.ioctlsocket(s, winsock::FIONWRITE, &unsent), 0);
    EXPECT_GT(unsent, 0u);
    ASSERT_TRUE(Pump(
        [&] {
            api.ioctlsocket(s, winsock::FIONWRITE, &unsent);
            return unsent == 0;
        },
        10000));
    EXPECT_TRUE(peer.WaitForBytes(queued, 5000));
}

TEST_F(Wsock32, FionreadCountsWhatARecvLeftAndNothingAfterOneThatStoppedShort) {
    testpeer::ScriptedPeer peer;
    peer.Script({testpeer::Send("abcdef"), testpeer::WaitFor("more"), testpeer::Send("ghi"),
                 testpeer::NeverAnswer()});
    SOCKET s = Connected(peer.Port());
    winsock::u_long avail = 0;
    ASSERT_TRUE(Pump([&] {
        api.ioctlsocket(s, FIONREAD, &avail);
        return avail == 6;
    }));
    char buf[16];
    EXPECT_EQ(api.recv(s, buf, 2, 0), 2); // filled: more may be queued
    EXPECT_EQ(api.ioctlsocket(s, FIONREAD, &avail), 0);
    EXPECT_EQ(avail, 4u);
    EXPECT_EQ(api.recv(s, buf, sizeof buf, 0), 4); // short: took everything
    avail = 99;
    EXPECT_EQ(api.ioctlsocket(s, FIONREAD, &avail), 0);
    EXPECT_EQ(avail, 0u);
    // What arrives later is counted and announced again.
    const int readsBefore = Count(s, FD_READ);
    ASSERT_EQ(api.send(s, "more", 4, 0), 4);
    ASSERT_TRUE(Pump([&] {
        api.ioctlsocket(s, FIONREAD, &avail);
        return avail == 3 && Count(s, FD_READ) > readsBefore;
    }));
    EXPECT_EQ(api.recv(s, buf, sizeof buf, 0), 3);
    EXPECT_EQ(std::string(buf, 3), "ghi");
}

TEST_F(Wsock32, PeerCloseGivesOneCloseWithDataStillReadable) {
    testpeer::ScriptedPeer peer;
    peer.Script({testpeer::Send("hello"), testpeer::Close()});
    SOCKET s = Connected(peer.Port());
    ASSERT_TRUE(Pump([&] { return Count(s, FD_CLOSE) == 1; }));
    Settle();
    EXPECT_EQ(Count(s, FD_CLOSE, 0), 1);
    EXPECT_EQ(Count(s, FD_READ), 1);
    EXPECT_FALSE(WaitHandleBusy());
    char buf[16];
    EXPECT_EQ(api.recv(s, buf, sizeof buf, 0), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(api.recv(s, buf, sizeof buf, 0), 0);
    Settle();
    EXPECT_EQ(Count(s, FD_CLOSE), 1);
    EXPECT_EQ(Count(s, FD_READ), 1);
    EXPECT_FALSE(WaitHandleBusy());
}

TEST_F(Wsock32, PeerResetGivesCloseWith10054) {
    testpeer::ScriptedPeer peer;
    peer.Script({testpeer::Reset()});
    SOCKET s = Connected(peer.Port());
    ASSERT_TRUE(Pump([&] { return Count(s, FD_CLOSE) == 1; }));
    Settle();
    EXPECT_EQ(Count(s, FD_CLOSE, WSAECONNRESET), 1);
    EXPECT_FALSE(WaitHandleBusy());
    char buf[4];
    EXPECT_EQ(api.recv(s, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(api.WSAGetLastError(), WSAECONNRESET);
    // Sending into the dead connection is an error code, never SIGPIPE.
    EXPECT_EQ(api.send(s, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(api.WSAGetLastError(), WSAECONNRESET);
}

TEST_F(Wsock32, ResetBeforeTheConnectIsSeenStillGivesConnectThenClose) {
    // The handshake is held back until the test has accepted and reset the
    // connection, so the connect's completion and the reset are seen in the
    // same look: the connect succeeded, and the reset is its close.
    testpeer::ManualListener listener;
    listener.FillQueue();
    SOCKET s = Open();
    ASSERT_EQ(api.WSAAsyncSelect(s, hwnd, kNetMsg, FD_READ | FD_WRITE | FD_CLOSE | FD_CONNECT), 0);
    SOCKADDR_IN a = Loopback(listener.Port());
    EXPECT_EQ(api.connect(s, reinterpret_cast<SOCKADDR*>(&a), sizeof a), SOCKET_ERROR);
    EXPECT_EQ(api.WSAGetLastError(), WSAEWOULDBLOCK);
    listener.FreeQueue();
    ASSERT_TRUE(listener.WaitPending(5000)); // the client's SYN came again
    ASSERT_TRUE(listener.AcceptAndReset());
    EXPECT_EQ(Count(s, FD_CONNECT), 0);

    ASSERT_TRUE(Pump([&] { return Count(s, FD_CLOSE) == 1; }));
    EXPECT_EQ(Count(s, FD_CONNECT, 0), 1);
    EXPECT_EQ(Count(s, FD_CLOSE, WSAECONNRESET), 1);
}

// ---- writing --------------------------------------------------------------------

TEST_F(Wsock32, WriteComesAgainOnlyAfterASendThatWouldBlock) {
    testpeer::ScriptedPeer peer(4096);
    peer.Script({testpeer::Pause(300), testpeer::NeverAnswer()});
    SOCKET s = Connected(peer.Port());
    int small = 4096;
    ASSERT_EQ(
        api.setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&small), sizeof small), 0);
    // Sends that succeed do not bring FD_WRITE.
    EXPECT_EQ(api.send(s, "x", 1, 0), 1);
    Settle(30);
    EXPECT_EQ(Count(s, FD_WRITE), 1);
    std::vector<char> chunk(8192, 'z');
    long total = 0;
    int rc;
    while ((rc = api.send(s, chunk.data(), static_cast<int>(chunk.size()), 0)) > 0)
        total += rc;
    ASSERT_EQ(rc, SOCKET_ERROR);
    ASSERT_EQ(api.WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_GT(total, 0);
    EXPECT_EQ(Count(s, FD_WRITE), 1);
    // The peer starts reading after its pause: room again, one FD_WRITE.
    ASSERT_TRUE(Pump([&] { return Count(s, FD_WRITE) == 2; }, 3000));
    Settle();
    EXPECT_EQ(Count(s, FD_WRITE), 2);
    EXPECT_FALSE(WaitHandleBusy());
}

TEST_F(Wsock32, MaskZeroStopsNotificationsAndANewSelectReportsWhatIsTrue) {
    testpeer::ScriptedPeer peer;
    peer.Script({testpeer::WaitFor("go"), testpeer::Send("data"), testpeer::NeverAnswer()});
    SOCKET s = Connected(peer.Port());
    ASSERT_EQ(api.WSAAsyncSelect(s, hwnd, kNetMsg, 0), 0);
    EXPECT_EQ(api.send(s, "go", 2, 0), 2);
    winsock::u_long avail = 0;
    ASSERT_TRUE(Pump([&] {
        api.ioctlsocket(s, FIONREAD, &avail);
        return avail == 4;
    }));
    EXPECT_EQ(Count(s, FD_READ), 0);
    EXPECT_FALSE(WaitHandleBusy());
    ASSERT_EQ(api.WSAAsyncSelect(s, hwnd, kNetMsg, FD_READ | FD_WRITE | FD_CLOSE), 0);
    ASSERT_TRUE(Pump([&] { return Count(s, FD_READ) == 1 && Count(s, FD_WRITE) == 2; }));
}

// ---- listening ------------------------------------------------------------------

TEST_F(Wsock32, AcceptIsAnnouncedAndTheNewSocketInheritsTheSelection) {
    SOCKET l = Open();
    SOCKADDR_IN a = Loopback(0);
    ASSERT_EQ(api.bind(l, reinterpret_cast<SOCKADDR*>(&a), sizeof a), 0);
    int len = sizeof a;
    ASSERT_EQ(api.getsockname(l, reinterpret_cast<SOCKADDR*>(&a), &len), 0);
    ASSERT_EQ(api.listen(l, 5), 0);
    ASSERT_EQ(api.WSAAsyncSelect(l, hwnd, kNetMsg, FD_ACCEPT | FD_READ | FD_WRITE | FD_CLOSE), 0);
    std::uint16_t port = static_cast<std::uint16_t>((a.sin_port >> 8) | (a.sin_port << 8));
    SOCKET c = Connected(port);
    ASSERT_TRUE(Pump([&] { return Count(l, FD_ACCEPT) == 1; }));
    SOCKET n = api.accept(l, nullptr, nullptr);
    ASSERT_NE(n, INVALID_SOCKET);
    opened.push_back(n);
    ASSERT_TRUE(Pump([&] { return Count(n, FD_WRITE) == 1; }));
    EXPECT_EQ(api.send(c, "hi", 2, 0), 2);
    ASSERT_TRUE(Pump([&] { return Count(n, FD_READ) == 1; }));
    // No second connection waits: accept would block, and no new FD_ACCEPT.
    EXPECT_EQ(api.accept(l, nullptr, nullptr), INVALID_SOCKET);
    EXPECT_EQ(api.WSAGetLastError(), WSAEWOULDBLOCK);
    Settle(50);
    EXPECT_EQ(Count(l, FD_ACCEPT), 1);
    api.closesocket(c);
    Forget(c);
    ASSERT_TRUE(Pump([&] { return Count(n, FD_CLOSE) == 1; }));
}

// ---- lookups --------------------------------------------------------------------

TEST_F(Wsock32, LookupOfLocalhostLaysTheHostEntryIntoTheBuffer) {
    alignas(8) char buf[MAXGETHOSTSTRUCT];
    HANDLE task = api.WSAAsyncGetHostByName(hwnd, kLookupMsg, "localhost", buf, sizeof buf);
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(Pump([&] { return !g_notes.empty(); }));
    ASSERT_EQ(g_notes.size(), 1u);
    EXPECT_EQ(g_notes[0].msg, kLookupMsg);
    EXPECT_EQ(g_notes[0].wParam, reinterpret_cast<WPARAM>(task));
    EXPECT_EQ(g_notes[0].error, 0);
    EXPECT_GT(g_notes[0].event, sizeof(HOSTENT)); // the length used
    auto* he = reinterpret_cast<HOSTENT*>(buf);
    EXPECT_EQ(he->h_addrtype, AF_INET);
    EXPECT_EQ(he->h_length, 4);
    ASSERT_NE(he->h_addr_list[0], nullptr);
    EXPECT_GE(he->h_addr_list[0], buf);
    EXPECT_LT(he->h_addr_list[0], buf + sizeof buf);
    IN_ADDR first;
    std::memcpy(&first, he->h_addr_list[0], 4);
    EXPECT_STREQ(api.inet_ntoa(first), "127.0.0.1");
    // Finished: too late to cancel.
    EXPECT_EQ(api.WSACancelAsyncRequest(task), SOCKET_ERROR);
    EXPECT_EQ(api.WSAGetLastError(), WSAEINVAL);
}

TEST_F(Wsock32, LookupOfAnUnknownNameAnswers11001) {
    char buf[MAXGETHOSTSTRUCT];
    HANDLE task =
        api.WSAAsyncGetHostByName(hwnd, kLookupMsg, "no-such-host.invalid", buf, sizeof buf);
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(Pump([&] { return !g_notes.empty(); }, 5000));
    EXPECT_EQ(g_notes[0].wParam, reinterpret_cast<WPARAM>(task));
    EXPECT_EQ(g_notes[0].error, WSAHOST_NOT_FOUND);
}

TEST_F(Wsock32, LookupIntoTooSmallABufferAnswersNoBuffersWithTheSizeNeeded) {
    alignas(8) char buf[64];
    std::memset(buf, 0x5A, sizeof buf);
    HANDLE task = api.WSAAsyncGetHostByName(hwnd, kLookupMsg, "localhost", buf, 16);
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(Pump([&] { return !g_notes.empty(); }));
    EXPECT_EQ(g_notes[0].error, WSAENOBUFS);
    EXPECT_GT(g_notes[0].event, 16);
    EXPECT_EQ(buf[0], 0x5A); // nothing written
}

TEST_F(Wsock32, CancelledLookupIsNeverPostedNorWritten) {
    int cancelled = 0;
    std::vector<HANDLE> handles;
    for (int i = 0; i < 20; ++i) {
        g_notes.clear();
        alignas(8) char buf[MAXGETHOSTSTRUCT];
        std::memset(buf, 0x5A, sizeof buf);
        HANDLE task = api.WSAAsyncGetHostByName(hwnd, kLookupMsg, "localhost", buf, sizeof buf);
        ASSERT_NE(task, nullptr);
        handles.push_back(task);
        if (api.WSACancelAsyncRequest(task) == 0) {
            ++cancelled;
            Settle(30);
            EXPECT_TRUE(g_notes.empty());
            EXPECT_EQ(buf[0], 0x5A);
            EXPECT_EQ(buf[sizeof buf - 1], 0x5A);
            // Cancelled once: a second cancel finds nothing.
            EXPECT_EQ(api.WSACancelAsyncRequest(task), SOCKET_ERROR);
        } else {
            // It finished first: then its answer is on its way.
            EXPECT_EQ(api.WSAGetLastError(), WSAEINVAL);
            EXPECT_TRUE(Pump([&] { return g_notes.size() == 1; }));
        }
    }
    EXPECT_GT(cancelled, 0);
    // Handles are never 0 and never repeat.
    std::sort(handles.begin(), handles.end());
    EXPECT_EQ(std::adjacent_find(handles.begin(), handles.end()), handles.end());
}

TEST_F(Wsock32, ReverseLookupOfTheLoopbackAddressGivesItsName) {
    alignas(8) char buf[MAXGETHOSTSTRUCT];
    const unsigned char addr[4] = {127, 0, 0, 1};
    HANDLE task = api.WSAAsyncGetHostByAddr(hwnd, kLookupMsg, reinterpret_cast<const char*>(addr),
                                            4, AF_INET, buf, sizeof buf);
    ASSERT_NE(task, nullptr);
    ASSERT_TRUE(Pump([&] { return !g_notes.empty(); }));
    ASSERT_EQ(g_notes[0].error, 0);
    auto* he = reinterpret_cast<HOSTENT*>(buf);
    EXPECT_FALSE(std::string(he->h_name).empty());
    ASSERT_NE(he->h_addr_list[0], nullptr);
    EXPECT_EQ(std::memcmp(he->h_addr_list[0], addr, 4), 0);
    EXPECT_EQ(he->h_addr_list[1], nullptr);
}

TEST_F(Wsock32, CancelOfAnUnknownTaskIsRefused) {
    EXPECT_EQ(api.WSACancelAsyncRequest(reinterpret_cast<HANDLE>(0x7777)), SOCKET_ERROR);
    EXPECT_EQ(api.WSAGetLastError(), WSAEINVAL);
}

TEST_F(Wsock32, CleanupWaitsForRunningLookupsAndPostsNothing) {
    char buf[MAXGETHOSTSTRUCT];
    for (int i = 0; i < 5; ++i)
        ASSERT_NE(api.WSAAsyncGetHostByName(hwnd, kLookupMsg, "localhost", buf, sizeof buf),
                  nullptr);
    // Cleanup of the last user cancels and joins the workers: what was
    // answered before is in the queue, nothing comes after.
    ASSERT_EQ(api.WSACleanup(), 0);
    PumpOnce();
    const size_t answered = g_notes.size();
    EXPECT_LE(answered, 5u);
    Settle(50);
    EXPECT_EQ(g_notes.size(), answered);
    WSADATA data{};
    ASSERT_EQ(api.WSAStartup(0x0101, &data), 0);
}

// ---- blocking look-ups and conversions ------------------------------------------

TEST_F(Wsock32, BlockingLookupsAndConversions) {
    HOSTENT* he = api.gethostbyname("localhost");
    ASSERT_NE(he, nullptr);
    IN_ADDR a;
    std::memcpy(&a, he->h_addr_list[0], 4);
    EXPECT_STREQ(api.inet_ntoa(a), "127.0.0.1");
    EXPECT_EQ(api.gethostbyname("no-such-host.invalid"), nullptr);
    EXPECT_EQ(api.WSAGetLastError(), WSAHOST_NOT_FOUND);
    SERVENT* se = api.getservbyname("http", "tcp");
    ASSERT_NE(se, nullptr);
    EXPECT_EQ(static_cast<winsock::u_short>(se->s_port), api.htons(80));
    EXPECT_EQ(api.inet_addr("1.2.3.4"), 0x04030201u);
    EXPECT_EQ(api.inet_addr(" 1.2.3.4 "), 0x04030201u);
    EXPECT_EQ(api.inet_addr("1.2.3.4x"), INADDR_NONE);
    EXPECT_EQ(api.inet_addr(""), INADDR_NONE);
    EXPECT_EQ(api.htons(0x1234), 0x3412);
}

// ---- options and error codes ------------------------------------------------------

TEST_F(Wsock32, OptionsUseWindowsLevelsNumbersAndLayouts) {
    SOCKET s = Open();
    LINGER l{1, 7};
    ASSERT_EQ(api.setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&l), sizeof l), 0);
    LINGER back{};
    int len = sizeof back;
    ASSERT_EQ(api.getsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&back), &len), 0);
    EXPECT_EQ(len, 4);
    EXPECT_EQ(back.l_onoff, 1);
    EXPECT_EQ(back.l_linger, 7);
    int on = 1;
    EXPECT_EQ(api.setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on), sizeof on),
              0);
    int v = 0;
    len = sizeof v;
    ASSERT_EQ(api.getsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&v), &len), 0);
    EXPECT_NE(v, 0);
    int size = 65536;
    ASSERT_EQ(api.setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&size), sizeof size),
              0);
    len = sizeof v;
    ASSERT_EQ(api.getsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&v), &len), 0);
    EXPECT_EQ(v, 65536);
    EXPECT_EQ(api.setsockopt(s, SOL_SOCKET, 0x7777, reinterpret_cast<char*>(&on), sizeof on),
              SOCKET_ERROR);
    EXPECT_EQ(api.WSAGetLastError(), WSAENOPROTOOPT);
}

TEST_F(Wsock32, FailuresGiveWindowsCodes) {
    SOCKET s = Open();
    char buf[4];
    // Nothing connected yet.
    EXPECT_EQ(api.send(s, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(api.WSAGetLastError(), WSAENOTCONN);
    // Address in use.
    SOCKET l = Open();
    SOCKADDR_IN a = Loopback(0);
    ASSERT_EQ(api.bind(l, reinterpret_cast<SOCKADDR*>(&a), sizeof a), 0);
    int len = sizeof a;
    ASSERT_EQ(api.getsockname(l, reinterpret_cast<SOCKADDR*>(&a), &len), 0);
    ASSERT_EQ(api.listen(l, 1), 0);
    EXPECT_EQ(api.bind(s, reinterpret_cast<SOCKADDR*>(&a), sizeof a), SOCKET_ERROR);
    EXPECT_EQ(api.WSAGetLastError(), WSAEADDRINUSE);
    // A closed socket is no socket; its value is not handed out again.
    SOCKET gone = Open();
    ASSERT_EQ(api.closesocket(gone), 0);
    Forget(gone);
    EXPECT_EQ(api.recv(gone, buf, sizeof buf, 0), SOCKET_ERROR);
    EXPECT_EQ(api.WSAGetLastError(), WSAENOTSOCK);
    SOCKET next = Open();
    EXPECT_NE(next, gone);
    EXPECT_NE(next, 0u);
    // Unknown address family.
    EXPECT_EQ(api.socket(23, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(api.WSAGetLastError(), WSAEAFNOSUPPORT);
}

TEST_F(Wsock32, SelectionNeedsAWindowAndForbidsBlockingMode) {
    SOCKET s = Open();
    EXPECT_EQ(api.WSAAsyncSelect(s, reinterpret_cast<HWND>(0x4321), kNetMsg, FD_READ),
              SOCKET_ERROR);
    EXPECT_EQ(api.WSAGetLastError(), WSAEINVAL);
    ASSERT_EQ(api.WSAAsyncSelect(s, hwnd, kNetMsg, FD_READ), 0);
    winsock::u_long blocking = 0;
    EXPECT_EQ(api.ioctlsocket(s, FIONBIO, &blocking), SOCKET_ERROR);
    EXPECT_EQ(api.WSAGetLastError(), WSAEINVAL);
    ASSERT_EQ(api.WSAAsyncSelect(s, hwnd, 0, 0), 0);
    EXPECT_EQ(api.ioctlsocket(s, FIONBIO, &blocking), 0);
}

TEST_F(Wsock32, EverythingFailsBeforeStartupAndAfterTheLastCleanup) {
    ASSERT_EQ(api.WSACleanup(), 0);
    EXPECT_EQ(api.socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(api.WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(api.WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(api.WSAGetLastError(), WSANOTINITIALISED);
    // Startup is counted: two users need two cleanups.
    WSADATA data{};
    ASSERT_EQ(api.WSAStartup(0x0101, &data), 0);
    ASSERT_EQ(api.WSAStartup(0x0202, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0202);
    ASSERT_EQ(api.WSACleanup(), 0);
    EXPECT_NE(api.socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    // Versions below 1.0 are not supported.
    EXPECT_EQ(api.WSAStartup(0x0000, &data), WSAVERNOTSUPPORTED);
}

TEST_F(Wsock32, LastErrorBelongsToEachThread) {
    api.WSASetLastError(WSAECONNRESET);
    int seenThere = -1;
    std::thread other([&] {
        seenThere = api.WSAGetLastError();
        api.WSASetLastError(WSAETIMEDOUT);
    });
    other.join();
    EXPECT_EQ(seenThere, 0);
    EXPECT_EQ(api.WSAGetLastError(), WSAECONNRESET);
}

TEST_F(Wsock32, CleanupClosesEverySocket) {
    SOCKET s = api.socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);
    ASSERT_EQ(api.WSACleanup(), 0);
    WSADATA data{};
    ASSERT_EQ(api.WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(api.closesocket(s), SOCKET_ERROR);
    EXPECT_EQ(api.WSAGetLastError(), WSAENOTSOCK);
}

// ---- the export directory ---------------------------------------------------------

TEST(Wsock32Exports, EveryWindowsSocketsEntryPointIsInTheDirectory) {
    const char* names[] = {"WSAStartup",
                           "WSACleanup",
                           "WSAGetLastError",
                           "WSASetLastError",
                           "WSAAsyncSelect",
                           "WSAAsyncGetHostByName",
                           "WSAAsyncGetHostByAddr",
                           "WSACancelAsyncRequest",
                           "socket",
                           "connect",
                           "send",
                           "recv",
                           "sendto",
                           "recvfrom",
                           "shutdown",
                           "closesocket",
                           "ioctlsocket",
                           "setsockopt",
                           "getsockopt",
                           "bind",
                           "listen",
                           "accept",
                           "getsockname",
                           "getpeername",
                           "gethostbyname",
                           "gethostbyaddr",
                           "gethostname",
                           "getservbyname",
                           "getprotobyname",
                           "inet_addr",
                           "inet_ntoa",
                           "htons",
                           "ntohs",
                           "htonl",
                           "ntohl"};
    ASSERT_NE(Directory(), nullptr);
    EXPECT_STREQ(Directory()->ModuleName, "wsock32.dll");
    for (const char* name : names)
        EXPECT_NE(Export(name), nullptr) << name;
    EXPECT_EQ(Export("WSAIoctl"), nullptr); // that one is ws2_32's
}

// ---- errno translation --------------------------------------------------------------

TEST(WsaErrorFromErrno, MapsTheCodesTheSocketLayerJudges) {
    struct Row {
        int err, wsa;
    };
    const Row rows[] = {
        {0, 0},
        {EAGAIN, WSAEWOULDBLOCK},
        {EINPROGRESS, WSAEWOULDBLOCK},
        {ECONNREFUSED, WSAECONNREFUSED},
        {ECONNRESET, WSAECONNRESET},
        {EPIPE, WSAECONNRESET},
        {ECONNABORTED, WSAECONNABORTED},
        {ENOTCONN, WSAENOTCONN},
        {ETIMEDOUT, WSAETIMEDOUT},
        {ENETUNREACH, WSAENETUNREACH},
        {EHOSTUNREACH, WSAEHOSTUNREACH},
        {EADDRINUSE, WSAEADDRINUSE},
        {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
        {EBADF, WSAENOTSOCK},
        {ENOTSOCK, WSAENOTSOCK},
        {EINVAL, WSAEINVAL},
        {EMFILE, WSAEMFILE},
        {ENOBUFS, WSAENOBUFS},
        {EACCES, WSAEACCES},
        {EISCONN, WSAEISCONN},
        {EALREADY, WSAEALREADY},
        {EMSGSIZE, WSAEMSGSIZE},
        {ENOPROTOOPT, WSAENOPROTOOPT},
        {EAFNOSUPPORT, WSAEAFNOSUPPORT},
        {ENOENT, WSAEINVAL}, // no counterpart
    };
    for (const Row& r : rows)
        EXPECT_EQ(winsock_impl::WsaErrorFromErrno(r.err), r.wsa) << "errno " << r.err;
}
