#include "net/socket/wsocket_binding.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>

using namespace winsock;

namespace {

// Entry points in the order of the cache.
enum Proc {
    pWSAStartup,
    pWSACleanup,
    pWSAGetLastError,
    pWSASetLastError,
    pWSAAsyncSelect,
    pWSAAsyncGetHostByName,
    pWSAAsyncGetHostByAddr,
    pWSACancelAsyncRequest,
    psocket,
    pconnect,
    psend,
    precv,
    psendto,
    precvfrom,
    pshutdown,
    pclosesocket,
    pioctlsocket,
    psetsockopt,
    pgetsockopt,
    pbind,
    plisten,
    paccept,
    pgetsockname,
    pgetpeername,
    pgethostbyname,
    pgethostbyaddr,
    pgethostname,
    pgetservbyname,
    pgetprotobyname,
    pinet_addr,
    pinet_ntoa,
    phtons,
    pntohs,
    phtonl,
    pntohl,
    pWSAIoctl, // the one from ws2_32.dll
    pCount
};

constexpr const char* kProcNames[pCount] = {"WSAStartup",
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
                                            "ntohl",
                                            "WSAIoctl"};

constexpr const char* kWsock32 = "wsock32.dll";
constexpr const char* kWs2_32 = "ws2_32.dll";

struct BindingState {
    CRITICAL_SECTION lock{};
    int socketCount = 0;
    HMODULE wsock32 = nullptr;
    HMODULE ws2_32 = nullptr;
    BYTE reqVerLow = 1;
    BYTE reqVerHigh = 1;
    WSADATA data{};

