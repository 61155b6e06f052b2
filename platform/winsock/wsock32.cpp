// The stand-in "wsock32.dll": Windows Sockets 1.1 over POSIX sockets.
//
// Every descriptor is non-blocking at the OS level; Windows' blocking mode
// (the default until FIONBIO or WSAAsyncSelect) is emulated by waiting with
// poll. WSAAsyncSelect hands readiness to the reactor of the window's thread
// and posts the network events with Windows' re-enabling rules: FD_READ again
// only after recv, FD_WRITE again only after a send that would block,
// FD_CONNECT and FD_CLOSE once. Those rules are also what keeps the
// level-triggered reactor from spinning: a socket is watched only for what
// is armed and not already reported.
//
// Nothing here is visible to the dynamic linker except the export directory:
// the module is compiled with hidden visibility and the entry points have
// internal names (Ws_socket ...), so they never meet the C library's socket,
// send or recv.
#include "platform/winsock/errno_map.h"
#include "platform/winsock/winsock.h"

#include "platform/win32/reactor.h"
#include "platform/win32/windows.h"

// The Windows values of the names that the POSIX headers below turn into
// macros: taken here, before those headers are read, and used under these
// names only.
namespace win {
constexpr int AfInet = winsock::AF_INET;
constexpr int SockStream = winsock::SOCK_STREAM;
constexpr int SockDgram = winsock::SOCK_DGRAM;
constexpr int SockRaw = winsock::SOCK_RAW;
constexpr int SolSocket = winsock::SOL_SOCKET;
constexpr int SoDebug = winsock::SO_DEBUG;
constexpr int SoReuseAddr = winsock::SO_REUSEADDR;
constexpr int SoKeepAlive = winsock::SO_KEEPALIVE;
constexpr int SoBroadcast = winsock::SO_BROADCAST;
constexpr int SoLinger = winsock::SO_LINGER;
constexpr int SoSndBuf = winsock::SO_SNDBUF;
constexpr int SoRcvBuf = winsock::SO_RCVBUF;
constexpr int SoError = winsock::SO_ERROR;
constexpr int IpprotoIp = winsock::IPPROTO_IP;
constexpr int IpprotoTcp = winsock::IPPROTO_TCP;
constexpr int TcpNoDelay = winsock::TCP_NODELAY;
constexpr int IpMulticastIf = winsock::IP_MULTICAST_IF;
constexpr int IpMulticastTtl = winsock::IP_MULTICAST_TTL;
constexpr int IpMulticastLoop = winsock::IP_MULTICAST_LOOP;
constexpr int IpAddMembership = winsock::IP_ADD_MEMBERSHIP;
constexpr long Fionread = winsock::FIONREAD;
constexpr long Fionbio = winsock::FIONBIO;
constexpr long Fionwrite = winsock::FIONWRITE;
constexpr int MsgOob = winsock::MSG_OOB;
constexpr int MsgPeek = winsock::MSG_PEEK;
constexpr winsock::u_long InaddrNone = winsock::INADDR_NONE;
} // namespace win

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using winsock::HOSTENT;
using winsock::PROTOENT;
using winsock::SERVENT;
using winsock::SOCKADDR;
using winsock::SOCKADDR_IN;
using winsock::SOCKET;
using winsock::u_long;
using winsock::u_short;
using winsock::WSADATA;

constexpr SOCKET kInvalidSocket = winsock::INVALID_SOCKET;

constexpr BYTE LOBYTE(WORD v) {
    return static_cast<BYTE>(v & 0xFF);
}
constexpr BYTE HIBYTE(WORD v) {
    return static_cast<BYTE>(v >> 8);
}
constexpr WORD MAKEWORD(BYTE lo, BYTE hi) {
    return static_cast<WORD>(lo | (hi << 8));
}
constexpr int kSocketError = winsock::SOCKET_ERROR;

// ---- users and the per-thread error -----------------------------------------

std::atomic<int> g_users{0};
thread_local int t_lastError = 0;

bool Started() {
    return g_users.load() > 0;
}

int Fail(int wsaError) {
    t_lastError = wsaError;
    return kSocketError;
}

int FailErrno() {
    return Fail(winsock_impl::WsaErrorFromErrno(errno));
}

SOCKET FailSocket(int wsaError) {
    t_lastError = wsaError;
    return kInvalidSocket;
}

std::nullptr_t FailNull(int wsaError) {
    t_lastError = wsaError;
    return nullptr;
}

// The first check of every entry point, in Windows' order: the library is
// started (else WSANOTINITIALISED), then the arguments the call checks
// before anything else (`argumentError`, 0 when they are fine). False with
// the error set when the call must fail.
bool Admit(int argumentError = 0) {
    const int error = Started() ? argumentError : winsock::WSANOTINITIALISED;
    if (error != 0)
        t_lastError = error;
    return error == 0;
}

// A buffer of `len` bytes at `buf` that the call may use (WSAEFAULT if not).
int BufferError(const char* buf, int len) {
    return len < 0 || (buf == nullptr && len > 0) ? winsock::WSAEFAULT : 0;
}

// ---- the socket table --------------------------------------------------------

struct Entry {
    int fd = -1;
    bool stream = true;
    bool nonBlocking = false; // Windows mode; the descriptor itself always is
    // WSAAsyncSelect registration (hwnd null: none).
    HWND hwnd = nullptr;
    UINT msg = 0;
    long mask = 0;
    // Connection state as the notifications see it.
    bool connecting = false;
    bool connected = false;
    bool listening = false;
    bool peerClosed = false;    // FIN or reset seen
    bool reset = false;         // the peer reset the connection
    bool closeNotified = false; // FD_CLOSE posted (once per connection)
    bool sendShutdown = false;
    int closeError = 0;
    // Which notifications may be posted next.
    bool readArmed = true;
    bool writeArmed = false;
    bool acceptArmed = true;
    // Events registered with the reactor (0: not watched) and the watch.
    std::uint32_t watched = 0;
    platform::WatchId watchId = 0;
    // What the receive queue held right after the last recv, -1 when not
    // known: the FIONREAD that a read loop asks right after it is answered
    // from here without a system call. The system tells it with each read
    // (TCP_INQ); without that, a recv that returned less than it was asked
    // for left nothing. Whatever arrives meanwhile is announced by the read
    // notice that the recv re-armed.
    int knownPending = -1;
    bool tellsPending = false; // TCP_INQ is on
    // The descriptor reports hang-up that nobody asked for: stop watching it.
    bool quiet = false;
};

std::recursive_mutex g_mutex; // the table and every entry
std::unordered_map<SOCKET, std::shared_ptr<Entry>> g_sockets;
SOCKET g_nextSocket = 0;

// SOCKET values are never 0 and never handed out twice: they count up in
// steps of 4 (as Windows' do) from a start taken from the monotonic clock,
// so a handle kept across an unload and reload of the module cannot name a
// new socket either.
SOCKET NewSocketValue() {
    if (g_nextSocket == 0) {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        g_nextSocket = (static_cast<SOCKET>(ts.tv_sec) * 1000000u +
                        static_cast<SOCKET>(ts.tv_nsec / 1000) + 1) *
                       4;
    }
    SOCKET s = g_nextSocket;
    g_nextSocket += 4;
    return s;
}

std::shared_ptr<Entry> Find(SOCKET s) {
    auto it = g_sockets.find(s);
    return it == g_sockets.end() ? nullptr : it->second;
}

