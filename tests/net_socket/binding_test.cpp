#include "net/socket/wsocket_binding.h"

#include "platform/win32/testing.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include <unistd.h>

namespace {

using winsock::SOCKET;

// Every test leaves the library as it found it: no socket counted, unloaded.
class WSocketBinding : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SocketCount(), 0);
        WSocketUnloadWinsockIfUnused();
    }
    void TearDown() override {
        WSocketSetReqVerLow(1);
        WSocketSetReqVerHigh(1);
        WSocketUnloadWinsockIfUnused();
    }
};

std::string ThrownText(const std::function<void()>& f) {
    try {
        f();
    } catch (const ESocketException& e) {
        return e.Message();
    }
    return "(nothing raised)";
}

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

// ---- loading and unloading --------------------------------------------------------

TEST_F(WSocketBinding, UnloadsAfterTheLastSocketAndLoadsAgainOnNextUse) {
    WSocketRaiseSocketCount(); // a socket object: not loaded by construction alone
    EXPECT_FALSE(WSocketWinsockLoaded());
    SOCKET s = WSocket_socket(winsock::AF_INET, winsock::SOCK_STREAM, winsock::IPPROTO_TCP);
    ASSERT_NE(s, winsock::INVALID_SOCKET);
    EXPECT_TRUE(WSocketWinsockLoaded());
    EXPECT_TRUE(platform::testing::ModuleIsLoaded("wsock32.dll"));
    EXPECT_NE(GetModuleHandleA("wsock32.dll"), nullptr);
    EXPECT_EQ(WSocketGetWSAData().wVersion, 0x0101);

    WSocketRaiseSocketCount(); // a second socket object
    WSocketLowerSocketCount();
    EXPECT_TRUE(WSocketWinsockLoaded()); // one is still alive
    WSocketLowerSocketCount();
    EXPECT_FALSE(WSocketWinsockLoaded());
    EXPECT_EQ(WSocketWsock32Module(), nullptr);
    EXPECT_FALSE(platform::testing::ModuleIsLoaded("wsock32.dll"));
    EXPECT_EQ(GetModuleHandleA("wsock32.dll"), nullptr);

    // The next use loads it again, with fresh state: the cleanup at unload
    // closed the old socket.
    WSocketRaiseSocketCount();
    EXPECT_EQ(WSocket_htons(0x0102), 0x0201);
    EXPECT_TRUE(WSocketWinsockLoaded());
    EXPECT_EQ(WSocket_closesocket(s), winsock::SOCKET_ERROR);
    EXPECT_EQ(WSocket_WSAGetLastError(), winsock::WSAENOTSOCK);
    WSocketLowerSocketCount();
    EXPECT_FALSE(WSocketWinsockLoaded());
}

TEST_F(WSocketBinding, SynchronizedCallsKeepTheCountAndDoNotUnload) {
    char expected[256] = {};
    ASSERT_EQ(gethostname(expected, sizeof expected - 1), 0);
    EXPECT_EQ(LocalMachineName(), expected);
    EXPECT_EQ(SocketCount(), 0);
    // Loaded by the call and kept until the next unload point.
    EXPECT_TRUE(WSocketWinsockLoaded());
    winsock::IN_ADDR a{0x0100007Fu};
    EXPECT_STREQ(WSocket_inet_ntoa(a), "127.0.0.1");
    EXPECT_EQ(SocketCount(), 0);
    WSocketUnloadWinsockIfUnused();
    EXPECT_FALSE(WSocketWinsockLoaded());
}

