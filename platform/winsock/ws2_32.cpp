// The stand-in "ws2_32.dll": only WSAIoctl with SIO_KEEPALIVE_VALS, the one
// Windows Sockets 2 call the socket layer makes. It works on the sockets of
// "wsock32.dll" (which must be loaded and started), reaching their
// descriptors and the per-thread error through that module's exports.
#include "platform/winsock/errno_map.h"
#include "platform/winsock/winsock.h"

#include "platform/win32/windows.h"

#include <cerrno>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {

using winsock::SOCKET;

using PFN_IcsSocketDescriptor = int (*)(SOCKET s);

// The descriptor of `s` from wsock32, or -1 with the error set there.
int Descriptor(SOCKET s, winsock::PFN_WSASetLastError& setLastError) {
    HMODULE module = GetModuleHandleA("wsock32.dll");
    setLastError = nullptr;
    if (!module)
        return -1;
    setLastError =
        reinterpret_cast<winsock::PFN_WSASetLastError>(GetProcAddress(module, "WSASetLastError"));
    auto descriptor =
        reinterpret_cast<PFN_IcsSocketDescriptor>(GetProcAddress(module, "IcsSocketDescriptor"));
    if (!setLastError || !descriptor)
        return -1;
    return descriptor(s);
}

int Ws_WSAIoctl(SOCKET s, DWORD ioControlCode, void* inBuffer, DWORD inLen, void* /*outBuffer*/,
                DWORD /*outLen*/, DWORD* bytesReturned, void* overlapped,
                void* /*completionRoutine*/) {
    winsock::PFN_WSASetLastError setLastError = nullptr;
    int fd = Descriptor(s, setLastError);
    if (fd < 0)
        return winsock::SOCKET_ERROR; // wsock32 has set the error (or is not there)
    auto fail = [&](int code) {
        setLastError(code);
        return winsock::SOCKET_ERROR;
    };
    if (overlapped != nullptr)
        return fail(winsock::WSAEOPNOTSUPP);
    if (ioControlCode != winsock::SIO_KEEPALIVE_VALS)
        return fail(winsock::WSAEOPNOTSUPP);
    if (inBuffer == nullptr || inLen < sizeof(winsock::tcp_keepalive))
        return fail(winsock::WSAEFAULT);
    const auto* ka = static_cast<const winsock::tcp_keepalive*>(inBuffer);
    int on = ka->onoff ? 1 : 0;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0)
        return fail(winsock_impl::WsaErrorFromErrno(errno));
    if (on) {
        // Windows gives milliseconds; Linux takes whole seconds, at least 1.
        int idle = static_cast<int>(ka->keepalivetime / 1000);
        int interval = static_cast<int>(ka->keepaliveinterval / 1000);
        idle = idle < 1 ? 1 : idle;
        interval = interval < 1 ? 1 : interval;
        if (setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
            setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0)
            return fail(winsock_impl::WsaErrorFromErrno(errno));
    }
    if (bytesReturned)
        *bytesReturned = 0;
    return 0;
}

const IcsExportEntry kExports[] = {
    IcsExportEntry{"WSAIoctl", reinterpret_cast<void*>(&Ws_WSAIoctl)},
};

} // namespace

extern "C" __attribute__((visibility("default")))
const IcsExportDirectory IcsWs2_32Exports __asm__(ICS_EXPORT_DIRECTORY_SYMBOL) = {
    "ws2_32.dll", sizeof kExports / sizeof kExports[0], kExports};
