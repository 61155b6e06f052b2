// TWSocket on real loopback connections against the scripted peer.
#include "net/socket/wsocket.h"
#include "net/socket/wsocket_binding.h"
#include "platform/win32/reactor.h"
#include "tests/support/scripted_peer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

using namespace testpeer;

namespace {

constexpr int Deadline = 3000;

// Records a socket's events as short texts ("connected 0", "data", ...),
// collapsing repeats of "data" and "sent" (how often the OS splits a stream
// or re-enables a write notice is not ours to fix), and reads what arrives.
struct Recorder {
    std::vector<std::string> Events;
    std::string Data;
    int ChunkSize = 65536;

    void Add(const std::string& e) {
        if (!Events.empty() && Events.back() == e && (e == "data" || e == "sent 0"))
            return;
        Events.push_back(e);
    }
    bool Has(const std::string& e) const {
        for (auto& x : Events)
            if (x == e)
                return true;
        return false;
    }
    void Attach(TWSocket& s) {
        s.OnDnsLookupDone = [this](TComponent*, WORD e) { Add("lookup " + std::to_string(e)); };
        s.OnSessionConnected = [this](TComponent*, WORD e) {
            Add("connected " + std::to_string(e));
        };
        s.OnDataAvailable = [this, &s](TComponent*, WORD) {
            std::string buf(static_cast<size_t>(ChunkSize), '\0');
            int n = s.Receive(buf.data(), ChunkSize);
            if (n > 0)
                Data.append(buf.data(), static_cast<size_t>(n));
            Add("data");
        };
        s.OnDataSent = [this](TComponent*, WORD e) { Add("sent " + std::to_string(e)); };
        s.OnSessionClosed = [this](TComponent*, WORD e) { Add("closed " + std::to_string(e)); };
    }
};

// Looks 127.0.0.1 up and connects to `port` from OnDnsLookupDone, as the
// HTTP client does.
void LookupAndConnect(TWSocket& s, std::uint16_t port) {
    auto lookupDone = s.OnDnsLookupDone;
    s.OnDnsLookupDone = [&s, port, lookupDone](TComponent* sender, WORD e) {
        if (lookupDone)
            lookupDone(sender, e);
        if (e != 0)
            return;
        s.SetAddr(s.LookupResult());
        s.SetPort(std::to_string(port));
        s.SetProto("tcp");
        s.Connect();
    };
    s.DnsLookup("127.0.0.1");
}

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + i / 1000) % 26);
    return s;
}

} // namespace

TEST(TWSocket, EventOrderWhenThePeerClosesFirst) {
    ScriptedPeer peer;
    peer.Script({WaitFor("hello"), Send("world"), Close()});
    TWSocket s;
    Recorder r;
    r.Attach(s);
    s.MakeCounter();
    s.OnSessionConnected = [&](TComponent*, WORD e) {
        r.Add("connected " + std::to_string(e));
        EXPECT_EQ(s.State(), wsConnected);
        EXPECT_EQ(s.SendText("hello"), 5);
    };
    LookupAndConnect(s, peer.Port());
    EXPECT_EQ(s.State(), wsConnecting);
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed 0"); }, Deadline));
    EXPECT_EQ(r.Events,
              (std::vector<std::string>{"lookup 0", "connected 0", "sent 0", "data", "closed 0"}));
    EXPECT_EQ(r.Data, "world");
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(peer.Received(), "hello");
    TWSocketCounter* c = s.ActivityCounter();
    ASSERT_NE(c, nullptr);
    EXPECT_NE(c->ConnectTicks, 0u);
    EXPECT_NE(c->LastReceiveTicks, 0u);
    EXPECT_NE(c->LastSendTicks, 0u);
    EXPECT_GE(c->LastActivityTicks(), c->ConnectTicks);
}