    BindingState() { InitializeCriticalSection(&lock); }
};

// The entry points' addresses, resolved all at once when a module is loaded
// and cleared when it is unloaded, both under the lock. Every call reads its
// address here without the lock: the addresses do not change while the
// module stays loaded, and it stays loaded while a socket lives (or, for the
// synchronized calls, while the call runs). Null: not loaded, or the module
// lacks the entry point (the slow path then says so).
constinit std::atomic<FARPROC> Table[pCount] = {};

class Locked {
public:
    explicit Locked(BindingState& st) : FCs(&st.lock) { EnterCriticalSection(FCs); }
    ~Locked() { LeaveCriticalSection(FCs); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    CRITICAL_SECTION* FCs;
};

void UnloadLocked(BindingState& st);

// At program end the library is unloaded when no socket is left (the Win32
// layer's tables are never destroyed, so this is safe from a static
// destructor).
struct ProgramEnd {
    BindingState* st;
    ~ProgramEnd() {
        Locked lock(*st);
        if (st->socketCount < 1 && st->wsock32)
            UnloadLocked(*st);
    }
};

// Created on first use and never destroyed, so that sockets freed by other
// static destructors still find it.
BindingState& State() {
    static BindingState* st = new BindingState;
    static ProgramEnd atEnd{st};
    return *st;
}

void UnloadLocked(BindingState& st) {
    if (st.wsock32) {
        auto cleanup =
            reinterpret_cast<PFN_WSACleanup>(GetProcAddress(st.wsock32, kProcNames[pWSACleanup]));
        if (cleanup)
            cleanup();
    }
    for (std::atomic<FARPROC>& entry : Table)
        entry.store(nullptr, std::memory_order_release);
    if (st.ws2_32)
        FreeLibrary(st.ws2_32);
    if (st.wsock32)
        FreeLibrary(st.wsock32);
    st.ws2_32 = nullptr;
    st.wsock32 = nullptr;
}

// Looks up the entry points [first, last) of a module just loaded. One the
// module lacks stays null; the thread's last error is left as it was, since
// a missing entry point is reported only when it is called.
void ResolveLocked(HMODULE module, int first, int last) {
    const DWORD lastError = GetLastError();
    for (int id = first; id < last; ++id)
        Table[id].store(GetProcAddress(module, kProcNames[id]), std::memory_order_release);
    SetLastError(lastError);
}

void LoadWsock32Locked(BindingState& st) {
    if (st.wsock32)
        return;
    HMODULE h = LoadLibraryA(kWsock32);
    if (!h)
        throw ESocketException(std::string("Unable to load ") + kWsock32 + " - " +
                               WSocketSystemErrorText(GetLastError()));
    auto startup = reinterpret_cast<PFN_WSAStartup>(GetProcAddress(h, kProcNames[pWSAStartup]));
    if (!startup) {
        DWORD err = GetLastError();
        FreeLibrary(h);
        throw ESocketException(std::string("Procedure WSAStartup not found in ") + kWsock32 +
                               " - " + WSocketSystemErrorText(err));
    }
    WSADATA data{};
    int rc = startup(static_cast<WORD>(st.reqVerLow | (st.reqVerHigh << 8)), &data);
    if (rc != 0) {
        FreeLibrary(h);
        throw ESocketException(std::string("Winsock startup error ") + kWsock32 + " - " +
                               WSocketSystemErrorText(static_cast<DWORD>(rc)));
    }
    st.wsock32 = h;
    st.data = data;
    ResolveLocked(h, 0, pWSAIoctl);
}

// Loaded only for WSAIoctl, the first time it is called.
void LoadWs2_32Locked(BindingState& st) {
    if (st.ws2_32)
        return;
    st.ws2_32 = LoadLibraryA(kWs2_32);
    if (!st.ws2_32)
        throw ESocketException(std::string("Unable to load ") + kWs2_32 + " - " +
                               WSocketSystemErrorText(GetLastError()));
    ResolveLocked(st.ws2_32, pWSAIoctl, pCount);
}

// The slow path of an entry point not in the table: loads what is needed,
// or says which entry point the module lacks.
FARPROC LoadProc(Proc id) {
    BindingState& st = State();
    Locked lock(st);
    LoadWsock32Locked(st);
    if (id == pWSAIoctl)
        LoadWs2_32Locked(st);
    if (FARPROC p = Table[id].load(std::memory_order_acquire))
        return p;
    const bool ws2 = id == pWSAIoctl;
    // The module lacks it: asked once more for the error that says why.
    if (FARPROC p = GetProcAddress(ws2 ? st.ws2_32 : st.wsock32, kProcNames[id]))
        return p;
    throw ESocketException(std::string("Procedure ") + kProcNames[id] + " not found in " +
                           (ws2 ? kWs2_32 : kWsock32) + " - " +
                           WSocketSystemErrorText(GetLastError()));
}

template <typename Fn> Fn Get(Proc id) {
    FARPROC p = Table[id].load(std::memory_order_acquire);
    return reinterpret_cast<Fn>(p ? p : LoadProc(id));
}

// Keeps the library loaded around one call (the socket count is raised for
// its duration; the lowering never unloads).
class SynchronizedCall {
public:
    SynchronizedCall() {
        Locked lock(State());
        ++State().socketCount;
    }
    ~SynchronizedCall() {
        Locked lock(State());
        --State().socketCount;
    }
    SynchronizedCall(const SynchronizedCall&) = delete;
    SynchronizedCall& operator=(const SynchronizedCall&) = delete;
};

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

// ---- the library's lifetime -----------------------------------------------

CRITICAL_SECTION& WinsockLock() {
    return State().lock;
}

void WSocketRaiseSocketCount() {
    BindingState& st = State();
    Locked lock(st);
    ++st.socketCount;
}

void WSocketLowerSocketCount() {
    BindingState& st = State();
    Locked lock(st);
    if (--st.socketCount < 1 && st.wsock32)
        UnloadLocked(st);
}

int SocketCount() {
    BindingState& st = State();
    Locked lock(st);
    return st.socketCount;
}

void WSocketUnloadWinsockIfUnused() {
    BindingState& st = State();
    Locked lock(st);
    if (st.socketCount < 1 && st.wsock32)
        UnloadLocked(st);
}

bool WSocketWinsockLoaded() {
    return WSocketWsock32Module() != nullptr;
}

HMODULE WSocketWsock32Module() {
    BindingState& st = State();
    Locked lock(st);
    return st.wsock32;
}

HMODULE WSocketWs2_32Module() {
    BindingState& st = State();
    Locked lock(st);
    return st.ws2_32;
}

BYTE WSocketReqVerLow() {
    BindingState& st = State();
    Locked lock(st);
    return st.reqVerLow;
}

BYTE WSocketReqVerHigh() {
    BindingState& st = State();
    Locked lock(st);
    return st.reqVerHigh;
}

// The version is what WSAStartup was asked for; once loaded it cannot change.
std::string WSocketSetReqVerLow(BYTE value) {
    BindingState& st = State();
    Locked lock(st);
    if (value == st.reqVerLow)
        return {};
    if (st.wsock32)
        return "SetReqVerLow: WinSock version can't be changed now";
    st.reqVerLow = value;
    return {};
}

std::string WSocketSetReqVerHigh(BYTE value) {
    BindingState& st = State();
    Locked lock(st);
    if (value == st.reqVerHigh)
        return {};
    if (st.wsock32)
        return "SetReqVerHigh: WinSock version can't be changed now";
    st.reqVerHigh = value;
    return {};
}

WSADATA WSocketGetWSAData() {
    BindingState& st = State();
    Locked lock(st);
    return st.data;
}

// ---- entry points -----------------------------------------------------------

int WSocket_WSAStartup(WORD versionRequested, WSADATA* data) {
    return Get<PFN_WSAStartup>(pWSAStartup)(versionRequested, data);
}
int WSocket_WSACleanup() {
    return Get<PFN_WSACleanup>(pWSACleanup)();
}
int WSocket_WSAGetLastError() {
    return Get<PFN_WSAGetLastError>(pWSAGetLastError)();
}
void WSocket_WSASetLastError(int error) {
    Get<PFN_WSASetLastError>(pWSASetLastError)(error);
}
int WSocket_WSAAsyncSelect(SOCKET s, HWND hwnd, UINT msg, long event) {
    return Get<PFN_WSAAsyncSelect>(pWSAAsyncSelect)(s, hwnd, msg, event);
}
HANDLE WSocket_WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen) {
    return Get<PFN_WSAAsyncGetHostByName>(pWSAAsyncGetHostByName)(hwnd, msg, name, buf, buflen);
}
HANDLE WSocket_WSAAsyncGetHostByAddr(HWND hwnd, UINT msg, const char* addr, int len, int type,
                                     char* buf, int buflen) {
    return Get<PFN_WSAAsyncGetHostByAddr>(pWSAAsyncGetHostByAddr)(hwnd, msg, addr, len, type, buf,
                                                                  buflen);
}
int WSocket_WSACancelAsyncRequest(HANDLE asyncTask) {
    return Get<PFN_WSACancelAsyncRequest>(pWSACancelAsyncRequest)(asyncTask);
}
SOCKET WSocket_socket(int af, int type, int protocol) {
    return Get<PFN_socket>(psocket)(af, type, protocol);
}
int WSocket_connect(SOCKET s, const SOCKADDR* name, int namelen) {
    return Get<PFN_connect>(pconnect)(s, name, namelen);
}
int WSocket_send(SOCKET s, const char* buf, int len, int flags) {
    return Get<PFN_send>(psend)(s, buf, len, flags);
}
int WSocket_recv(SOCKET s, char* buf, int len, int flags) {
    return Get<PFN_recv>(precv)(s, buf, len, flags);
}
int WSocket_sendto(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to, int tolen) {
    return Get<PFN_sendto>(psendto)(s, buf, len, flags, to, tolen);
}
int WSocket_recvfrom(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen) {
    return Get<PFN_recvfrom>(precvfrom)(s, buf, len, flags, from, fromlen);
}
int WSocket_shutdown(SOCKET s, int how) {
    return Get<PFN_shutdown>(pshutdown)(s, how);
}
int WSocket_closesocket(SOCKET s) {
    return Get<PFN_closesocket>(pclosesocket)(s);
}
int WSocket_ioctlsocket(SOCKET s, long cmd, winsock::u_long* argp) {
    return Get<PFN_ioctlsocket>(pioctlsocket)(s, cmd, argp);
}
int WSocket_setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen) {
    SynchronizedCall keep;
    return Get<PFN_setsockopt>(psetsockopt)(s, level, optname, optval, optlen);
}
int WSocket_getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen) {
    SynchronizedCall keep;
    return Get<PFN_getsockopt>(pgetsockopt)(s, level, optname, optval, optlen);
}
int WSocket_WSAIoctl(SOCKET s, DWORD ioControlCode, void* inBuffer, DWORD inLen, void* outBuffer,
                     DWORD outLen, DWORD* bytesReturned, void* overlapped,
                     void* completionRoutine) {
    SynchronizedCall keep;
    return Get<PFN_WSAIoctl>(pWSAIoctl)(s, ioControlCode, inBuffer, inLen, outBuffer, outLen,
                                        bytesReturned, overlapped, completionRoutine);
}
int WSocket_gethostname(char* name, int namelen) {
    SynchronizedCall keep;
    return Get<PFN_gethostname>(pgethostname)(name, namelen);
}
char* WSocket_inet_ntoa(IN_ADDR in) {
    SynchronizedCall keep;
    return Get<PFN_inet_ntoa>(pinet_ntoa)(in);
}
int WSocket_bind(SOCKET s, const SOCKADDR* addr, int namelen) {
    return Get<PFN_bind>(pbind)(s, addr, namelen);
}
int WSocket_listen(SOCKET s, int backlog) {
    return Get<PFN_listen>(plisten)(s, backlog);
}
SOCKET WSocket_accept(SOCKET s, SOCKADDR* addr, int* addrlen) {
    return Get<PFN_accept>(paccept)(s, addr, addrlen);
}
int WSocket_getsockname(SOCKET s, SOCKADDR* name, int* namelen) {
    return Get<PFN_getsockname>(pgetsockname)(s, name, namelen);
}
int WSocket_getpeername(SOCKET s, SOCKADDR* name, int* namelen) {
    return Get<PFN_getpeername>(pgetpeername)(s, name, namelen);
}
HOSTENT* WSocket_gethostbyname(const char* name) {
    return Get<PFN_gethostbyname>(pgethostbyname)(name);
}
HOSTENT* WSocket_gethostbyaddr(const char* addr, int len, int type) {
    return Get<PFN_gethostbyaddr>(pgethostbyaddr)(addr, len, type);
}
SERVENT* WSocket_getservbyname(const char* name, const char* proto) {
    return Get<PFN_getservbyname>(pgetservbyname)(name, proto);
}
PROTOENT* WSocket_getprotobyname(const char* name) {
    return Get<PFN_getprotobyname>(pgetprotobyname)(name);
}
winsock::u_long WSocket_inet_addr(const char* cp) {
    return Get<PFN_inet_addr>(pinet_addr)(cp);
}
winsock::u_short WSocket_htons(winsock::u_short v) {
    return Get<PFN_htons>(phtons)(v);
}
winsock::u_short WSocket_ntohs(winsock::u_short v) {
    return Get<PFN_ntohs>(pntohs)(v);
}
winsock::u_long WSocket_htonl(winsock::u_long v) {
    return Get<PFN_htonl>(phtonl)(v);
}
winsock::u_long WSocket_ntohl(winsock::u_long v) {
    return Get<PFN_ntohl>(pntohl)(v);
}

