// Windows Sockets 1.1 types, constants and entry-point signatures, as the
// socket layer sees them. The entry points live in the stand-in modules
// "wsock32.dll" and "ws2_32.dll" (libwsock32.so, libws2_32.so) and are reached
// only through LoadLibraryA/GetProcAddress. Everything is in namespace
// `winsock` with the Windows values, so it cannot collide with the C
// library's socket names. Include this before any POSIX socket header:
// those define several of these names as macros.
#pragma once

#include "platform/win32/windows.h"

#include <cstdint>

namespace winsock {

using SOCKET = std::uintptr_t;
using u_char = std::uint8_t;
using u_short = std::uint16_t;
using u_long = std::uint32_t;

constexpr SOCKET INVALID_SOCKET = ~static_cast<SOCKET>(0);
constexpr int SOCKET_ERROR = -1;

struct IN_ADDR {
    u_long s_addr; // network byte order
};

struct SOCKADDR {
    u_short sa_family;
    char sa_data[14];
};

struct SOCKADDR_IN {
    short sin_family;
    u_short sin_port; // network byte order
    IN_ADDR sin_addr;
    char sin_zero[8];
};
static_assert(sizeof(SOCKADDR_IN) == 16);

struct HOSTENT {
    char* h_name;
    char** h_aliases;
    short h_addrtype;
    short h_length;
    char** h_addr_list;
};

struct SERVENT {
    char* s_name;
    char** s_aliases;
    short s_port; // network byte order
    char* s_proto;
};

struct PROTOENT {
    char* p_name;
    char** p_aliases;
    short p_proto;
};

constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;
struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
};

struct LINGER {
    u_short l_onoff;
    u_short l_linger;
};

struct tcp_keepalive {
    u_long onoff;
    u_long keepalivetime;
    u_long keepaliveinterval;
};

// Address and protocol families, socket types, protocols.
constexpr int AF_UNSPEC = 0;
constexpr int AF_INET = 2;
constexpr int PF_INET = 2;
constexpr int SOCK_STREAM = 1;
constexpr int SOCK_DGRAM = 2;
constexpr int SOCK_RAW = 3;
constexpr int IPPROTO_IP = 0;
constexpr int IPPROTO_TCP = 6;
constexpr int IPPROTO_UDP = 17;
constexpr int IPPROTO_RAW = 255;

constexpr u_long INADDR_ANY = 0x00000000u;
constexpr u_long INADDR_NONE = 0xFFFFFFFFu;
constexpr u_long INADDR_BROADCAST = 0xFFFFFFFFu;

// Socket options (Windows values).
constexpr int SOL_SOCKET = 0xFFFF;
constexpr int SO_DEBUG = 0x0001;
constexpr int SO_REUSEADDR = 0x0004;
constexpr int SO_KEEPALIVE = 0x0008;
constexpr int SO_BROADCAST = 0x0020;
constexpr int SO_LINGER = 0x0080;
constexpr int SO_SNDBUF = 0x1001;
constexpr int SO_RCVBUF = 0x1002;
constexpr int SO_ERROR = 0x1007;
constexpr int TCP_NODELAY = 0x0001;
constexpr int IP_MULTICAST_IF = 9;
constexpr int IP_MULTICAST_TTL = 10;
constexpr int IP_MULTICAST_LOOP = 11;
constexpr int IP_ADD_MEMBERSHIP = 12;

constexpr long FIONREAD = 0x4004667FL;
constexpr long FIONBIO = static_cast<long>(0x8004667EL);
// Not a Windows command: the bytes the system still holds for sending that
// the peer has not yet acknowledged (Linux SIOCOUTQ, BSD FIONWRITE). It tells
// a peer that takes an upload slowly from one that takes nothing.
constexpr long FIONWRITE = 0x40046679L;
constexpr DWORD SIO_KEEPALIVE_VALS = 0x98000004u;

constexpr int MSG_OOB = 0x1;
constexpr int MSG_PEEK = 0x2;

constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;

// WSAAsyncSelect event bits.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

constexpr int MAXGETHOSTSTRUCT = 1024;