void WaitReady(int fd, short events) {
    pollfd p{fd, events, 0};
    while (poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
}

// An entry point's hold on the socket it names. Past Admit, it takes the
// table's lock and finds the entry; when the handle names none, the error is
// WSAENOTSOCK and the call holds no lock. Otherwise the lock is held until
// the call ends, except while it waits for a blocking socket.
class SocketCall {
public:
    explicit SocketCall(SOCKET s, int argumentError = 0) : FSocket(s) {
        if (!Admit(argumentError))
            return;
        FLock = std::unique_lock(g_mutex);
        FEntry = Find(s);
        if (!FEntry) {
            FLock.unlock();
            t_lastError = winsock::WSAENOTSOCK;
        }
    }
    explicit operator bool() const { return FEntry != nullptr; }
    Entry& operator*() const { return *FEntry; }
    Entry* operator->() const { return FEntry.get(); }
    const std::shared_ptr<Entry>& Shared() const { return FEntry; }

    // Waits without the lock until the descriptor is ready for `events`.
    // False, with WSAENOTSOCK, when the socket was closed meanwhile.
    bool WaitUntilReady(short events) {
        const int fd = FEntry->fd; // read under the lock
        FLock.unlock();
        WaitReady(fd, events);
        FLock.lock();
        if (Find(FSocket))
            return true;
        t_lastError = winsock::WSAENOTSOCK;
        return false;
    }

    // Lets go of the lock for good, before handing the call on.
    void Release() { FLock.unlock(); }

private:
    SOCKET FSocket;
    std::unique_lock<std::recursive_mutex> FLock;
    std::shared_ptr<Entry> FEntry;
};

// Asks a stream socket to tell, with every read, how much it leaves queued.
bool TellPendingOnRead(int fd) {
    int on = 1;
    return setsockopt(fd, SOL_TCP, TCP_INQ, &on, sizeof on) == 0;
}

// One recv. `pending` becomes what stayed queued after it when the socket
// tells (-1 otherwise).
ssize_t RecvTelling(const Entry& e, char* buf, size_t len, int flags, int& pending) {
    pending = -1;
    if (!e.tellsPending || flags != 0)
        return ::recv(e.fd, buf, len, flags);
    iovec piece{buf, len};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr m{};
    m.msg_iov = &piece;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(e.fd, &m, 0);
    if (n >= 0)
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c))
            if (c->cmsg_level == SOL_TCP && c->cmsg_type == TCP_CM_INQ)
                std::memcpy(&pending, CMSG_DATA(c), sizeof pending);
    return n;
}

int PendingBytes(int fd) {
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) < 0)
        return 0;
    return n;
}

int TakeSocketError(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
        return errno;
    return err;
}

// A connect in progress has finished when the descriptor turns writable or
// reports an error; records the outcome and returns its Windows code.
int CompleteConnect(Entry& e) {
    int err = winsock_impl::WsaErrorFromErrno(TakeSocketError(e.fd));
    e.connecting = false;
    // A reset can only follow an accepted connection: Windows reports the
    // connect as done and the reset as the close, so the close is not lost.
    if (err == winsock::WSAECONNRESET) {
        e.peerClosed = true;
        e.reset = true;
        e.closeError = err;
        err = 0;
    }
    if (err == 0) {
        e.connected = true;
        e.writeArmed = true;
        e.readArmed = true;
    }
    return err;
}

void OnSocketReady(SOCKET s, std::uint32_t events);

void Post(SOCKET s, const Entry& e, long event, int error) {
    PostMessageA(e.hwnd, e.msg, static_cast<WPARAM>(s),
                 winsock::WSAMAKESELECTREPLY(static_cast<WORD>(event), static_cast<WORD>(error)));
}

// The events to watch the descriptor for: what is armed and not already
// known to be over (a closed peer sends nothing more).
std::uint32_t WantedEvents(const Entry& e) {
    if (!e.hwnd || e.mask == 0 || e.quiet)
        return 0;
    if (e.listening)
        return (e.acceptArmed && (e.mask & winsock::FD_ACCEPT)) ? std::uint32_t{EPOLLIN} : 0u;
    if (e.connecting)
        return EPOLLOUT;
    if (!e.connected)
        return 0;
    std::uint32_t want = 0;
    if (e.readArmed && (e.mask & winsock::FD_READ) && !e.peerClosed)
        want |= EPOLLIN;
    if (e.writeArmed && (e.mask & winsock::FD_WRITE))
        want |= EPOLLOUT;
    if (e.stream && !e.peerClosed && (e.mask & winsock::FD_CLOSE))
        want |= EPOLLRDHUP;
    return want;
}

void Unwatch(Entry& e) {
    if (e.watched)
        platform::UnwatchSocket(e.fd);
    e.watched = 0;
    e.watchId = 0;
}

// On the thread that owns the watch a change is a ModifyWatch: no lock of
// the reactor's tables and no allocation, and inside a pump pass not even a
// system call until the pass collects again. Elsewhere the watch is made anew.
void ApplyWatch(SOCKET s, Entry& e) {
    std::uint32_t want = WantedEvents(e);
    if (want == e.watched)
        return;
    if (want == 0) {
        Unwatch(e);
        return;
    }
    if (!e.watchId || !platform::ModifyWatch(e.watchId, want)) {
        e.watchId = platform::WatchSocket(e.hwnd, e.fd, want,
                                          [s](std::uint32_t ev) { OnSocketReady(s, ev); });
        if (!e.watchId)
            want = 0;
    }
    e.watched = want;
}

constexpr short kPollError = POLLRDHUP | POLLHUP | POLLERR;

// What the descriptor has ready, for Evaluate. The events the reactor just
// reported answer it without a poll when the watch covered every event the
// socket's armed notifications depend on; otherwise, and outside the
// reactor, poll asks.
short ReadyEvents(const Entry& e, const std::uint32_t* reported) {
    if (reported) {
        std::uint32_t needed = 0;
        if (e.listening) {
            if (e.acceptArmed && (e.mask & winsock::FD_ACCEPT))
                needed |= EPOLLIN;
        } else if (e.connecting) {
            needed |= EPOLLOUT;
        } else if (e.connected) {
            if (e.stream && !e.peerClosed)
                needed |= EPOLLRDHUP;
            if (e.readArmed && (e.mask & winsock::FD_READ))
                needed |= EPOLLIN;
            if (e.writeArmed && (e.mask & winsock::FD_WRITE))
                needed |= EPOLLOUT;
        }
        if ((needed & ~e.watched) == 0) {
            const std::uint32_t r = *reported;
            return static_cast<short>(
                ((r & EPOLLIN) ? POLLIN : 0) | ((r & EPOLLOUT) ? POLLOUT : 0) |
                ((r & EPOLLRDHUP) ? POLLRDHUP : 0) | ((r & EPOLLHUP) ? POLLHUP : 0) |
                ((r & EPOLLERR) ? POLLERR : 0));
        }
    }
    pollfd p{e.fd, POLLIN | POLLOUT | POLLRDHUP, 0};
    if (poll(&p, 1, 0) < 0)
        return 0;
    return p.revents;
}

