// The run-time binding of Windows Sockets: the socket layer reaches the
// library only through the WSocket_* functions below. "wsock32.dll" is loaded
// on the first call of any of them (and "ws2_32.dll" on the first WSocket_WSAIoctl),
// its entry points are looked up by name when it is loaded, and everything is
// unloaded again when the last socket object goes away. A call reads its
// entry point's address without taking a lock. The same unit holds
// the host, port and protocol resolvers, the local host name query and the
// texts by which socket failures are reported.
#pragma once

#include "framework/exception.h"
#include "platform/winsock/winsock.h"

#include <string>

DECLARE_EXCEPTION_CLASS(ESocketException, Exception)

// ---- the library's lifetime -----------------------------------------------

// Guards loading, unloading (which write the table of entry points) and the
// socket count. Recursive, like every CRITICAL_SECTION.
CRITICAL_SECTION& WinsockLock();

// Live socket objects. The socket's constructor raises the count and its
// destructor lowers it; the lowering that brings it below 1 unloads the
// library (WSACleanup, FreeLibrary of both modules, cache forgotten).
void WSocketRaiseSocketCount();
void WSocketLowerSocketCount();
int SocketCount();

// Unloads now if no socket object is alive (what happens at program end).
void WSocketUnloadWinsockIfUnused();

// True while "wsock32.dll" is loaded by this binding.
bool WSocketWinsockLoaded();
// The module handles, nullptr while not loaded.
HMODULE WSocketWsock32Module();
HMODULE WSocketWs2_32Module();

// The Windows Sockets version asked for at load time (1.1 by default):
// low byte ReqVerLow, high byte ReqVerHigh. Changing it while the library is
// loaded is refused: the setters then return the text the socket reports
// through its SocketFailure ("SetReqVerLow: WinSock version can't be changed
// now"); they return an empty text when the value was taken (or unchanged).
BYTE WSocketReqVerLow();
BYTE WSocketReqVerHigh();
std::string WSocketSetReqVerLow(BYTE value);
std::string WSocketSetReqVerHigh(BYTE value);

// The start-up data WSAStartup filled in at the last load.
winsock::WSADATA WSocketGetWSAData();

// ---- entry points -----------------------------------------------------------
// Each loads the library when needed (raising ESocketException with the
// loader's text on failure) and then calls the entry point of the same name.

int WSocket_WSAStartup(WORD versionRequested, winsock::WSADATA* data);
int WSocket_WSACleanup();
int WSocket_WSAGetLastError();
void WSocket_WSASetLastError(int error);
int WSocket_WSAAsyncSelect(winsock::SOCKET s, HWND hwnd, UINT msg, long event);
HANDLE WSocket_WSAAsyncGetHostByName(HWND hwnd, UINT msg, const char* name, char* buf, int buflen);
HANDLE WSocket_WSAAsyncGetHostByAddr(HWND hwnd, UINT msg, const char* addr, int len, int type,
                                     char* buf, int buflen);
int WSocket_WSACancelAsyncRequest(HANDLE asyncTask);
winsock::SOCKET WSocket_socket(int af, int type, int protocol);
int WSocket_connect(winsock::SOCKET s, const winsock::SOCKADDR* name, int namelen);
int WSocket_send(winsock::SOCKET s, const char* buf, int len, int flags);
int WSocket_recv(winsock::SOCKET s, char* buf, int len, int flags);
int WSocket_sendto(winsock::SOCKET s, const char* buf, int len, int flags,
                   const winsock::SOCKADDR* to, int tolen);
int WSocket_recvfrom(winsock::SOCKET s, char* buf, int len, int flags, winsock::SOCKADDR* from,
                     int* fromlen);
int WSocket_shutdown(winsock::SOCKET s, int how);
int WSocket_closesocket(winsock::SOCKET s);
int WSocket_ioctlsocket(winsock::SOCKET s, long cmd, winsock::u_long* argp);
// The next five keep the library loaded for their duration (the socket count
// is raised by one around the call).
int WSocket_setsockopt(winsock::SOCKET s, int level, int optname, const char* optval, int optlen);
int WSocket_getsockopt(winsock::SOCKET s, int level, int optname, char* optval, int* optlen);
int WSocket_WSAIoctl(winsock::SOCKET s, DWORD ioControlCode, void* inBuffer, DWORD inLen,
                     void* outBuffer, DWORD outLen, DWORD* bytesReturned, void* overlapped,
                     void* completionRoutine);
int WSocket_gethostname(char* name, int namelen);
char* WSocket_inet_ntoa(winsock::IN_ADDR in);
int WSocket_bind(winsock::SOCKET s, const winsock::SOCKADDR* addr, int namelen);
int WSocket_listen(winsock::SOCKET s, int backlog);
winsock::SOCKET WSocket_accept(winsock::SOCKET s, winsock::SOCKADDR* addr, int* addrlen);
int WSocket_getsockname(winsock::SOCKET s, winsock::SOCKADDR* name, int* namelen);
int WSocket_getpeername(winsock::SOCKET s, winsock::SOCKADDR* name, int* namelen);
winsock::HOSTENT* WSocket_gethostbyname(const char* name);
winsock::HOSTENT* WSocket_gethostbyaddr(const char* addr, int len, int type);
winsock::SERVENT* WSocket_getservbyname(const char* name, const char* proto);
winsock::PROTOENT* WSocket_getprotobyname(const char* name);
winsock::u_long WSocket_inet_addr(const char* cp);
winsock::u_short WSocket_htons(winsock::u_short v);
winsock::u_short WSocket_ntohs(winsock::u_short v);
winsock::u_long WSocket_htonl(winsock::u_long v);
winsock::u_long WSocket_ntohl(winsock::u_long v);

// ---- names and addresses ------------------------------------------------------

// The local host name (gethostname with a 256-byte buffer); raises
// ESocketException "Winsock Get Host Name failed" on failure.
std::string LocalMachineName();

// The dotted-address test: exactly four decimal numbers below 256 separated by
// dots, blanks allowed around them ("1.2.3.4", " 1.2.3.4 "); refuses "1.2.3",
// "1..2.3", "256.1.1.1", "1.2.3.4x".
bool WSocketIsDottedIP(const std::string& text);

// The IPv4 address of a host text (dotted address or name, blocking lookup),
// in network byte order as in IN_ADDR::s_addr. Raises ESocketException with
// the resolver's texts.
winsock::u_long WSocketResolveHost(const std::string& host);
// The port number (host byte order) of a decimal text or service name for
// the protocol text ("tcp", "udp"). A text that starts with a digit or a sign
// must be a whole number up to 65535 ("Winsock Resolve Port: Invalid Port."
// otherwise). Raises ESocketException.
winsock::u_short WSocketResolvePort(const std::string& port, const std::string& proto);
// The protocol number of "tcp", "udp", "raw", a decimal text or a protocol
// name. A text that starts with a digit or a sign must be a whole number up
// to 255 ("Winsock Resolve Proto: Invalid Protocol." otherwise). Raises
// ESocketException.
int WSocketResolveProto(const std::string& proto);

// ---- error texts ----------------------------------------------------------------

// The Windows Sockets error text of a code ("Connection refused"), or
// "Not a WinSock error" for a code outside the table.
std::string WSocketErrorText(int errCode);
// The Windows Sockets error description: text + " (#" + code + ")", e.g.
// "Host not found (#11001)".
std::string WSocketErrorDesc(int errCode);
// The system error text: the operating system's message for the code
// (FormatMessageA, without its trailing line break) + " (#" + code + ")".
std::string WSocketSystemErrorText(DWORD errCode);