// ---- names and addresses ------------------------------------------------------

std::string LocalMachineName() {
    char buf[256] = {};
    if (WSocket_gethostname(buf, sizeof buf) != 0)
        throw ESocketException("Winsock Get Host Name failed");
    return std::string(buf, strnlen(buf, sizeof buf));
}

bool WSocketIsDottedIP(const std::string& text) {
    const size_t n = text.size();
    size_t i = 0;
    while (i < n && text[i] == ' ')
        ++i;
    if (i < n && text[i] == '.')
        return false;
    int dots = 0;
    int number = 0;
    for (; i < n; ++i) {
        const char c = text[i];
        if (IsDigit(c)) {
            number = std::min(number * 10 + (c - '0'), 256); // 256 stands for "too big"
        } else if (c == '.') {
            if (++dots > 3 || number > 255 || i + 1 >= n || !IsDigit(text[i + 1]))
                return false;
            number = 0;
        } else {
            // The address ends here; only blanks may follow.
            for (; i < n; ++i)
                if (text[i] != ' ')
                    return false;
            break;
        }
    }
    return dots == 3 && number < 256;
}

namespace {

// The resolvers leave the code of their failure as the thread's last Windows
// Sockets error, as the lookups they call do, so that the socket can report
// it with the text: a text refused without a lookup is an invalid argument.
[[noreturn]] void RefuseText(const std::string& message) {
    WSocket_WSASetLastError(WSAEINVAL);
    throw ESocketException(message);
}

// A port or protocol text that starts like a number is read as one, without
// asking the services or protocols database.
bool StartsLikeNumber(const std::string& text) {
    return !text.empty() && (IsDigit(text[0]) || text[0] == '-' || text[0] == '+');
}

// The value of a text that is a decimal number as a whole, blanks around it
// aside, and at most `limit`; -1 for anything else ("1abc" is not 1, "-1"
// and "+1" carry a sign, a long digit string is too big).
long WholeNumber(const std::string& text, long limit) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    long value = 0;
    size_t digits = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i, ++digits) {
        value = value * 10 + (text[i] - '0');
        if (value > limit)
            return -1;
    }
    while (i < text.size() && text[i] == ' ')
        ++i;
    if (digits == 0 || i != text.size())
        return -1;
    return value;
}

} // namespace