// The heart of WSAAsyncSelect. Looks at what the descriptor has ready now
// (`reported`: the events the reactor just saw, if it calls), posts every
// armed notification that is due (disarming it), and watches the descriptor
// for what is still armed. Called with g_mutex held after every change of
// state and from the reactor. Returns true when something was posted.
bool Evaluate(SOCKET s, Entry& e, const std::uint32_t* reported = nullptr) {
    bool posted = false;
    // A socket neither listening, connecting nor connected has nothing to
    // announce.
    if (e.hwnd && e.mask != 0 && (e.listening || e.connecting || e.connected)) {
        const short r = ReadyEvents(e, reported);
        if (e.listening) {
            if (e.acceptArmed && (e.mask & winsock::FD_ACCEPT) && (r & POLLIN)) {
                Post(s, e, winsock::FD_ACCEPT, 0);
                e.acceptArmed = false;
                posted = true;
            }
        } else {
            if (e.connecting && (r & (POLLOUT | POLLERR | POLLHUP))) {
                int err = CompleteConnect(e);
                if (e.mask & winsock::FD_CONNECT) {
                    Post(s, e, winsock::FD_CONNECT, err);
                    posted = true;
                }
            }
            if (e.connected) {
                if (e.stream && !e.peerClosed && (r & (POLLRDHUP | POLLHUP | POLLERR))) {
                    e.peerClosed = true;
                    if (r & POLLERR) {
                        e.closeError = winsock_impl::WsaErrorFromErrno(TakeSocketError(e.fd));
                        e.reset = e.closeError != 0;
                    }
                }
                // Readable without a hang-up or an error means bytes are
                // queued; with one, readable may mean only the end.
                if (e.readArmed && (e.mask & winsock::FD_READ) && (r & POLLIN) &&
                    (!e.stream || !(r & kPollError) || PendingBytes(e.fd) > 0)) {
                    Post(s, e, winsock::FD_READ, 0);
                    e.readArmed = false;
                    posted = true;
                }
                if (e.writeArmed && (e.mask & winsock::FD_WRITE) && (r & POLLOUT)) {
                    Post(s, e, winsock::FD_WRITE, 0);
                    e.writeArmed = false;
                    posted = true;
                }
                if (e.peerClosed && !e.closeNotified && (e.mask & winsock::FD_CLOSE)) {
                    Post(s, e, winsock::FD_CLOSE, e.closeError);
                    e.closeNotified = true;
                    posted = true;
                }
            }
        }
    }
    ApplyWatch(s, e);
    return posted;
}

// recv re-enables FD_READ. While the connection is open the re-armed socket
// is only watched: if data remains, the reactor's next pass announces it.
// That gives one FD_READ per pass however many recv calls a handler makes,
// instead of one per call.
void RearmRead(SOCKET s, Entry& e) {
    e.readArmed = true;
    if (e.hwnd && (e.mask & winsock::FD_READ) && e.connected && !e.peerClosed && !e.quiet)
        ApplyWatch(s, e);
    else
        Evaluate(s, e);
}

void OnSocketReady(SOCKET s, std::uint32_t events) {
    std::lock_guard lock(g_mutex);
    auto e = Find(s);
    if (!e)
        return;
    bool posted = Evaluate(s, *e, &events);
    // Hang-up and error are reported by epoll whatever was asked for; when
    // they bring nothing to post, the descriptor would only wake us again.
    if (!posted && (events & (EPOLLHUP | EPOLLERR)) && e->watched != 0) {
        e->quiet = true;
        Evaluate(s, *e);
    }
}

// The connect bookkeeping before an operation that needs the connection: a
// non-blocking connect is complete once the descriptor is writable. Under
// WSAAsyncSelect that also posts FD_CONNECT, which must never be lost.
void RefreshConnect(SOCKET s, Entry& e) {
    if (!e.connecting)
        return;
    if (e.hwnd) {
        Evaluate(s, e);
        return;
    }
    pollfd p{e.fd, POLLOUT, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & (POLLOUT | POLLERR | POLLHUP)))
        CompleteConnect(e);
}

// ---- addresses ------------------------------------------------------------------

bool ToSockaddr(const SOCKADDR* name, int namelen, sockaddr_in& out) {
    if (name == nullptr || namelen < static_cast<int>(sizeof(SOCKADDR_IN))) {
        t_lastError = winsock::WSAEFAULT;
        return false;
    }
    SOCKADDR_IN in;
    std::memcpy(&in, name, sizeof in);
    if (in.sin_family != win::AfInet) {
        t_lastError = winsock::WSAEAFNOSUPPORT;
        return false;
    }
    out = {};
    out.sin_family = AF_INET;
    out.sin_port = in.sin_port;
    out.sin_addr.s_addr = in.sin_addr.s_addr;
    return true;
}

bool FromSockaddr(const sockaddr_in& in, SOCKADDR* name, int* namelen) {
    if (name == nullptr || namelen == nullptr)
        return true; // the caller does not want it
    if (*namelen < static_cast<int>(sizeof(SOCKADDR_IN))) {
        t_lastError = winsock::WSAEFAULT;
        return false;
    }
    SOCKADDR_IN out{};
    out.sin_family = static_cast<short>(win::AfInet);
    out.sin_port = in.sin_port;
    out.sin_addr.s_addr = in.sin_addr.s_addr;
    std::memcpy(name, &out, sizeof out);
    *namelen = sizeof out;
    return true;
}

// ---- host entries ---------------------------------------------------------------

struct HostData {
    std::string name;
    std::vector<u_long> addrs; // network byte order
};

size_t AlignUp(size_t n) {
    return (n + alignof(void*) - 1) & ~(alignof(void*) - 1);
}

// Lays a HOSTENT out inside `buf` as Windows does for the asynchronous
// lookups: the structure first, then the alias and address pointer arrays,
// the addresses and the name, every pointer pointing into the buffer. Returns
// the size needed; writes only when it fits. Pointers are stored with memcpy
// so that an unaligned caller buffer is not written through a misaligned
// pointer (readers should still give an aligned buffer).
size_t LayOutHostent(const HostData& h, char* buf, size_t buflen) {
    const size_t n = h.addrs.size();
    const size_t aliasesAt = AlignUp(sizeof(HOSTENT));
    const size_t addrListAt = aliasesAt + sizeof(char*);
    const size_t addrsAt = addrListAt + (n + 1) * sizeof(char*);
    const size_t nameAt = addrsAt + n * 4;
    const size_t need = nameAt + h.name.size() + 1;
    if (buf == nullptr || need > buflen)
        return need;
    char* nullPtr = nullptr;
    std::memcpy(buf + aliasesAt, &nullPtr, sizeof nullPtr);
    for (size_t i = 0; i < n; ++i) {
        char* a = buf + addrsAt + i * 4;
        std::memcpy(a, &h.addrs[i], 4);
        std::memcpy(buf + addrListAt + i * sizeof(char*), &a, sizeof a);
    }
    std::memcpy(buf + addrListAt + n * sizeof(char*), &nullPtr, sizeof nullPtr);
    std::memcpy(buf + nameAt, h.name.c_str(), h.name.size() + 1);
    HOSTENT he{};
    he.h_name = buf + nameAt;
    he.h_aliases = reinterpret_cast<char**>(buf + aliasesAt);
    he.h_addrtype = static_cast<short>(win::AfInet);
    he.h_length = 4;
    he.h_addr_list = reinterpret_cast<char**>(buf + addrListAt);
    std::memcpy(buf, &he, sizeof he);
    return need;
}