TEST_F(WSocketBinding, KeepAliveValuesLoadWs2_32AndUnloadWithTheRest) {
    WSocketRaiseSocketCount();
    SOCKET s = WSocket_socket(winsock::AF_INET, winsock::SOCK_STREAM, winsock::IPPROTO_TCP);
    ASSERT_NE(s, winsock::INVALID_SOCKET);
    EXPECT_EQ(WSocketWs2_32Module(), nullptr);
    winsock::tcp_keepalive ka{1, 5000, 1000};
    DWORD returned = 99;
    EXPECT_EQ(WSocket_WSAIoctl(s, winsock::SIO_KEEPALIVE_VALS, &ka, sizeof ka, nullptr, 0,
                               &returned, nullptr, nullptr),
              0);
    EXPECT_EQ(returned, 0u);
    EXPECT_NE(WSocketWs2_32Module(), nullptr);
    EXPECT_TRUE(platform::testing::ModuleIsLoaded("ws2_32.dll"));
    int on = 0;
    int len = sizeof on;
    ASSERT_EQ(WSocket_getsockopt(s, winsock::SOL_SOCKET, winsock::SO_KEEPALIVE,
                                 reinterpret_cast<char*>(&on), &len),
              0);
    EXPECT_NE(on, 0);
    // An unknown control code is refused with the error left in wsock32.
    EXPECT_EQ(
        WSocket_WSAIoctl(s, 0x12345678, &ka, sizeof ka, nullptr, 0, &returned, nullptr, nullptr),
        winsock::SOCKET_ERROR);
    EXPECT_EQ(WSocket_WSAGetLastError(), winsock::WSAEOPNOTSUPP);
    WSocket_closesocket(s);
    WSocketLowerSocketCount();
    EXPECT_EQ(WSocketWs2_32Module(), nullptr);
    EXPECT_FALSE(platform::testing::ModuleIsLoaded("ws2_32.dll"));
    EXPECT_FALSE(platform::testing::ModuleIsLoaded("wsock32.dll"));
    EXPECT_FALSE(WSocketWinsockLoaded());
}

TEST_F(WSocketBinding, VersionCannotChangeWhileLoaded) {
    WSocketRaiseSocketCount();
    WSocket_htons(1);
    EXPECT_EQ(WSocketSetReqVerLow(2), "SetReqVerLow: WinSock version can't be changed now");
    EXPECT_EQ(WSocketSetReqVerHigh(0), "SetReqVerHigh: WinSock version can't be changed now");
    EXPECT_EQ(WSocketSetReqVerLow(1), ""); // the same value is no change
    EXPECT_EQ(WSocketReqVerLow(), 1);
    EXPECT_EQ(WSocketReqVerHigh(), 1);
    WSocketLowerSocketCount();
    EXPECT_EQ(WSocketSetReqVerLow(2), "");
    EXPECT_EQ(WSocketSetReqVerHigh(2), "");
    EXPECT_EQ(WSocketReqVerLow(), 2);
    WSocketRaiseSocketCount();
    WSocket_htons(1);
    EXPECT_EQ(WSocketGetWSAData().wVersion, 0x0202);
    WSocketLowerSocketCount();
}

TEST_F(WSocketBinding, StartupRefusalRaisesTheStartupText) {
    ASSERT_EQ(WSocketSetReqVerLow(0), ""); // version 0.1: not supported
    WSocketRaiseSocketCount();
    std::string text = ThrownText([] { WSocket_htons(1); });
    EXPECT_EQ(text.rfind("Winsock startup error wsock32.dll - ", 0), 0u) << text;
    EXPECT_TRUE(EndsWith(text, " (#10092)")) << text;
    EXPECT_FALSE(WSocketWinsockLoaded());
    WSocketLowerSocketCount();
}