TEST(TWSocket, EventOrderWhenTheClientClosesFirst) {
    ScriptedPeer peer;
    peer.Script({WaitFor("hello"), Send("world"), NeverAnswer()});
    TWSocket s;
    Recorder r;
    r.Attach(s);
    std::vector<TSocketState> states;
    s.OnChangeState = [&](TComponent*, TSocketState, TSocketState now) { states.push_back(now); };
    s.OnSessionConnected = [&](TComponent*, WORD e) {
        r.Add("connected " + std::to_string(e));
        s.SendText("hello");
    };
    auto onData = s.OnDataAvailable;
    s.OnDataAvailable = [&](TComponent* sender, WORD e) {
        onData(sender, e);
        if (r.Data == "world")
            s.Close(); // OnSessionClosed (0) fires inside Close
    };
    LookupAndConnect(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed 0"); }, Deadline));
    EXPECT_EQ(r.Events,
              (std::vector<std::string>{"lookup 0", "connected 0", "sent 0", "data", "closed 0"}));
    EXPECT_EQ(states, (std::vector<TSocketState>{wsOpened, wsConnecting, wsConnected, wsClosed}));
    EXPECT_TRUE(peer.WaitForClientClose(1, Deadline));
    // The close reset the socket: Addr and Port must be given again.
    EXPECT_EQ(s.Addr(), "127.0.0.1");
    s.OnError = [](TComponent*) {};
    int errors = 0;
    s.OnError = [&](TComponent*) { ++errors; };
    s.Connect();
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(TWSocket, RefusedConnectGivesOneConnectAndOneClose) {
    TWSocket s;
    Recorder r;
    r.Attach(s);
    LookupAndConnect(s, RefusedPort());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed 0"); }, Deadline));
    PumpUntil([] { return false; }, 50); // nothing else may follow
    EXPECT_EQ(r.Events, (std::vector<std::string>{"lookup 0", "connected 10061", "closed 0"}));
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(TWSocket, AllDataIsDeliveredBeforeSessionClosed) {
    const std::string payload = Pattern(300000);
    ScriptedPeer peer;
    peer.Script({Send(payload), Close()});
    TWSocket s;
    Recorder r;
    r.ChunkSize = 700; // leave bytes queued when the close notice arrives
    r.Attach(s);
    size_t atClose = 0;
    s.OnSessionClosed = [&](TComponent*, WORD e) {
        atClose = r.Data.size();
        r.Add("closed " + std::to_string(e));
    };
    LookupAndConnect(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed 0"); }, Deadline));
    EXPECT_EQ(atClose, payload.size());
    EXPECT_TRUE(r.Data == payload);
    EXPECT_EQ(s.TotalReceived(), payload.size()); // counted since the connect
}

TEST(TWSocket, WithoutOnDataAvailableDataIsDroppedAndTheSocketKeepsWorking) {
    ScriptedPeer peer;
    peer.Script({Send("first"), WaitFor("ping"), Send("second"), NeverAnswer()});
    TWSocket s;
    Recorder r;
    r.Attach(s);
    s.OnDataAvailable = nullptr;
    LookupAndConnect(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return s.TotalReceived() >= 5; }, Deadline));
    EXPECT_EQ(s.State(), wsConnected);
    Recorder reader;
    s.OnDataAvailable = [&](TComponent*, WORD) { reader.Data += s.ReceiveText(); };
    EXPECT_EQ(s.SendText("ping"), 4);
    ASSERT_TRUE(PumpUntil([&] { return reader.Data == "second"; }, Deadline));
    EXPECT_EQ(peer.Received(), "ping");
}

TEST(TWSocket, HandlerThatNeverReadsCannotHangTheLoop) {
    ScriptedPeer peer;
    peer.Script({Send("unread bytes"), NeverAnswer()});
    TWSocket s;
    Recorder r;
    r.Attach(s);
    int calls = 0;
    s.OnDataAvailable = [&](TComponent*, WORD) { ++calls; };
    LookupAndConnect(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return calls > 0; }, Deadline));
    PumpUntil([] { return false; }, 30);
    EXPECT_LE(calls, 100);
    // Nothing was dropped: the bytes wait for the next Receive.
    EXPECT_EQ(s.PendingReadCount(), 12);
    EXPECT_EQ(s.ReceiveText(), "unread bytes");
}

TEST(TWSocket, PartialSendContinuesFromTheHeadBlockAndFiresOnDataSentOnce) {
    const std::string payload = Pattern(2 * 1024 * 1024);
    ScriptedPeer peer(8192);
    peer.Script({ReadSlowly(16384, 1)});
    TWSocket s;
    Recorder r;
    r.Attach(s);
    int dataSentAfterSend = 0;
    bool sendCalled = false;
    long long sentTotal = 0;
    int partials = 0;
    // Blocks far larger than the system send buffer: the network can only
    // ever take part of one.
    s.SetBufSize(65536);
    s.OnSendData = [&](TComponent*, int n) {
        sentTotal += n;
        if (n != 65536)
            ++partials;
    };
    s.OnDataSent = [&](TComponent*, WORD) {
        if (sendCalled)
            ++dataSentAfterSend;
    };
    s.OnChangeState = [&](TComponent*, TSocketState, TSocketState now) {
        if (now == wsOpened)
            s.SetSocketSndBufSize(8192);
    };
    s.OnSessionConnected = [&](TComponent*, WORD) {
        sendCalled = true;
        EXPECT_EQ(s.Send(payload.data(), static_cast<int>(payload.size())),
                  static_cast<int>(payload.size()));
        EXPECT_FALSE(s.AllSent());
    };
    LookupAndConnect(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return dataSentAfterSend > 0; }, 20000));
    ASSERT_TRUE(peer.WaitForBytes(payload.size(), 20000));
    PumpUntil([] { return false; }, 30);
    EXPECT_EQ(dataSentAfterSend, 1);
    EXPECT_EQ(sentTotal, static_cast<long long>(payload.size()));
    EXPECT_GT(partials, 0); // the network took parts of blocks
    EXPECT_TRUE(peer.Received() == payload);
}