// Forward lookup of IPv4 addresses; returns the Windows code.
int LookUpName(const char* name, HostData& out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM; // one entry per address
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    int rc = getaddrinfo(name, nullptr, &hints, &res);
    if (rc != 0)
        return winsock_impl::WsaErrorFromAddrInfo(rc, errno);
    out.name = (res && res->ai_canonname) ? res->ai_canonname : name;
    out.addrs.clear();
    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET)
            continue;
        u_long a = reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr;
        if (std::find(out.addrs.begin(), out.addrs.end(), a) == out.addrs.end())
            out.addrs.push_back(a);
    }
    freeaddrinfo(res);
    return out.addrs.empty() ? winsock::WSANO_DATA : 0;
}

// Reverse lookup of one IPv4 address; returns the Windows code.
int LookUpAddr(const char* addr, int len, int type, HostData& out) {
    if (addr == nullptr || len < 4)
        return winsock::WSAEFAULT;
    if (type != win::AfInet)
        return winsock::WSAEAFNOSUPPORT;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    std::memcpy(&sa.sin_addr.s_addr, addr, 4);
    char host[NI_MAXHOST];
    int rc = getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0,
                         NI_NAMEREQD);
    if (rc != 0)
        return winsock_impl::WsaErrorFromAddrInfo(rc, errno);
    out.name = host;
    out.addrs.assign(1, sa.sin_addr.s_addr);
    return 0;
}

// What the blocking lookups return lives in per-thread storage, as on
// Windows: valid until the thread's next call of the same kind. Plain arrays,
// so that a thread's exit has nothing to destroy inside this module.
struct alignas(alignof(void*)) PerThreadHost {
    char buf[2048];
};
thread_local PerThreadHost t_host;
struct PerThreadServ {
    SERVENT ent;
    char* aliases[1];
    char name[256];
    char proto[64];
};
thread_local PerThreadServ t_serv;
struct PerThreadProto {
    PROTOENT ent;
    char* aliases[1];
    char name[256];
};
thread_local PerThreadProto t_proto;
thread_local char t_ntoa[16];

HOSTENT* ToThreadHostent(HostData& h) {
    // Keep as many addresses as fit (Windows also caps the list).
    while (LayOutHostent(h, t_host.buf, sizeof t_host.buf) > sizeof t_host.buf) {
        if (!h.addrs.empty())
            h.addrs.pop_back();
        else
            h.name.resize(h.name.size() / 2);
    }
    return reinterpret_cast<HOSTENT*>(t_host.buf);
}

// ---- asynchronous lookups ---------------------------------------------------------

struct Task {
    std::uintptr_t handle = 0;
    HWND hwnd = nullptr;
    UINT msg = 0;
    bool byAddr = false;
    std::string name;
    std::string addr;
    int addrType = 0;
    char* buf = nullptr;
    int buflen = 0;
    std::mutex m;           // guards the two flags and the writes to buf
    bool cancelled = false; // WSACancelAsyncRequest won: nothing may be written
    bool finished = false;  // the answer was posted
};

struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
};

std::mutex g_taskMutex; // the two tables below and the handle counter
std::map<std::uintptr_t, std::shared_ptr<Task>> g_tasks;
std::list<Worker> g_workers;
std::uintptr_t g_nextTask = 0;

void RunTask(const std::shared_ptr<Task>& t) {
    HostData h;
    int err = t->byAddr
                  ? LookUpAddr(t->addr.data(), static_cast<int>(t->addr.size()), t->addrType, h)
                  : LookUpName(t->name.c_str(), h);
    {
        std::lock_guard lock(t->m);
        if (!t->cancelled) {
            size_t len = 0;
            if (err == 0) {
                len = LayOutHostent(h, t->buf, static_cast<size_t>(std::max(t->buflen, 0)));
                // Too small: the answer says so and gives the size needed.
                if (len > static_cast<size_t>(std::max(t->buflen, 0)))
                    err = winsock::WSAENOBUFS;
            }
            t->finished = true;
            PostMessageA(
                t->hwnd, t->msg, static_cast<WPARAM>(t->handle),
                winsock::WSAMAKEASYNCREPLY(static_cast<WORD>(std::min<size_t>(len, 0xFFFF)),
                                           static_cast<WORD>(err)));
        }
    }
    std::lock_guard lock(g_taskMutex);
    g_tasks.erase(t->handle);
}

// Joins the workers that have finished (all of them when `all`); called
// without g_taskMutex held by the caller.
void ReapWorkers(bool all) {
    std::list<Worker> toJoin;
    {
        std::lock_guard lock(g_taskMutex);
        for (auto it = g_workers.begin(); it != g_workers.end();) {
            if (all || it->done->load()) {
                toJoin.push_back(std::move(*it));
                it = g_workers.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Worker& w : toJoin)
        w.thread.join();
}

HANDLE StartTask(std::shared_ptr<Task> t) {
    ReapWorkers(false);
    std::lock_guard lock(g_taskMutex);
    if (++g_nextTask == 0) // handles are never 0
        ++g_nextTask;
    t->handle = g_nextTask;
    g_tasks[t->handle] = t;
    auto done = std::make_shared<std::atomic<bool>>(false);
    try {
        std::thread th([t, done] {
            RunTask(t);
            done->store(true);
        });
        g_workers.push_back(Worker{std::move(th), done});
    } catch (const std::exception&) {
        g_tasks.erase(t->handle);
        t_lastError = winsock::WSAENOBUFS;
        return nullptr;
    }
    return reinterpret_cast<HANDLE>(t->handle);
}

// ---- entry points ------------------------------------------------------------------

int Ws_WSAStartup(WORD versionRequested, WSADATA* data) {
    const BYTE major = LOBYTE(versionRequested);
    const BYTE minor = HIBYTE(versionRequested);
    if (major < 1)
        return winsock::WSAVERNOTSUPPORTED;
    if (data == nullptr)
        return winsock::WSAEFAULT;
    *data = {};
    const bool above = major > 2 || (major == 2 && minor > 2);
    data->wVersion = above ? MAKEWORD(2, 2) : versionRequested;
    data->wHighVersion = MAKEWORD(2, 2);
    std::snprintf(data->szDescription, sizeof data->szDescription, "WinSock 2.0");
    std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
    data->iMaxSockets = 32767;
    data->iMaxUdpDg = 65467;
    ++g_users;
    return 0;
}

int Ws_WSACleanup() {
    int users = g_users.load();
    do {
        if (users <= 0)
            return Fail(winsock::WSANOTINITIALISED);
    } while (!g_users.compare_exchange_weak(users, users - 1));
    if (users - 1 > 0)
        return 0;
    // The last user is gone: close every socket and cancel every lookup, then
    // wait for the workers so that no thread runs in this module after it.
    std::vector<std::shared_ptr<Entry>> sockets;
    {
        std::lock_guard lock(g_mutex);
        for (auto& [s, e] : g_sockets)
            sockets.push_back(e);
        g_sockets.clear();
    }
    for (auto& e : sockets) {
        Unwatch(*e);
        close(e->fd);
    }
    std::vector<std::shared_ptr<Task>> tasks;
    {
        std::lock_guard lock(g_taskMutex);
        for (auto& [h, t] : g_tasks)
            tasks.push_back(t);
    }
    for (auto& t : tasks) {
        std::lock_guard lock(t->m);
        t->cancelled = true;
    }
    ReapWorkers(true);
    return 0;
}

int Ws_WSAGetLastError() {
    return t_lastError;
}
void Ws_WSASetLastError(int error) {
    t_lastError = error;
}

int Ws_WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long event) {
    SocketCall e(s);
    if (!e)
        return kSocketError;
    if (event != 0 && !IsWindow(hwnd))
        return Fail(winsock::WSAEINVAL);
    // A socket under WSAAsyncSelect is non-blocking, as on Windows.
    e->nonBlocking = true;
    if (event == 0) {
        e->hwnd = nullptr;
        e->mask = 0;
        Evaluate(s, *e); // stops watching
        return 0;
    }
    if (e->watched && e->hwnd != hwnd) {
        // Another window may belong to another thread: register afresh.
        Unwatch(*e);
    }
    e->hwnd = hwnd;
    e->msg = msg;
    e->mask = event;
    // A new registration reports what is already true: data waiting, room
    // to write on a connected socket, a pending connection.
    e->readArmed = true;
    e->acceptArmed = true;
    if (e->connected)
        e->writeArmed = true;
    e->quiet = false;
    Evaluate(s, *e);
    return 0;
}

HANDLE Ws_WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen) {
    if (!Admit(name == nullptr || buf == nullptr || buflen <= 0 ? winsock::WSAEFAULT : 0))
        return nullptr;
    auto t = std::make_shared<Task>();
    t->hwnd = hwnd;
    t->msg = msg;
    t->name = name;
    t->buf = buf;
    t->buflen = buflen;
    return StartTask(std::move(t));
}

