// A long run of uploads against the stand-in service: 5,000 exchanges set up
// as PostToServer sets them up (a fresh client each, without the pause after
// the post), then 200 through PostToServer with its pause. Nothing may grow:
// open descriptors, heap, window-class atoms, message numbers.
#include "net/http/httpprot.h"
#include "net/socket/icswndcontrol.h"
#include "upload/post_to_server.h"

#include "guarded_server.h"
#include "service.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's own allocator keeps the count; mallinfo2 knows nothing of it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

namespace {

// The stand-in service in a process of its own: it keeps every contact it is
// sent, which must not count as growth of ours. Stopped by PID.
class ServiceProcess {
public:
    ServiceProcess() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        FPid = ::fork();
        if (FPid == 0) {
            ::close(fds[0]);
            logbook::Service service(std::map<std::string, std::string>{{"QQ9XYZ", "9999999999"}});
            logbook::GuardedServer server;
            service.Mount(server);
            int port = server.bind_to_any_port("127.0.0.1");
            if (::write(fds[1], &port, sizeof port) != sizeof port)
                ::_exit(1);
            ::close(fds[1]);
            server.listen_after_bind();
            ::_exit(0);
        }
        ::close(fds[1]);
        if (FPid < 0 || ::read(fds[0], &FPort, sizeof FPort) != sizeof FPort)
            FPort = 0;
        ::close(fds[0]);
    }
    ~ServiceProcess() {
        if (FPid > 0) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
        }
    }
    int Port() const { return FPort; }

private:
    pid_t FPid = -1;
    int FPort = 0;
};

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(dir))
            if (e->d_name[0] != '.')
                ++count;
        ::closedir(dir);
    }
    return count - 1; // the directory's own
}

long long HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return static_cast<long long>(__sanitizer_get_current_allocated_bytes());
#else
    struct mallinfo2 m = ::mallinfo2();
    return static_cast<long long>(m.uordblks + m.hblkhd);
#endif
}

// The atom a new window class gets: with none of ours left registered, the
// same value each time unless atoms are lost.
ATOM ProbeAtom() {
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "SoakProbeClass";
    ATOM atom = RegisterClassA(&wc);
    UnregisterClassA("SoakProbeClass", wc.hInstance);
    return atom;
}

struct Snapshot {
    int Descriptors;
    long long Heap;
    ATOM Atom;
    UINT FirstClientNumber, FirstSocketNumber;
};

Snapshot Take() {
    Snapshot s{OpenDescriptors(), 0, ProbeAtom(), 0, 0};
    {
        THttpCli probe;
        s.FirstClientNumber = probe.ReleaseMessage();
        s.FirstSocketNumber = probe.CtrlSocket()->ReleaseMessage();
    }
    s.Heap = HeapInUse();
    return s;
}

TStringList UploadBody(int i) {
    char call[16];
    std::snprintf(call, sizeof call, "YO%04d", i % 10000);
    TStringList body;
    body.Add(std::string("Callsign=QQ9XYZ&Code=9999999999&ADIFData=<call:6>") + call +
             "<qso_date:8>20240310<time_on:6>133005<band:3>20m<mode:3>SSB<rst_sent:2>59"
             "<rst_rcvd:2>57<gridsquare:4>KN34<station_callsign:6>QQ9XYZ<EOR>");
    return body;
}

// Runs `count` uploads; returns how many were answered "<insert>1</insert>".
int Upload(int count, int from, const TPostSettings& settings) {
    int inserted = 0;
    for (int i = 0; i < count; ++i) {
        std::string reply;
        if (PostToServer(UploadBody(from + i), reply, settings) &&
            reply.find("<insert>1</insert>") != std::string::npos)
            ++inserted;
        else
            ADD_FAILURE() << "upload " << from + i << ": " << reply;
        if (::testing::Test::HasFailure())
            break;
    }
    return inserted;
}

} // namespace

TEST(Soak, FiveThousandUploadsAndTwoHundredWithThePauseLeaveNothingBehind) {
#if defined(__SANITIZE_ADDRESS__)
    // Each load of an instrumented library leaves some 200 bytes of the
    // sanitizer's own bookkeeping behind; keep the Windows Sockets module
    // mapped for the run so that only our growth is measured. (Unpinned, the
    // normal build loads and unloads it at every upload without growth.)
    HMODULE pinned = LoadLibraryA("wsock32.dll");
#endif
    ServiceProcess service;
    ASSERT_NE(service.Port(), 0);
    TPostSettings settings;
    settings.RobotHost = "127.0.0.1:" + std::to_string(service.Port());
    settings.PauseMs = 0;
    const auto start = std::chrono::steady_clock::now();

    // The first uploads load what stays loaded and fill the allocator's pools.
    ASSERT_EQ(Upload(200, 0, settings), 200);
    const Snapshot before = Take();
    EXPECT_EQ(before.FirstClientNumber, 1025u);
    EXPECT_EQ(before.FirstSocketNumber, 1029u);
    EXPECT_EQ(IcsWndWindowCount(), 0);
    const UINT messageBefore = RegisterWindowMessageA("SoakProbeMessageBefore");

    ASSERT_EQ(Upload(5000, 200, settings), 5000);
    const Snapshot middle = Take();
    settings.PauseMs = TPostSettings().PauseMs;
    ASSERT_EQ(Upload(200, 5200, settings), 200);
    const Snapshot after = Take();
    const UINT messageAfter = RegisterWindowMessageA("SoakProbeMessageAfter");

    const auto took = std::chrono::steady_clock::now() - start;
    std::printf(
        "soak: %lld ms; descriptors %d %d %d; heap %lld %lld %lld\n",
        static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()),
        before.Descriptors, middle.Descriptors, after.Descriptors, before.Heap, middle.Heap,
        after.Heap);
    for (const Snapshot* s : {&middle, &after}) {
        EXPECT_EQ(s->Descriptors, before.Descriptors);
        // A few bytes of bookkeeping may come and go; 5,000 exchanges that
        // each kept 16 bytes would not pass.
        EXPECT_LT(s->Heap - before.Heap, 64 * 1024);
        EXPECT_EQ(s->Atom, before.Atom);
        EXPECT_EQ(s->FirstClientNumber, 1025u);
        EXPECT_EQ(s->FirstSocketNumber, 1029u);
    }
    EXPECT_EQ(IcsWndWindowCount(), 0);
    // No message number was registered by the run itself.
    EXPECT_EQ(messageAfter, messageBefore + 1);
#if defined(__SANITIZE_ADDRESS__)
    FreeLibrary(pinned);
#endif
}