TEST(TWSocket, SendOfNothingReturnsZeroAndLaterFiresOnDataSent) {
    ScriptedPeer peer;
    peer.Script({NeverAnswer()});
    TWSocket s;
    Recorder r;
    r.Attach(s);
    LookupAndConnect(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("sent 0"); }, Deadline)); // after the connect
    int sent = 0;
    bool inside = true;
    s.OnDataSent = [&](TComponent*, WORD) {
        EXPECT_FALSE(inside);
        ++sent;
    };
    EXPECT_EQ(s.Send(nullptr, 0), 0);
    inside = false;
    ASSERT_TRUE(PumpUntil([&] { return sent == 1; }, Deadline));
}

TEST(TWSocket, SendWhileConnectingReportsNotConnectedAndCloses) {
    ScriptedPeer peer;
    TWSocket s;
    Recorder r;
    r.Attach(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(peer.Port()));
    s.Connect();
    ASSERT_EQ(s.State(), wsConnecting);
    try {
        s.SendText("too early");
        FAIL();
    } catch (ESocketException& e) {
        EXPECT_EQ(e.Message(), "Socket is not connected (#10057 in Send)");
    }
    EXPECT_EQ(s.LastError(), 10057);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(r.Events, (std::vector<std::string>{"closed 10057"}));
    PumpUntil([] { return false; }, 30);
    EXPECT_EQ(r.Events.size(), 1u);
    // Addr and Port still hold: the next connection reports its own close
    // (after the close notice's read loop has offered the end of the data).
    peer.Script({Close()});
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed 0"); }, Deadline));
    EXPECT_EQ(r.Events, (std::vector<std::string>{"closed 10057", "connected 0", "sent 0", "data",
                                                  "closed 0"}));
}

TEST(TWSocket, SendWhenClosedWithOnErrorReturnsMinusOne) {
    TWSocket s;
    int errors = 0;
    s.OnError = [&](TComponent* sender) {
        EXPECT_EQ(sender, &s);
        ++errors;
    };
    EXPECT_EQ(s.SendText("x"), -1);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.LastError(), 10057);
}

struct ConnectRefusal {
    const char* Port;
    const char* Addr;
    const char* Proto;
    const char* Text;
};

void PrintTo(const ConnectRefusal& c, std::ostream* os) {
    *os << "port '" << c.Port << "' addr '" << c.Addr << "' proto '" << c.Proto << "'";
}

class TWSocketConnectRefusal : public ::testing::TestWithParam<ConnectRefusal> {};

TEST_P(TWSocketConnectRefusal, ReportsTheFirstMissingSetting) {
    const ConnectRefusal& c = GetParam();
    TWSocket s;
    s.SetPort(c.Port);
    s.SetAddr(c.Addr);
    s.SetProto(c.Proto);
    try {
        s.Connect();
        FAIL() << "no failure reported";
    } catch (ESocketException& e) {
        EXPECT_EQ(e.Message(), c.Text);
    }
    EXPECT_EQ(s.State(), wsClosed);
}

INSTANTIATE_TEST_SUITE_P(
    Order, TWSocketConnectRefusal,
    ::testing::Values(ConnectRefusal{"", "", "tcp", "Connect: No Port Specified"},
                      ConnectRefusal{"  ", "127.0.0.1", "tcp", "Connect: No Port Specified"},
                      ConnectRefusal{"80", " ", "tcp", "Connect: No IP Address Specified"},
                      ConnectRefusal{"80", "127.0.0.1", "", "Connect: No Protocol Specified"},
                      ConnectRefusal{"80", "no-such-host.invalid", "tcp",
                                     "connect: Winsock Resolve Host: Cannot convert host address "
                                     "'no-such-host.invalid' - Host not found (#11001)"}));