HANDLE Ws_WSAAsyncGetHostByAddr(HWND hwnd, UINT msg, const char* addr, int len, int type, char* buf,
                                int buflen) {
    if (!Admit(addr == nullptr || len <= 0 || buf == nullptr || buflen <= 0 ? winsock::WSAEFAULT
                                                                            : 0))
        return nullptr;
    auto t = std::make_shared<Task>();
    t->hwnd = hwnd;
    t->msg = msg;
    t->byAddr = true;
    t->addr.assign(addr, static_cast<size_t>(len));
    t->addrType = type;
    t->buf = buf;
    t->buflen = buflen;
    return StartTask(std::move(t));
}

int Ws_WSACancelAsyncRequest(HANDLE asyncTask) {
    if (!Admit())
        return kSocketError;
    std::shared_ptr<Task> t;
    {
        std::lock_guard lock(g_taskMutex);
        auto it = g_tasks.find(reinterpret_cast<std::uintptr_t>(asyncTask));
        if (it != g_tasks.end())
            t = it->second;
    }
    if (!t)
        return Fail(winsock::WSAEINVAL);
    // The worker writes the buffer and posts under the same lock, so once we
    // hold it the answer is either out already or will never be.
    std::lock_guard lock(t->m);
    if (t->finished || t->cancelled)
        return Fail(winsock::WSAEINVAL);
    t->cancelled = true;
    return 0;
}

SOCKET Ws_socket(int af, int type, int protocol) {
    if (!Admit(af != win::AfInet ? winsock::WSAEAFNOSUPPORT : 0))
        return kInvalidSocket;
    int t;
    if (type == win::SockStream)
        t = SOCK_STREAM;
    else if (type == win::SockDgram)
        t = SOCK_DGRAM;
    else if (type == win::SockRaw)
        t = SOCK_RAW;
    else
        return FailSocket(winsock::WSAESOCKTNOSUPPORT);
    int fd = ::socket(AF_INET, t | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        FailErrno();
        return kInvalidSocket;
    }
    auto e = std::make_shared<Entry>();
    e->fd = fd;
    e->stream = t == SOCK_STREAM;
    e->tellsPending = e->stream && TellPendingOnRead(fd);
    // A datagram socket can send and receive at once.
    e->connected = !e->stream;
    e->writeArmed = !e->stream;
    std::lock_guard lock(g_mutex);
    SOCKET s = NewSocketValue();
    g_sockets[s] = std::move(e);
    return s;
}

int Ws_connect(SOCKET s, const SOCKADDR* name, int namelen) {
    SocketCall e(s);
    if (!e)
        return kSocketError;
    sockaddr_in sa;
    if (!ToSockaddr(name, namelen, sa))
        return kSocketError;
    if (e->listening)
        return Fail(winsock::WSAEINVAL);
    if (e->stream && e->connecting)
        return Fail(winsock::WSAEALREADY);
    if (e->stream && e->connected)
        return Fail(winsock::WSAEISCONN);
    int rc = ::connect(e->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (!e->stream)
        return rc == 0 ? 0 : FailErrno();
    if (rc != 0 && errno != EINPROGRESS)
        return FailErrno();
    // In progress (or, rarely, done at once: reported the same way, so the
    // caller always learns of it through FD_CONNECT).
    e->connecting = true;
    e->peerClosed = e->reset = e->closeNotified = false;
    e->closeError = 0;
    if (e->nonBlocking) {
        Evaluate(s, *e);
        return Fail(winsock::WSAEWOULDBLOCK);
    }
    if (!e.WaitUntilReady(POLLOUT))
        return kSocketError;
    int err = e->connecting ? CompleteConnect(*e) : 0;
    if (err != 0)
        return Fail(err);
    Evaluate(s, *e);
    return 0;
}

int ToPosixFlags(int flags) {
    int f = 0;
    if (flags & win::MsgOob)
        f |= MSG_OOB;
    if (flags & win::MsgPeek)
        f |= MSG_PEEK;
    return f;
}

// Writes with `write` until it goes through or fails. A non-blocking socket
// that would block reports WSAEWOULDBLOCK, the one thing that re-enables
// FD_WRITE; a blocking one waits, without the lock, until it may write.
template <class Write> int WriteLoop(SOCKET s, SocketCall& e, Write write) {
    for (;;) {
        ssize_t n = write();
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return FailErrno();
        if (e->nonBlocking) {
            e->writeArmed = true;
            Evaluate(s, *e);
            return Fail(winsock::WSAEWOULDBLOCK);
        }
        if (!e.WaitUntilReady(POLLOUT))
            return kSocketError;
    }
}

int Ws_send(SOCKET s, const char* buf, int len, int flags) {
    SocketCall e(s, BufferError(buf, len));
    if (!e)
        return kSocketError;
    RefreshConnect(s, *e);
    if (e->stream && !e->connected)
        return Fail(winsock::WSAENOTCONN);
    if (e->sendShutdown)
        return Fail(winsock::WSAESHUTDOWN);
    const int fd = e->fd;
    return WriteLoop(s, e, [&] {
        // MSG_NOSIGNAL: a dropped connection is an error code, never SIGPIPE.
        return ::send(fd, buf, static_cast<size_t>(len), ToPosixFlags(flags) | MSG_NOSIGNAL);
    });
}

int Ws_recv(SOCKET s, char* buf, int len, int flags) {
    SocketCall e(s, BufferError(buf, len));
    if (!e)
        return kSocketError;
    RefreshConnect(s, *e);
    if (e->stream && !e->connected)
        return Fail(winsock::WSAENOTCONN);
    int result;
    e->knownPending = -1;
    for (;;) {
        int pending;
        ssize_t n = RecvTelling(*e, buf, static_cast<size_t>(len), ToPosixFlags(flags), pending);
        if (n > 0) {
            result = static_cast<int>(n);
            // A stream recv stops short only when nothing more is queued.
            if (e->stream && flags == 0)
                e->knownPending = pending >= 0 ? pending : n < len ? 0 : -1;
            break;
        }
        if (n == 0) {
            // A reset connection reads as an error once its data is gone.
            result = (e->reset && len > 0) ? Fail(winsock::WSAECONNRESET) : 0;
            if (e->stream && len > 0 && flags == 0)
                e->knownPending = 0;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN && !e->nonBlocking) {
            if (!e.WaitUntilReady(POLLIN))
                return kSocketError;
            continue;
        }
        if (errno == ECONNRESET)
            e->reset = true;
        result = FailErrno();
        break;
    }
    RearmRead(s, *e);
    return result;
}

int Ws_sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen) {
    SocketCall e(s, BufferError(buf, len));
    if (!e)
        return kSocketError;
    if (e->stream || to == nullptr) {
        e.Release();
        return Ws_send(s, buf, len, flags);
    }
    sockaddr_in sa;
    if (!ToSockaddr(to, tolen, sa))
        return kSocketError;
    const int fd = e->fd;
    return WriteLoop(s, e, [&] {
        return ::sendto(fd, buf, static_cast<size_t>(len), ToPosixFlags(flags) | MSG_NOSIGNAL,
                        reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    });
}

int Ws_recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen) {
    if (!Admit()) // before *fromlen is read
        return kSocketError;
    const bool shortFrom = from && fromlen && *fromlen < static_cast<int>(sizeof(SOCKADDR_IN));
    SocketCall e(s, shortFrom ? winsock::WSAEFAULT : BufferError(buf, len));
    if (!e)
        return kSocketError;
    const int fd = e->fd;
    int result;
    for (;;) {
        sockaddr_in sa{};
        socklen_t salen = sizeof sa;
        ssize_t n = ::recvfrom(fd, buf, static_cast<size_t>(len), ToPosixFlags(flags),
                               reinterpret_cast<sockaddr*>(&sa), &salen);
        if (n >= 0) {
            if (from && fromlen && salen >= sizeof(sockaddr_in))
                FromSockaddr(sa, from, fromlen);
            result = static_cast<int>(n);
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN && !e->nonBlocking) {
            if (!e.WaitUntilReady(POLLIN))
                return kSocketError;
            continue;
        }
        result = FailErrno();
        break;
    }
    RearmRead(s, *e);
    return result;
}