TEST_F(WSocketBinding, ProgramEndUnloadsWhatNoSocketHolds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Loaded without a socket (the count is back at 0), then the program
    // ends: the static clean-up unloads it without a crash.
    EXPECT_EXIT(
        {
            LocalMachineName();
            if (!WSocketWinsockLoaded())
                std::exit(3);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(WSocketBinding, WinsockLockIsRecursive) {
    EnterCriticalSection(&WinsockLock());
    WSocketRaiseSocketCount(); // takes the lock again on this thread
    EXPECT_EQ(SocketCount(), 1);
    WSocketLowerSocketCount();
    LeaveCriticalSection(&WinsockLock());
    EXPECT_EQ(SocketCount(), 0);
}

// ---- dotted addresses and resolvers --------------------------------------------

TEST(WSocketIsDottedIP, AcceptsFourNumbersBelow256WithBlanksAround) {
    struct Row {
        const char* text;
        bool dotted;
    };
    const Row rows[] = {
        {"1.2.3.4", true},   {" 1.2.3.4 ", true},  {"  1.2.3.4", true},  {"255.255.255.255", true},
        {"0.0.0.0", true},   {"1.2.3", false},     {"1..2.3", false},    {"256.1.1.1", false},
        {"1.2.3.4x", false}, {"1.2.3.256", false}, {".1.2.3", false},    {"1.2.3.4.5", false},
        {"1.2.3.", false},   {"", false},          {"localhost", false}, {"1.2.3.4 x", false},
        {"1.2.3.4  ", true},
    };
    for (const Row& r : rows)
        EXPECT_EQ(WSocketIsDottedIP(r.text), r.dotted) << "'" << r.text << "'";
}

TEST_F(WSocketBinding, HostResolverTexts) {
    EXPECT_EQ(WSocketResolveHost("127.0.0.1"), 0x0100007Fu);
    EXPECT_EQ(WSocketResolveHost("localhost"), 0x0100007Fu);
    // inet_addr answers INADDR_NONE for the broadcast address itself.
    EXPECT_EQ(WSocketResolveHost("255.255.255.255"), winsock::INADDR_NONE);
    EXPECT_EQ(ThrownText([] { WSocketResolveHost(""); }),
              "Winsock Resolve Host: '' Invalid Hostname.");
    // Passes the dotted test but not inet_addr (8 is no octal digit).
    EXPECT_EQ(ThrownText([] { WSocketResolveHost("08.1.1.1"); }),
              "Winsock Resolve Host: '08.1.1.1' Invalid IP address.");
    EXPECT_EQ(ThrownText([] { WSocketResolveHost("no-such-host.invalid"); }),
              "Winsock Resolve Host: Cannot convert host address 'no-such-host.invalid' - Host "
              "not found (#11001)");
}

TEST_F(WSocketBinding, PortResolverTexts) {
    EXPECT_EQ(WSocketResolvePort("80", "tcp"), 80);
    EXPECT_EQ(WSocketResolvePort("http", "tcp"), 80);
    EXPECT_EQ(WSocketResolvePort("65535", "tcp"), 65535);
    EXPECT_EQ(ThrownText([] { WSocketResolvePort("", "tcp"); }),
              "Winsock Resolve Port: Invalid Port.");
    // Out of range: refused rather than cut to another port.
    EXPECT_EQ(ThrownText([] { WSocketResolvePort("70000", "tcp"); }),
              "Winsock Resolve Port: Invalid Port.");
    EXPECT_EQ(ThrownText([] { WSocketResolvePort("80", ""); }),
              "Winsock Resolve Port: Invalid Proto.");
    EXPECT_EQ(ThrownText([] { WSocketResolvePort("no-such-service", "tcp"); }),
              "Winsock Resolve Port: Cannot convert port 'no-such-service' - No Data (#11004)");
    EXPECT_EQ(WSocket_WSAGetLastError(), 11004);
}

// A text that starts like a number must be one, whole: none of these is a
// port, and each leaves WSAEINVAL as the thread's error for the socket to
// report with the text.
TEST_F(WSocketBinding, PortTextsThatAreNotWholeNumbersAreRefused) {
    for (const char* text :
         {"8080abc", "1abc", "99999", "65536", "-1", "+80", "8 0", "-", "0x50"}) {
        WSocket_WSASetLastError(0);
        EXPECT_EQ(ThrownText([&] { WSocketResolvePort(text, "tcp"); }),
                  "Winsock Resolve Port: Invalid Port.")
            << "'" << text << "'";
        EXPECT_EQ(WSocket_WSAGetLastError(), 10022) << "'" << text << "'";
    }
    EXPECT_EQ(WSocketResolvePort("8080 ", "tcp"), 8080); // blanks around a number are fine
    EXPECT_EQ(WSocketResolvePort("0", "tcp"), 0);
}

TEST_F(WSocketBinding, ProtocolResolverTexts) {
    EXPECT_EQ(WSocketResolveProto("tcp"), 6);
    EXPECT_EQ(WSocketResolveProto(" UDP "), 17);
    EXPECT_EQ(WSocketResolveProto("raw"), 255);
    EXPECT_EQ(WSocketResolveProto("17"), 17);
    EXPECT_EQ(WSocketResolveProto("icmp"), 1);
    EXPECT_EQ(ThrownText([] { WSocketResolveProto(""); }),
              "Winsock Resolve Proto: Invalid Protocol.");
    EXPECT_EQ(ThrownText([] { WSocketResolveProto("bogus"); }),
              "Winsock Resolve Proto: Cannot convert protocol 'bogus' - No Data (#11004)");
}

// Read like a port: a text that starts like a number is one, whole and within
// the IP header's one protocol byte, or it is refused (a long digit string
// used to overflow, and "6abc" was taken as TCP).
TEST_F(WSocketBinding, ProtocolTextsThatAreNotWholeNumbersAreRefused) {
    for (const char* text : {"6abc", "17x", "99999999999999999999", "2147483648", "256", "-1", "+6",
                             "6 7", "-", "0x6"}) {
        WSocket_WSASetLastError(0);
        EXPECT_EQ(ThrownText([&] { WSocketResolveProto(text); }),
                  "Winsock Resolve Proto: Invalid Protocol.")
            << "'" << text << "'";
        EXPECT_EQ(WSocket_WSAGetLastError(), 10022) << "'" << text << "'";
    }
    EXPECT_EQ(WSocketResolveProto("6 "), 6); // blanks around a number are fine
    EXPECT_EQ(WSocketResolveProto("255"), 255);
    EXPECT_EQ(WSocketResolveProto("0"), 0);
}

// ---- error texts ----------------------------------------------------------------

TEST(WSocketErrorText, TableAndOutsideIt) {
    struct Row {
        int code;
        const char* text;
    };
    const Row rows[] = {
        {0, "No Error"},
        {10004, "Interrupted system call"},
        {10035, "Operation would block"},
        {10047, "Address family not supported by protocol family"},
        {10054, "Connection reset by peer"},
        {10058, "Can't send after socket shutdown"},
        {10059, "Too many references: can't splice"},
        {10061, "Connection refused"},
        {10071, "Too many levels of remote in path"},
        {10093, "WinSock not initialized"},
        {11001, "Host not found"},
        {11004, "No Data"},
        {10001, "Not a WinSock error"},
        {10072, "Not a WinSock error"},
        {-1, "Not a WinSock error"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(WSocketErrorText(r.code), r.text) << r.code;
}

TEST(WSocketErrorText, DescriptionAddsTheCode) {
    EXPECT_EQ(WSocketErrorDesc(11001), "Host not found (#11001)");
    EXPECT_EQ(WSocketErrorDesc(10061), "Connection refused (#10061)");
    EXPECT_EQ(WSocketErrorDesc(4), "Not a WinSock error (#4)");
}

TEST(WSocketErrorText, SystemTextHasNoLineBreakAndEndsWithTheCode) {
    for (DWORD code : {126u, 127u, 2u}) {
        std::string text = WSocketSystemErrorText(code);
        EXPECT_TRUE(EndsWith(text, " (#" + std::to_string(code) + ")")) << text;
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
        EXPECT_GT(text.size(), (" (#" + std::to_string(code) + ")").size()) << text;
    }
}

TEST(ESocketException, IsAnExceptionWithItsOwnName) {
    ESocketException e("text");
    const Exception& base = e;
    EXPECT_EQ(base.Message(), "text");
    EXPECT_STREQ(base.ClassName(), "ESocketException");
}