// With OnError set nothing is raised: the owner learns the failure from
// LastError and, for a text the resolvers refused, ResolveErrorText.
TEST(TWSocket, RefusedPortTextLeavesItsCodeAndReason) {
    ScriptedPeer peer;
    peer.Script({NeverAnswer()});
    TWSocket s;
    int errors = 0;
    s.OnError = [&](TComponent*) { ++errors; };
    s.SetAddr("127.0.0.1");
    s.SetPort("99999");
    s.Connect();
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.LastError(), 10022);
    EXPECT_EQ(s.ResolveErrorText(), "Winsock Resolve Port: Invalid Port.");
    EXPECT_EQ(s.State(), wsClosed);
    s.SetPort("no-such-service");
    s.Connect();
    EXPECT_EQ(s.LastError(), 11004);
    EXPECT_EQ(s.ResolveErrorText(),
              "Winsock Resolve Port: Cannot convert port 'no-such-service' - No Data (#11004)");
    // A connect that gets past the texts forgets the reason.
    s.SetPort(std::to_string(peer.Port()));
    s.Connect();
    EXPECT_EQ(s.ResolveErrorText(), "");
    EXPECT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }, Deadline));
}

TEST(TWSocket, PropertiesKeepTheirTextsButChangeOnlyWhenClosed) {
    ScriptedPeer peer;
    peer.Script({NeverAnswer()});
    TWSocket s;
    EXPECT_EQ(s.Proto(), "tcp");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(s.LocalPort(), "0");
    EXPECT_EQ(s.LingerOnOff(), wsLingerOn);
    EXPECT_EQ(s.BufSize(), 1460);
    s.SetLocalAddr("");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    s.SetAddr("  127.0.0.1 ");
    EXPECT_EQ(s.Addr(), "127.0.0.1");
    s.SetPort(std::to_string(peer.Port()));
    std::vector<std::string> errors;
    s.OnError = [&](TComponent*) { errors.push_back("error"); };
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }, Deadline));
    s.SetAddr("127.0.0.1"); // the same value: accepted silently
    s.SetPort(std::to_string(peer.Port()));
    EXPECT_TRUE(errors.empty());
    s.OnError = nullptr;
    auto expectRefusal = [&](const std::function<void()>& set, const std::string& text) {
        try {
            set();
            ADD_FAILURE() << "accepted: " << text;
        } catch (ESocketException& e) {
            EXPECT_EQ(e.Message(), text);
        }
    };
    expectRefusal([&] { s.SetAddr("127.0.0.2"); }, "Cannot change Addr if not closed");
    expectRefusal([&] { s.SetPort("81"); }, "Cannot change Port if not closed");
    expectRefusal([&] { s.SetProto("udp"); }, "Cannot change Proto if not closed");
    expectRefusal([&] { s.SetLocalPort("5000"); }, "Cannot change LocalPort if not closed");
    expectRefusal([&] { s.SetLocalAddr("127.0.0.1"); }, "Cannot change LocalAddr if not closed");
    expectRefusal([&] { s.Connect(); }, "Connect: Socket already in use");
    EXPECT_EQ(s.Addr(), "127.0.0.1");
    s.Close();
    expectRefusal([&] { s.Connect(); }, "Connect: No Port Specified");
}

TEST(TWSocket, DnsLookupOfADottedAddressAnswersBeforeReturning) {
    TWSocket s;
    std::vector<WORD> done;
    s.OnDnsLookupDone = [&](TComponent*, WORD e) { done.push_back(e); };
    s.DnsLookup("192.168.1.1");
    ASSERT_EQ(done, std::vector<WORD>{0});
    EXPECT_EQ(s.LookupResult(), "192.168.1.1");
    EXPECT_EQ(s.LookupResults(), std::vector<std::string>{"192.168.1.1"});
}

TEST(TWSocket, DnsLookupOfAnEmptyNameReportsThenAnswers10022) {
    TWSocket s;
    std::vector<std::string> seen;
    s.OnError = [&](TComponent*) { seen.push_back("error"); };
    s.OnDnsLookupDone = [&](TComponent*, WORD e) { seen.push_back(std::to_string(e)); };
    s.DnsLookup("");
    EXPECT_EQ(seen, (std::vector<std::string>{"error", "10022"}));
    s.OnError = nullptr;
    try {
        s.DnsLookup("");
        FAIL();
    } catch (ESocketException& e) {
        EXPECT_EQ(e.Message(), "DNS lookup: invalid host name.");
    }
}