int Ws_shutdown(SOCKET s, int how) {
    SocketCall e(s, how < winsock::SD_RECEIVE || how > winsock::SD_BOTH ? winsock::WSAEINVAL : 0);
    if (!e)
        return kSocketError;
    static constexpr int kHow[] = {SHUT_RD, SHUT_WR, SHUT_RDWR};
    if (::shutdown(e->fd, kHow[how]) != 0)
        return FailErrno();
    if (how != winsock::SD_RECEIVE)
        e->sendShutdown = true;
    return 0;
}

// A socket set to linger for a time (SO_LINGER on, time above 0) closes only
// once what it queued has gone out. The system's close would block for that;
// Windows instead fails a non-blocking socket's closesocket with
// WSAEWOULDBLOCK, and the caller tries again later.
bool MustLingerBeforeClose(const Entry& e) {
    if (!e.nonBlocking || !e.stream || !e.connected)
        return false;
    linger l{};
    socklen_t len = sizeof l;
    if (getsockopt(e.fd, SOL_SOCKET, SO_LINGER, &l, &len) != 0 || !l.l_onoff || l.l_linger <= 0)
        return false;
    int unsent = 0;
    return ioctl(e.fd, SIOCOUTQ, &unsent) == 0 && unsent > 0;
}

int Ws_closesocket(SOCKET s) {
    std::shared_ptr<Entry> e;
    {
        SocketCall call(s);
        if (!call)
            return kSocketError;
        if (MustLingerBeforeClose(*call))
            return Fail(winsock::WSAEWOULDBLOCK);
        e = call.Shared();
        g_sockets.erase(s);
    }
    // Outside the table lock: unwatching from another thread may wait for a
    // callback that is itself waiting for that lock.
    Unwatch(*e);
    close(e->fd);
    return 0;
}

int Ws_ioctlsocket(SOCKET s, long cmd, u_long* argp) {
    SocketCall e(s, argp == nullptr ? winsock::WSAEFAULT : 0);
    if (!e)
        return kSocketError;
    if (cmd == win::Fionread) {
        if (e->knownPending >= 0) {
            *argp = static_cast<u_long>(e->knownPending);
            e->knownPending = -1;
            return 0;
        }
        int n = 0;
        // A listening socket has nothing to read; Linux refuses the question.
        if (!e->listening && ioctl(e->fd, FIONREAD, &n) < 0)
            return FailErrno();
        *argp = static_cast<u_long>(std::max(n, 0));
        return 0;
    }
    if (cmd == win::Fionwrite) {
        int n = 0;
        if (!e->listening && ioctl(e->fd, SIOCOUTQ, &n) < 0)
            return FailErrno();
        *argp = static_cast<u_long>(std::max(n, 0));
        return 0;
    }
    if (cmd == win::Fionbio) {
        // Windows refuses blocking mode while WSAAsyncSelect is in force.
        if (*argp == 0 && e->hwnd != nullptr)
            return Fail(winsock::WSAEINVAL);
        e->nonBlocking = *argp != 0;
        return 0;
    }
    return Fail(winsock::WSAEINVAL);
}

// How a Windows option maps onto the C library's.
enum class OptKind { Int, Linger, BufSize, Error, InAddr, Membership };
struct OptMap {
    int level, name;
    OptKind kind;
};

bool MapOption(int level, int optname, OptMap& out) {
    if (level == win::SolSocket) {
        out.level = SOL_SOCKET;
        out.kind = OptKind::Int;
        if (optname == win::SoDebug)
            out.name = SO_DEBUG;
        else if (optname == win::SoReuseAddr)
            out.name = SO_REUSEADDR;
        else if (optname == win::SoKeepAlive)
            out.name = SO_KEEPALIVE;
        else if (optname == win::SoBroadcast)
            out.name = SO_BROADCAST;
        else if (optname == win::SoLinger)
            out = {SOL_SOCKET, SO_LINGER, OptKind::Linger};
        else if (optname == win::SoSndBuf)
            out = {SOL_SOCKET, SO_SNDBUF, OptKind::BufSize};
        else if (optname == win::SoRcvBuf)
            out = {SOL_SOCKET, SO_RCVBUF, OptKind::BufSize};
        else if (optname == win::SoError)
            out = {SOL_SOCKET, SO_ERROR, OptKind::Error};
        else
            return false;
        return true;
    }
    if (level == win::IpprotoTcp && optname == win::TcpNoDelay) {
        out = {IPPROTO_TCP, TCP_NODELAY, OptKind::Int};
        return true;
    }
    if (level == win::IpprotoIp) {
        if (optname == win::IpMulticastTtl)
            out = {IPPROTO_IP, IP_MULTICAST_TTL, OptKind::Int};
        else if (optname == win::IpMulticastLoop)
            out = {IPPROTO_IP, IP_MULTICAST_LOOP, OptKind::Int};
        else if (optname == win::IpMulticastIf)
            out = {IPPROTO_IP, IP_MULTICAST_IF, OptKind::InAddr};
        else if (optname == win::IpAddMembership)
            out = {IPPROTO_IP, IP_ADD_MEMBERSHIP, OptKind::Membership};
        else
            return false;
        return true;
    }
    return false;
}