// lParam of a network-event message: low word the event, high word the error.
inline LPARAM WSAMAKESELECTREPLY(WORD event, WORD error) {
    return static_cast<LPARAM>(MAKELONG(event, error));
}
inline WORD WSAGETSELECTEVENT(LPARAM l) {
    return LOWORD(static_cast<DWORD>(l));
}
inline WORD WSAGETSELECTERROR(LPARAM l) {
    return HIWORD(static_cast<DWORD>(l));
}
// lParam of a lookup answer: low word the buffer length, high word the error.
inline LPARAM WSAMAKEASYNCREPLY(WORD buflen, WORD error) {
    return static_cast<LPARAM>(MAKELONG(buflen, error));
}
inline WORD WSAGETASYNCBUFLEN(LPARAM l) {
    return LOWORD(static_cast<DWORD>(l));
}
inline WORD WSAGETASYNCERROR(LPARAM l) {
    return HIWORD(static_cast<DWORD>(l));
}

// Windows Sockets error codes.
constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// Entry-point signatures, for the pointers GetProcAddress returns.
using PFN_WSAStartup = int (*)(WORD versionRequested, WSADATA* data);
using PFN_WSACleanup = int (*)();
using PFN_WSAGetLastError = int (*)();
using PFN_WSASetLastError = void (*)(int error);
using PFN_WSAAsyncSelect = int (*)(SOCKET s, HWND hwnd, UINT msg, long event);
using PFN_WSAAsyncGetHostByName = HANDLE (*)(HWND hwnd, UINT msg, const char* name, char* buf,
                                             int buflen);
using PFN_WSAAsyncGetHostByAddr = HANDLE (*)(HWND hwnd, UINT msg, const char* addr, int len,
                                             int type, char* buf, int buflen);
using PFN_WSACancelAsyncRequest = int (*)(HANDLE asyncTask);
using PFN_socket = SOCKET (*)(int af, int type, int protocol);
using PFN_connect = int (*)(SOCKET s, const SOCKADDR* name, int namelen);
using PFN_send = int (*)(SOCKET s, const char* buf, int len, int flags);
using PFN_recv = int (*)(SOCKET s, char* buf, int len, int flags);
using PFN_sendto = int (*)(SOCKET s, const char* buf, int len, int flags, const SOCKADDR* to,
                           int tolen);
using PFN_recvfrom = int (*)(SOCKET s, char* buf, int len, int flags, SOCKADDR* from, int* fromlen);
using PFN_shutdown = int (*)(SOCKET s, int how);
using PFN_closesocket = int (*)(SOCKET s);
using PFN_ioctlsocket = int (*)(SOCKET s, long cmd, u_long* argp);
using PFN_setsockopt = int (*)(SOCKET s, int level, int optname, const char* optval, int optlen);
using PFN_getsockopt = int (*)(SOCKET s, int level, int optname, char* optval, int* optlen);
using PFN_bind = int (*)(SOCKET s, const SOCKADDR* addr, int namelen);
using PFN_listen = int (*)(SOCKET s, int backlog);
using PFN_accept = SOCKET (*)(SOCKET s, SOCKADDR* addr, int* addrlen);
using PFN_getsockname = int (*)(SOCKET s, SOCKADDR* name, int* namelen);
using PFN_getpeername = int (*)(SOCKET s, SOCKADDR* name, int* namelen);
using PFN_gethostbyname = HOSTENT* (*)(const char* name);
using PFN_gethostbyaddr = HOSTENT* (*)(const char* addr, int len, int type);
using PFN_gethostname = int (*)(char* name, int namelen);
using PFN_getservbyname = SERVENT* (*)(const char* name, const char* proto);
using PFN_getprotobyname = PROTOENT* (*)(const char* name);
using PFN_inet_addr = u_long (*)(const char* cp);
using PFN_inet_ntoa = char* (*)(IN_ADDR in);
using PFN_htons = u_short (*)(u_short v);
using PFN_ntohs = u_short (*)(u_short v);
using PFN_htonl = u_long (*)(u_long v);
using PFN_ntohl = u_long (*)(u_long v);
using PFN_WSAIoctl = int (*)(SOCKET s, DWORD ioControlCode, void* inBuffer, DWORD inLen,
                             void* outBuffer, DWORD outLen, DWORD* bytesReturned, void* overlapped,
                             void* completionRoutine);

} // namespace winsock