TEST(TWSocket, DnsLookupOfANameAnswersThroughTheMessageLoop) {
    TWSocket s;
    std::vector<WORD> done;
    s.OnDnsLookupDone = [&](TComponent*, WORD e) { done.push_back(e); };
    s.DnsLookup("localhost");
    EXPECT_TRUE(done.empty());
    ASSERT_TRUE(PumpUntil([&] { return !done.empty(); }, Deadline));
    EXPECT_EQ(done, std::vector<WORD>{0});
    EXPECT_FALSE(s.LookupResults().empty());
    EXPECT_EQ(s.LookupResult(), s.LookupResults().front());
}

TEST(TWSocket, CancelLookupAnswers10004ButNotDuringDestruction) {
    auto s = std::make_unique<TWSocket>();
    std::vector<WORD> done;
    s->OnDnsLookupDone = [&](TComponent*, WORD e) { done.push_back(e); };
    s->DnsLookup("localhost");
    s->CancelLookup();
    EXPECT_EQ(done, std::vector<WORD>{10004});
    PumpUntil([] { return false; }, 50);
    EXPECT_EQ(done.size(), 1u);
    done.clear();
    s->DnsLookup("localhost");
    s.reset();
    PumpUntil([] { return false; }, 50);
    EXPECT_TRUE(done.empty());
}

TEST(TWSocket, CancelOfALookupWhoseAnswerIsAlreadyQueuedStillCancels) {
    TWSocket s;
    std::vector<WORD> done;
    s.OnDnsLookupDone = [&](TComponent*, WORD e) { done.push_back(e); };
    s.DnsLookup("localhost");
    // Let the answer reach the queue without dispatching it.
    for (int i = 0; i < 200 && !platform::HasPendingMessage(); ++i) {
        pollfd p{platform::ThreadWaitHandle(), POLLIN, 0};
        poll(&p, 1, 10);
        platform::ProcessReadyEvents();
    }
    ASSERT_TRUE(platform::HasPendingMessage());
    s.CancelLookup();
    EXPECT_EQ(done, std::vector<WORD>{10004});
    PumpUntil([] { return false; }, 50);
    EXPECT_EQ(done, std::vector<WORD>{10004});
    // The socket looks up again normally afterwards.
    s.DnsLookup("localhost");
    ASSERT_TRUE(PumpUntil([&] { return done.size() == 2; }, 2000));
    EXPECT_EQ(done[1], 0);
    EXPECT_EQ(s.LookupResult(), "127.0.0.1");
}

TEST(TWSocket, ExceptionInAHandlerAbortsTheSocket) {
    ScriptedPeer peer;
    peer.Script({NeverAnswer()});
    TWSocket s;
    Recorder r;
    r.Attach(s);
    std::string seen;
    s.OnSessionConnected = [&](TComponent*, WORD) { throw Exception("handler failed"); };
    s.OnBgException = [&](TComponent* sender, Exception& e, bool& canClose) {
        EXPECT_EQ(sender, &s);
        EXPECT_TRUE(canClose);
        seen = e.Message();
    };
    LookupAndConnect(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }, Deadline));
    EXPECT_EQ(seen, "handler failed");
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_TRUE(r.Has("closed 0"));
    EXPECT_TRUE(peer.WaitForClientClose(1, Deadline));
}

TEST(TWSocket, ExceptionInAHandlerKeepsTheSocketWhenCanCloseIsCleared) {
    ScriptedPeer peer;
    peer.Script({NeverAnswer()});
    TWSocket s;
    int calls = 0;
    s.OnSessionConnected = [&](TComponent*, WORD) { throw Exception("handler failed"); };
    s.OnBgException = [&](TComponent*, Exception&, bool& canClose) {
        ++calls;
        canClose = false;
    };
    LookupAndConnect(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return calls == 1; }, Deadline));
    PumpUntil([] { return false; }, 20);
    EXPECT_EQ(s.State(), wsConnected);
    EXPECT_EQ(s.SendText("still here"), 10);
    EXPECT_TRUE(peer.WaitForText("still here", Deadline));
}

TEST(TWSocket, TestExceptionMessageTakesTheBackgroundPath) {
    TWSocket s;
    std::string seen;
    s.OnBgException = [&](TComponent*, Exception& e, bool&) { seen = e.Message(); };
    PostMessageA(s.Handle(), s.TestExceptionMessage(), 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return !seen.empty(); }, Deadline));
    EXPECT_EQ(seen, "Test exception in WSocket");
}