int Ws_setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    SocketCall e(s);
    if (!e)
        return kSocketError;
    OptMap m{};
    if (!MapOption(level, optname, m))
        return Fail(winsock::WSAENOPROTOOPT);
    if (optval == nullptr || optlen <= 0)
        return Fail(winsock::WSAEFAULT);
    int rc;
    switch (m.kind) {
    case OptKind::Int:
    case OptKind::BufSize: {
        // Windows takes a BOOL as 4 bytes or as 1.
        int v = 0;
        if (optlen >= static_cast<int>(sizeof v))
            std::memcpy(&v, optval, sizeof v);
        else
            v = static_cast<unsigned char>(optval[0]);
        rc = setsockopt(e->fd, m.level, m.name, &v, sizeof v);
        break;
    }
    case OptKind::Linger: {
        if (optlen < static_cast<int>(sizeof(winsock::LINGER)))
            return Fail(winsock::WSAEFAULT);
        winsock::LINGER wl;
        std::memcpy(&wl, optval, sizeof wl);
        linger l{wl.l_onoff != 0 ? 1 : 0, wl.l_linger};
        rc = setsockopt(e->fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        break;
    }
    case OptKind::InAddr:
    case OptKind::Membership: {
        const int need = m.kind == OptKind::InAddr ? 4 : 8;
        if (optlen < need)
            return Fail(winsock::WSAEFAULT);
        rc = setsockopt(e->fd, m.level, m.name, optval, static_cast<socklen_t>(need));
        break;
    }
    default:
        return Fail(winsock::WSAENOPROTOOPT);
    }
    return rc == 0 ? 0 : FailErrno();
}

int Ws_getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    SocketCall e(s);
    if (!e)
        return kSocketError;
    OptMap m{};
    if (!MapOption(level, optname, m))
        return Fail(winsock::WSAENOPROTOOPT);
    if (optval == nullptr || optlen == nullptr)
        return Fail(winsock::WSAEFAULT);
    switch (m.kind) {
    case OptKind::Linger: {
        if (*optlen < static_cast<int>(sizeof(winsock::LINGER)))
            return Fail(winsock::WSAEFAULT);
        linger l{};
        socklen_t len = sizeof l;
        if (getsockopt(e->fd, SOL_SOCKET, SO_LINGER, &l, &len) != 0)
            return FailErrno();
        winsock::LINGER wl{static_cast<u_short>(l.l_onoff ? 1 : 0),
                           static_cast<u_short>(l.l_linger)};
        std::memcpy(optval, &wl, sizeof wl);
        *optlen = sizeof wl;
        return 0;
    }
    case OptKind::InAddr: {
        if (*optlen < 4)
            return Fail(winsock::WSAEFAULT);
        in_addr a{};
        socklen_t len = sizeof a;
        if (getsockopt(e->fd, m.level, m.name, &a, &len) != 0)
            return FailErrno();
        std::memcpy(optval, &a, 4);
        *optlen = 4;
        return 0;
    }
    case OptKind::Membership:
        return Fail(winsock::WSAENOPROTOOPT);
    default: {
        if (*optlen < static_cast<int>(sizeof(int)))
            return Fail(winsock::WSAEFAULT);
        int v = 0;
        socklen_t len = sizeof v;
        if (getsockopt(e->fd, m.level, m.name, &v, &len) != 0)
            return FailErrno();
        if (m.kind == OptKind::BufSize)
            v /= 2; // Linux reports twice what was set (its bookkeeping share)
        else if (m.kind == OptKind::Error)
            v = winsock_impl::WsaErrorFromErrno(v);
        std::memcpy(optval, &v, sizeof v);
        *optlen = sizeof v;
        return 0;
    }
    }
}