winsock::u_long WSocketResolveHost(const std::string& host) {
    if (host.empty())
        RefuseText("Winsock Resolve Host: '" + host + "' Invalid Hostname.");
    if (WSocketIsDottedIP(host)) {
        winsock::u_long addr = WSocket_inet_addr(host.c_str());
        // inet_addr cannot tell the broadcast address from a failure.
        if (addr == INADDR_NONE && host != "255.255.255.255")
            RefuseText("Winsock Resolve Host: '" + host + "' Invalid IP address.");
        return addr;
    }
    HOSTENT* he = WSocket_gethostbyname(host.c_str());
    if (he == nullptr || he->h_addr_list == nullptr || he->h_addr_list[0] == nullptr)
        throw ESocketException("Winsock Resolve Host: Cannot convert host address '" + host +
                               "' - " + WSocketErrorDesc(WSocket_WSAGetLastError()));
    winsock::u_long addr;
    std::memcpy(&addr, he->h_addr_list[0], sizeof addr);
    return addr;
}

winsock::u_short WSocketResolvePort(const std::string& port, const std::string& proto) {
    if (port.empty())
        RefuseText("Winsock Resolve Port: Invalid Port.");
    if (proto.empty())
        RefuseText("Winsock Resolve Port: Invalid Proto.");
    if (StartsLikeNumber(port)) {
        // Read without asking the services database; a number cut to 16 bits
        // (70000) or a signed one (-1) would be another port.
        const long value = WholeNumber(port, 0xFFFF);
        if (value < 0)
            RefuseText("Winsock Resolve Port: Invalid Port.");
        return static_cast<winsock::u_short>(value);
    }
    SERVENT* se = WSocket_getservbyname(port.c_str(), proto.c_str());
    if (se == nullptr)
        throw ESocketException("Winsock Resolve Port: Cannot convert port '" + port + "' - " +
                               WSocketErrorDesc(WSocket_WSAGetLastError()));
    return WSocket_ntohs(static_cast<winsock::u_short>(se->s_port));
}