TEST(TWSocket, CloseLaterClosesFromTheMessageLoop) {
    ScriptedPeer peer;
    peer.Script({NeverAnswer()});
    TWSocket s;
    Recorder r;
    r.Attach(s);
    LookupAndConnect(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }, Deadline));
    s.CloseLater();
    EXPECT_EQ(s.State(), wsConnected);
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsClosed; }, Deadline));
    EXPECT_TRUE(r.Has("closed 0"));
}

TEST(TWSocket, PauseHoldsNotificationsUntilResume) {
    ScriptedPeer peer;
    peer.Script({WaitFor("go"), Send("payload"), NeverAnswer()});
    TWSocket s;
    Recorder r;
    r.Attach(s);
    LookupAndConnect(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }, Deadline));
    PumpUntil([] { return false; }, 20);
    s.Pause();
    s.SendText("go");
    ASSERT_TRUE(peer.WaitForText("go", Deadline));
    PumpUntil([] { return false; }, 50);
    EXPECT_EQ(r.Data, "");
    s.Resume();
    ASSERT_TRUE(PumpUntil([&] { return r.Data == "payload"; }, Deadline));
}

// The close notice is posted once. Already queued when the socket pauses,
// it is dropped as paused notices are, and Resume brings it back.
TEST(TWSocket, CloseNoticeQueuedWhenPausedComesAfterResume) {
    ScriptedPeer peer;
    peer.Script({WaitFor("go"), Send("last words"), Close()});
    TWSocket s;
    Recorder r;
    r.Attach(s);
    LookupAndConnect(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }, Deadline));
    ASSERT_EQ(s.SendText("go"), 2);
    // Once the peer's end has arrived, one collection queues the notices;
    // none is dispatched before the socket pauses.
    using PFN_Descriptor = int (*)(winsock::SOCKET);
    auto descriptor = reinterpret_cast<PFN_Descriptor>(
        GetProcAddress(WSocketWsock32Module(), "IcsSocketDescriptor"));
    ASSERT_NE(descriptor, nullptr);
    pollfd p{descriptor(s.HSocket()), POLLRDHUP, 0};
    ASSERT_EQ(poll(&p, 1, Deadline), 1);
    platform::ProcessReadyEvents();
    s.Pause();
    PumpUntil([] { return false; }, 20);
    EXPECT_FALSE(r.Has("closed 0"));
    s.Resume();
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed 0"); }, Deadline));
    EXPECT_EQ(r.Data, "last words");
    EXPECT_EQ(s.State(), wsClosed);
}

// A socket set to linger for a time cannot close at once while the peer
// takes nothing of what it queued: it tries for that time, then closes at
// once, dropping the rest.
TEST(TWSocket, CloseOfALingeringSocketEndsWithinItsLingerTime) {
    ScriptedPeer peer(8 * 1024);
    peer.Script({Pause(20000)}); // reads nothing
    TWSocket s;
    Recorder r;
    r.Attach(s);
    s.SetLingerOnOff(wsLingerOn);
    s.SetLingerTimeout(1);
    LookupAndConnect(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }, Deadline));
    ASSERT_GT(s.SendText(std::string(1 << 20, 'x')), 0);
    const auto start = std::chrono::steady_clock::now();
    s.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_TRUE(r.Has("closed 0"));
}

TEST(TWSocket, DestroyingTheLastSocketUnloadsWindowsSockets) {
    auto s = std::make_unique<TWSocket>();
    s->DnsLookup("10.1.2.3"); // any operation loads the library
    EXPECT_TRUE(WSocketWinsockLoaded());
    s.reset();
    EXPECT_FALSE(WSocketWinsockLoaded());
    TWSocket again;
    again.DnsLookup("10.1.2.3");
    EXPECT_TRUE(WSocketWinsockLoaded());
}

TEST(TWSocket, ClassChainPassesSocksSettingsThrough) {
    TWSocket s;
    EXPECT_EQ(s.SocksLevel(), "5");
    s.SetSocksLevel("4a");
    EXPECT_EQ(s.SocksLevel(), "4A");
    try {
        s.SetSocksLevel("6");
        FAIL();
    } catch (ESocketException& e) {
        EXPECT_EQ(e.Message(), "Invalid socks level. Must be 4, 4A or 5.");
    }
    s.SetSocksServer(" proxy ");
    EXPECT_EQ(s.SocksServer(), "proxy");
    s.SetSocksPort("1080");
    s.SetSocksUsercode("user");
    s.Close(); // every close resets the SOCKS target, not the identity
    EXPECT_EQ(s.SocksServer(), "");
    EXPECT_EQ(s.SocksPort(), "");
    EXPECT_EQ(s.SocksLevel(), "5");
    EXPECT_EQ(s.SocksUsercode(), "user");
}

