// Translation of the C library's error numbers into Windows Sockets codes.
#pragma once

namespace winsock_impl {

// The WSAE* code for an errno value; WSAEINVAL for anything without a
// Windows Sockets counterpart. EINPROGRESS gives WSAEWOULDBLOCK, which is
// what a non-blocking connect reports on Windows.
int WsaErrorFromErrno(int err);

// The WSA* code for a getaddrinfo/getnameinfo result (EAI_*).
int WsaErrorFromAddrInfo(int eai, int err);

} // namespace winsock_impl