int WSocketResolveProto(const std::string& proto) {
    if (proto.empty())
        RefuseText("Winsock Resolve Proto: Invalid Protocol.");
    if (StartsLikeNumber(proto)) {
        // The IP header has one byte for the protocol.
        const long value = WholeNumber(proto, 255);
        if (value < 0)
            RefuseText("Winsock Resolve Proto: Invalid Protocol.");
        return static_cast<int>(value);
    }
    std::string name = Trim(proto);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name == "tcp")
        return IPPROTO_TCP;
    if (name == "udp")
        return IPPROTO_UDP;
    if (name == "raw")
        return IPPROTO_RAW;
    PROTOENT* pe = WSocket_getprotobyname(name.c_str());
    if (pe == nullptr)
        throw ESocketException("Winsock Resolve Proto: Cannot convert protocol '" + proto + "' - " +
                               WSocketErrorDesc(WSocket_WSAGetLastError()));
    return pe->p_proto;
}

// ---- error texts ----------------------------------------------------------------

std::string WSocketErrorText(int errCode) {
    switch (errCode) {
    case 0:
        return "No Error";
    case 10004:
        return "Interrupted system call";
    case 10009:
        return "Bad file number";
    case 10013:
        return "Permission denied";
    case 10014:
        return "Bad address";
    case 10022:
        return "Invalid argument";
    case 10024:
        return "Too many open files";
    case 10035:
        return "Operation would block";
    case 10036:
        return "Operation now in progress";
    case 10037:
        return "Operation already in progress";
    case 10038:
        return "Socket operation on non-socket";
    case 10039:
        return "Destination address required";
    case 10040:
        return "Message too long";
    case 10041:
        return "Protocol wrong type for socket";
    case 10042:
        return "Protocol not available";
    case 10043:
        return "Protocol not supported";
    case 10044:
        return "Socket type not supported";
    case 10045:
        return "Operation not supported on socket";
    case 10046:
        return "Protocol family not supported";
    case 10047:
        return "Address family not supported by protocol family";
    case 10048:
        return "Address already in use";
    case 10049:
        return "Address not available";
    case 10050:
        return "Network is down";
    case 10051:
        return "Network is unreachable";
    case 10052:
        return "Network dropped connection on reset";
    case 10053:
        return "Connection aborted";
    case 10054:
        return "Connection reset by peer";
    case 10055:
        return "No buffer space available";
    case 10056:
        return "Socket is already connected";
    case 10057:
        return "Socket is not connected";
    case 10058:
        return "Can't send after socket shutdown";
    case 10059:
        return "Too many references: can't splice";
    case 10060:
        return "Connection timed out";
    case 10061:
        return "Connection refused";
    case 10062:
        return "Too many levels of symbolic links";
    case 10063:
        return "File name too long";
    case 10064:
        return "Host is down";
    case 10065:
        return "No route to host";
    case 10066:
        return "Directory not empty";
    case 10067:
        return "Too many processes";
    case 10068:
        return "Too many users";
    case 10069:
        return "Disc quota exceeded";
    case 10070:
        return "Stale NFS file handle";
    case 10071:
        return "Too many levels of remote in path";
    case 10091:
        return "Network sub-system is unusable";
    case 10092:
        return "WinSock DLL cannot support this application";
    case 10093:
        return "WinSock not initialized";
    case 11001:
        return "Host not found";
    case 11002:
        return "Non-authoritative host not found";
    case 11003:
        return "Non-recoverable error";
    case 11004:
        return "No Data";
    default:
        return "Not a WinSock error";
    }
}

std::string WSocketErrorDesc(int errCode) {
    return WSocketErrorText(errCode) + " (#" + std::to_string(errCode) + ")";
}

std::string WSocketSystemErrorText(DWORD errCode) {
    char buf[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             errCode, 0, buf, sizeof buf, nullptr);
    std::string text(buf, std::min<size_t>(n, sizeof buf));
    text.resize(strnlen(text.c_str(), text.size()));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text + " (#" + std::to_string(errCode) + ")";
}