// Whatever OnDataAvailable throws goes to OnBgException, once, and aborts
// the socket, however much more the peer sends.
struct ThrowCase {
    const char* name;
    void (*Throw)();
    const char* message; // as OnBgException sees it
};

void PrintTo(const ThrowCase& c, std::ostream* os) {
    *os << c.name;
}

class TWSocketHandlerThrows : public ::testing::TestWithParam<ThrowCase> {};

TEST_P(TWSocketHandlerThrows, ReachesOnBgExceptionOnceAndAborts) {
    ScriptedPeer peer;
    peer.Script({Send("bad data"), SendFiller(4 << 20), NeverAnswer()});
    TWSocket s;
    Recorder r;
    r.Attach(s);
    int calls = 0;
    s.OnDataAvailable = [&](TComponent*, WORD) {
        ++calls;
        GetParam().Throw();
    };
    std::vector<std::string> seen;
    s.OnBgException = [&](TComponent*, Exception& e, bool&) { seen.push_back(e.Message()); };
    LookupAndConnect(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return r.Has("closed 0"); }, Deadline));
    PumpUntil([] { return false; }, 20);
    EXPECT_EQ(seen, std::vector<std::string>{GetParam().message});
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(s.State(), wsClosed);
}

INSTANTIATE_TEST_SUITE_P(
    TWSocket, TWSocketHandlerThrows,
    ::testing::Values(ThrowCase{"Ours", [] { throw Exception("cannot store the data"); },
                                "cannot store the data"},
                      ThrowCase{"BadAlloc", [] { throw std::bad_alloc(); }, "std::bad_alloc"},
                      ThrowCase{"NotAnException", [] { throw 42; }, "Unknown exception"}),
    [](const ::testing::TestParamInfo<ThrowCase>& info) { return info.param.name; });

TEST(TWSocket, LoggerReceivesConnectShutdownAndDataSentLines) {
    ScriptedPeer peer;
    peer.Script({WaitFor("x"), Close()});
    TIcsLogger logger;
    logger.SetLogOptions({loWsockInfo, loWsockDump});
    std::vector<std::string> lines;
    logger.OnIcsLogEvent = [&](TComponent*, TLogOption, const std::string& msg) {
        lines.push_back(msg);
    };
    {
        TWSocket s;
        s.SetIcsLogger(&logger);
        bool closed = false;
        s.OnSessionClosed = [&](TComponent*, WORD) { closed = true; };
        s.OnSessionConnected = [&](TComponent*, WORD) { s.SendText("x"); };
        s.OnDataSent = [&](TComponent*, WORD) {};
        s.SetAddr("127.0.0.1");
        s.SetPort(std::to_string(peer.Port()));
        s.Connect();
        ASSERT_TRUE(PumpUntil([&] { return closed; }, Deadline));
    }
    auto hasLine = [&](const std::string& part) {
        for (auto& l : lines)
            if (l.find(part) != std::string::npos)
                return true;
        return false;
    };
    EXPECT_TRUE(hasLine("TWSocket will connect to 127.0.0.1:" + std::to_string(peer.Port())));
    EXPECT_TRUE(hasLine(" TriggerDataSent "));
    EXPECT_TRUE(hasLine(" TCustomWSocket.Shutdown 1 "));
}

TEST(TWSocket, LoggerFreedBeforeTheSocketIsForgotten) {
    TWSocket s;
    auto logger = std::make_unique<TIcsLogger>();
    s.SetIcsLogger(logger.get());
    logger.reset();
    EXPECT_EQ(s.IcsLogger(), nullptr);
}

TEST(TWSocket, SendFlagsOutOfRangeAreRefused) {
    TWSocket s;
    s.SetSendFlags(wsSendUrgent);
    EXPECT_EQ(s.SendFlags(), wsSendUrgent);
    try {
        s.SetSendFlags(static_cast<TSocketSendFlags>(7));
        FAIL();
    } catch (ESocketException& e) {
        EXPECT_EQ(e.Message(), "Invalid SendFlags");
    }
    EXPECT_EQ(s.SendFlags(), wsSendUrgent);
}