int Ws_bind(SOCKET s, const SOCKADDR* addr, int namelen) {
    SocketCall e(s);
    if (!e)
        return kSocketError;
    sockaddr_in sa;
    if (!ToSockaddr(addr, namelen, sa))
        return kSocketError;
    if (::bind(e->fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        return FailErrno();
    return 0;
}

int Ws_listen(SOCKET s, int backlog) {
    SocketCall e(s);
    if (!e)
        return kSocketError;
    if (!e->stream)
        return Fail(winsock::WSAEOPNOTSUPP);
    if (e->connected || e->connecting)
        return Fail(winsock::WSAEISCONN);
    if (::listen(e->fd, backlog) != 0)
        return FailErrno();
    e->listening = true;
    e->acceptArmed = true;
    Evaluate(s, *e);
    return 0;
}

SOCKET Ws_accept(SOCKET s, SOCKADDR* addr, int* addrlen) {
    if (!Admit()) // before *addrlen is read
        return kInvalidSocket;
    const bool shortAddr = addr && addrlen && *addrlen < static_cast<int>(sizeof(SOCKADDR_IN));
    SocketCall e(s, shortAddr ? winsock::WSAEFAULT : 0);
    if (!e)
        return kInvalidSocket;
    if (!e->listening)
        return FailSocket(winsock::WSAEINVAL);
    const int fd = e->fd;
    for (;;) {
        sockaddr_in sa{};
        socklen_t salen = sizeof sa;
        int nfd =
            ::accept4(fd, reinterpret_cast<sockaddr*>(&sa), &salen, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (nfd >= 0) {
            // The accepted socket takes the listener's WSAAsyncSelect
            // registration, as on Windows.
            auto n = std::make_shared<Entry>();
            n->fd = nfd;
            n->tellsPending = TellPendingOnRead(nfd);
            n->connected = true;
            n->writeArmed = true;
            n->hwnd = e->hwnd;
            n->msg = e->msg;
            n->mask = e->mask;
            n->nonBlocking = e->nonBlocking;
            SOCKET ns = NewSocketValue();
            g_sockets[ns] = n;
            e->acceptArmed = true;
            Evaluate(s, *e);
            Evaluate(ns, *n);
            FromSockaddr(sa, addr, addrlen);
            return ns;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EAGAIN) {
            if (e->nonBlocking) {
                e->acceptArmed = true;
                Evaluate(s, *e);
                return FailSocket(winsock::WSAEWOULDBLOCK);
            }
            if (!e.WaitUntilReady(POLLIN))
                return kInvalidSocket;
            continue;
        }
        FailErrno();
        return kInvalidSocket;
    }
}

int SockOrPeerName(SOCKET s, SOCKADDR* name, int* namelen, bool peer) {
    SocketCall e(s, name == nullptr || namelen == nullptr ? winsock::WSAEFAULT : 0);
    if (!e)
        return kSocketError;
    RefreshConnect(s, *e);
    if (peer && e->stream && !e->connected)
        return Fail(winsock::WSAENOTCONN);
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    int rc = peer ? ::getpeername(e->fd, reinterpret_cast<sockaddr*>(&sa), &len)
                  : ::getsockname(e->fd, reinterpret_cast<sockaddr*>(&sa), &len);
    if (rc != 0)
        return FailErrno();
    return FromSockaddr(sa, name, namelen) ? 0 : kSocketError;
}

int Ws_getsockname(SOCKET s, SOCKADDR* name, int* namelen) {
    return SockOrPeerName(s, name, namelen, false);
}

int Ws_getpeername(SOCKET s, SOCKADDR* name, int* namelen) {
    return SockOrPeerName(s, name, namelen, true);
}

HOSTENT* Ws_gethostbyname(const char* name) {
    if (!Admit(name == nullptr ? winsock::WSAEFAULT : 0))
        return nullptr;
    HostData h;
    // An empty name is the local host, as on Windows.
    char local[256] = {};
    if (*name == '\0') {
        ::gethostname(local, sizeof local - 1);
        name = local;
    }
    if (int err = LookUpName(name, h); err != 0)
        return FailNull(err);
    return ToThreadHostent(h);
}

HOSTENT* Ws_gethostbyaddr(const char* addr, int len, int type) {
    if (!Admit())
        return nullptr;
    HostData h;
    if (int err = LookUpAddr(addr, len, type, h); err != 0)
        return FailNull(err);
    return ToThreadHostent(h);
}

int Ws_gethostname(char* name, int namelen) {
    if (!Admit(name == nullptr || namelen <= 0 ? winsock::WSAEFAULT : 0))
        return kSocketError;
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0)
        return FailErrno();
    size_t n = std::strlen(host);
    if (n + 1 > static_cast<size_t>(namelen))
        return Fail(winsock::WSAEFAULT);
    std::memcpy(name, host, n + 1);
    return 0;
}

SERVENT* Ws_getservbyname(const char* name, const char* proto) {
    if (!Admit(name == nullptr ? winsock::WSAEFAULT : 0))
        return nullptr;
    servent se{};
    servent* res = nullptr;
    char buf[1024];
    if (getservbyname_r(name, proto, &se, buf, sizeof buf, &res) != 0 || res == nullptr)
        return FailNull(winsock::WSANO_DATA);
    PerThreadServ& t = t_serv;
    std::snprintf(t.name, sizeof t.name, "%s", se.s_name);
    std::snprintf(t.proto, sizeof t.proto, "%s", se.s_proto ? se.s_proto : "");
    t.aliases[0] = nullptr;
    t.ent.s_name = t.name;
    t.ent.s_aliases = t.aliases;
    t.ent.s_port = static_cast<short>(se.s_port); // network byte order, as given
    t.ent.s_proto = t.proto;
    return &t.ent;
}

PROTOENT* Ws_getprotobyname(const char* name) {
    if (!Admit(name == nullptr ? winsock::WSAEFAULT : 0))
        return nullptr;
    protoent pe{};
    protoent* res = nullptr;
    char buf[1024];
    if (getprotobyname_r(name, &pe, buf, sizeof buf, &res) != 0 || res == nullptr)
        return FailNull(winsock::WSANO_DATA);
    PerThreadProto& t = t_proto;
    std::snprintf(t.name, sizeof t.name, "%s", pe.p_name);
    t.aliases[0] = nullptr;
    t.ent.p_name = t.name;
    t.ent.p_aliases = t.aliases;
    t.ent.p_proto = static_cast<short>(pe.p_proto);
    return &t.ent;
}

// Windows' inet_addr: the classic dotted forms (a, a.b, a.b.c, a.b.c.d, each
// part decimal, octal or hexadecimal); blanks around the text are allowed,
// anything else after it is refused. INADDR_NONE on failure.
u_long Ws_inet_addr(const char* cp) {
    if (cp == nullptr)
        return win::InaddrNone;
    while (*cp == ' ' || *cp == '\t')
        ++cp;
    std::string text(cp);
    size_t end = text.find_first_of(" \t");
    if (end != std::string::npos) {
        if (text.find_first_not_of(" \t", end) != std::string::npos)
            return win::InaddrNone;
        text.resize(end);
    }
    in_addr a{};
    if (text.empty() || inet_aton(text.c_str(), &a) == 0)
        return win::InaddrNone;
    return a.s_addr;
}

char* Ws_inet_ntoa(winsock::IN_ADDR in) {
    unsigned char b[4];
    std::memcpy(b, &in.s_addr, 4);
    std::snprintf(t_ntoa, sizeof t_ntoa, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return t_ntoa;
}

u_short Ws_htons(u_short v) {
    return htons(v);
}
u_short Ws_ntohs(u_short v) {
    return ntohs(v);
}
u_long Ws_htonl(u_long v) {
    return htonl(v);
}
u_long Ws_ntohl(u_long v) {
    return ntohl(v);
}

// For "ws2_32.dll", which works on the same sockets: the descriptor of a
// SOCKET, or -1 with the Windows error set.
int IcsSocketDescriptor(SOCKET s) {
    SocketCall e(s);
    if (!e)
        return kSocketError;
    return e->fd;
}

// ---- the export directory ---------------------------------------------------------

#define ICS_EXPORT(name, fn)                                                                       \
    IcsExportEntry {                                                                               \
        name, reinterpret_cast<void*>(&fn)                                                         \
    }

const IcsExportEntry kExports[] = {
    ICS_EXPORT("WSAStartup", Ws_WSAStartup),
    ICS_EXPORT("WSACleanup", Ws_WSACleanup),
    ICS_EXPORT("WSAGetLastError", Ws_WSAGetLastError),
    ICS_EXPORT("WSASetLastError", Ws_WSASetLastError),
    ICS_EXPORT("WSAAsyncSelect", Ws_WSAAsyncSelect),
    ICS_EXPORT("WSAAsyncGetHostByName", Ws_WSAAsyncGetHostByName),
    ICS_EXPORT("WSAAsyncGetHostByAddr", Ws_WSAAsyncGetHostByAddr),
    ICS_EXPORT("WSACancelAsyncRequest", Ws_WSACancelAsyncRequest),
    ICS_EXPORT("socket", Ws_socket),
    ICS_EXPORT("connect", Ws_connect),
    ICS_EXPORT("send", Ws_send),
    ICS_EXPORT("recv", Ws_recv),
    ICS_EXPORT("sendto", Ws_sendto),
    ICS_EXPORT("recvfrom", Ws_recvfrom),
    ICS_EXPORT("shutdown", Ws_shutdown),
    ICS_EXPORT("closesocket", Ws_closesocket),
    ICS_EXPORT("ioctlsocket", Ws_ioctlsocket),
    ICS_EXPORT("setsockopt", Ws_setsockopt),
    ICS_EXPORT("getsockopt", Ws_getsockopt),
    ICS_EXPORT("bind", Ws_bind),
    ICS_EXPORT("listen", Ws_listen),
    ICS_EXPORT("accept", Ws_accept),
    ICS_EXPORT("getsockname", Ws_getsockname),
    ICS_EXPORT("getpeername", Ws_getpeername),
    ICS_EXPORT("gethostbyname", Ws_gethostbyname),
    ICS_EXPORT("gethostbyaddr", Ws_gethostbyaddr),
    ICS_EXPORT("gethostname", Ws_gethostname),
    ICS_EXPORT("getservbyname", Ws_getservbyname),
    ICS_EXPORT("getprotobyname", Ws_getprotobyname),
    ICS_EXPORT("inet_addr", Ws_inet_addr),
    ICS_EXPORT("inet_ntoa", Ws_inet_ntoa),
    ICS_EXPORT("htons", Ws_htons),
    ICS_EXPORT("ntohs", Ws_ntohs),
    ICS_EXPORT("htonl", Ws_htonl),
    ICS_EXPORT("ntohl", Ws_ntohl),
    ICS_EXPORT("IcsSocketDescriptor", IcsSocketDescriptor),
};

} // namespace

// The module's one visible symbol.
extern "C" __attribute__((visibility("default")))
const IcsExportDirectory IcsWsock32Exports __asm__(ICS_EXPORT_DIRECTORY_SYMBOL) = {
    "wsock32.dll", sizeof kExports / sizeof kExports[0], kExports};