TEST(TWSocket, MovesToAnotherThreadWithItsConnection) {
    ScriptedPeer peer;
    peer.Script({WaitFor("moved"), Send("welcome"), NeverAnswer()});
    TWSocket s;
    LookupAndConnect(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }, Deadline));
    s.DetachFromThread();
    EXPECT_FALSE(s.Attached());
    std::string received;
    std::thread worker([&] {
        s.AttachToThread();
        s.OnDataAvailable = [&](TComponent*, WORD) { received += s.ReceiveText(); };
        s.SendText("moved");
        PumpUntil([&] { return received == "welcome"; }, Deadline);
        s.DetachFromThread();
    });
    worker.join();
    EXPECT_EQ(received, "welcome");
    s.AttachToThread(); // home again, so that it is freed on its own thread
    EXPECT_EQ(s.ThreadId(), GetCurrentThreadId());
}

TEST(TWSocket, FlushWaitsUntilTheSendBufferIsEmpty) {
    const std::string payload = Pattern(1024 * 1024);
    ScriptedPeer peer(8192);
    peer.Script({ReadSlowly(65536, 1)});
    TWSocket s;
    LookupAndConnect(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }, Deadline));
    s.SetSocketSndBufSize(8192);
    s.Send(payload.data(), static_cast<int>(payload.size()));
    EXPECT_FALSE(s.AllSent());
    s.Flush();
    EXPECT_TRUE(s.AllSent());
    EXPECT_TRUE(peer.WaitForBytes(payload.size(), 20000));
}

TEST(TWSocket, AbortClosesAtOnceAndReportsTheClose) {
    ScriptedPeer peer;
    peer.Script({NeverAnswer()});
    TWSocket s;
    Recorder r;
    r.Attach(s);
    LookupAndConnect(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }, Deadline));
    s.QueueForSend("never sent", 10);
    s.Abort();
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_TRUE(r.Has("closed 0"));
    EXPECT_TRUE(s.AllSent());
    EXPECT_TRUE(peer.WaitForClientClose(1, Deadline));
    s.Close(); // nothing left to close: no second report
    PumpUntil([] { return false; }, 20);
    EXPECT_EQ(r.Events.back(), "closed 0");
    EXPECT_EQ(std::count(r.Events.begin(), r.Events.end(), "closed 0"), 1);
}

TEST(TWSocket, ResetByThePeerDeliversDataThenReportsTheCode) {
    ScriptedPeer peer;
    peer.Script({Send("last words"), Pause(50), Reset()});
    TWSocket s;
    Recorder r;
    r.Attach(s);
    LookupAndConnect(s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsClosed && r.Events.size() >= 4; }, Deadline));
    EXPECT_EQ(r.Data, "last words");
    EXPECT_EQ(r.Events.back(), "closed 10054");
}

TEST(TWSocket, MayFreeItselfFromItsOwnHandlerThroughPostRelease) {
    ScriptedPeer peer;
    peer.Script({Send("bye"), Close()});
    auto* s = TIcsWndControl::NewSelfOwned<TWSocket>();
    bool freed = false;
    struct Watch : TComponent {
        explicit Watch(TComponent* owner, bool& flag) : TComponent(owner), Flag(flag) {}
        ~Watch() override { Flag = true; }
        bool& Flag;
    };
    new Watch(s, freed); // freed with the socket
    s->OnDataAvailable = [s](TComponent*, WORD) { s->ReceiveText(); };
    s->OnSessionClosed = [s](TComponent*, WORD) { s->PostRelease(); };
    LookupAndConnect(*s, peer.Port());
    ASSERT_TRUE(PumpUntil([&] { return freed; }, Deadline));
    EXPECT_EQ(IcsWndWindowCount(), 0);
}

TEST(TWSocket, WaitUntilReadyEndsOnTheFlagOrTheTimeOut) {
    TWSocket s;
    int flag = 0;
    TIcsTimer timer(&s);
    timer.SetInterval(10);
    timer.SetOnTimer([&](TComponent*) { flag = 1; });
    EXPECT_EQ(s.WaitUntilReady(&flag, 2000), 0);
    timer.SetEnabled(false);
    int never = 0;
    EXPECT_EQ(s.WaitUntilReady(&never, 30), 12001);
}

TEST(TWSocket, DatagramSocketSendsToItsAddress) {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    TWSocket s;
    Recorder r;
    r.Attach(s);
    s.SetProto("udp");
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(ntohs(addr.sin_port)));
    s.Connect();
    EXPECT_EQ(s.State(), wsConnected); // at once, without a connect notice
    EXPECT_TRUE(r.Has("connected 0"));
    EXPECT_EQ(s.SendText("datagram"), 8);
    char buf[64] = {};
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, Deadline), 1);
    EXPECT_EQ(::recv(fd, buf, sizeof buf, 0), 8);
    EXPECT_STREQ(buf, "datagram");
    ::close(fd);
}
