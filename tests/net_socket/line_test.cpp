// Line mode against the scripted peer: terminators split between reads,
// several lines per read, the limit, switching the mode inside a handler,
// the last line at close, editing and echo.
#include "framework/application.h"
#include "net/socket/linebuffer.h"
#include "net/socket/wsocket.h"
#include "tests/support/scripted_peer.h"

#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <string>
#include <vector>

using namespace testpeer;

namespace {

constexpr int Deadline = 3000;

// A line-mode socket that records each OnDataAvailable's bytes, read in
// chunks of `Chunk` (as a handler that reads a line piecewise would).
struct LineClient {
    TWSocket s;
    std::vector<std::string> Lines;
    std::vector<int> Pending; // PendingReadCount seen at each call
    bool Closed = false;
    WORD CloseCode = 0;
    int Chunk = 4096;

    LineClient() {
        s.SetLineMode(true);
        s.OnDataAvailable = [this](TComponent*, WORD) {
            Pending.push_back(s.PendingReadCount());
            std::string buf(static_cast<size_t>(Chunk), '\0');
            int n = s.Receive(buf.data(), Chunk);
            if (n > 0)
                Lines.emplace_back(buf.data(), static_cast<size_t>(n));
        };
        s.OnSessionClosed = [this](TComponent*, WORD e) {
            Closed = true;
            CloseCode = e;
        };
    }
    // Records each call as the constructor's handler does, then runs `then`.
    void AfterEachCall(const std::function<void()>& then) {
        auto record = s.OnDataAvailable;
        s.OnDataAvailable = [record, then](TComponent* sender, WORD e) {
            record(sender, e);
            then();
        };
    }
    void Connect(const ScriptedPeer& peer) {
        s.SetAddr("127.0.0.1");
        s.SetPort(std::to_string(peer.Port()));
        s.Connect();
    }
};

using Lines = std::vector<std::string>;

} // namespace

TEST(TCustomLineWSocket, TerminatorSplitBetweenReadsStillEndsTheLine) {
    struct Case {
        std::string LineEnd, First, Second;
        Lines Expected;
    };
    const std::vector<Case> cases = {
        {"\r\n", "abc\r", "\ndef\r\n", {"abc\r\n", "def\r\n"}},
        {"\r\n", "abc", "\r\n", {"abc\r\n"}},
        {"<END>", "one<E", "ND>two<END>", {"one<END>", "two<END>"}},
        {"\n", "x\n", "y\n", {"x\n", "y\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.First + "|" + c.Second);
        ScriptedPeer peer;
        peer.Script({Send(c.First), WaitFor("go"), Send(c.Second), NeverAnswer()});
        LineClient client;
        client.s.SetLineEnd(c.LineEnd);
        bool connected = false;
        client.s.OnSessionConnected = [&](TComponent*, WORD) { connected = true; };
        client.Connect(peer);
        // The second piece is sent only once the first has been read.
        auto taken = [&] {
            size_t n = static_cast<size_t>(client.s.LineBufferLen());
            for (const std::string& line : client.Lines)
                n += line.size();
            return n;
        };
        ASSERT_TRUE(PumpUntil([&] { return connected && taken() == c.First.size(); }, Deadline));
        client.s.SendText("go");
        ASSERT_TRUE(PumpUntil([&] { return client.Lines.size() == c.Expected.size(); }, Deadline));
        EXPECT_EQ(client.Lines, c.Expected);
        EXPECT_EQ(client.s.LineBufferLen(), 0);
    }
}

TEST(TCustomLineWSocket, SeveralLinesInOneReadEachFireOnce) {
    ScriptedPeer peer;
    peer.Script({Send("a\r\nbb\r\nccc\r\ntail"), NeverAnswer()});
    LineClient client;
    client.Connect(peer);
    ASSERT_TRUE(PumpUntil([&] { return client.Lines.size() == 3; }, Deadline));
    EXPECT_EQ(client.Lines, (Lines{"a\r\n", "bb\r\n", "ccc\r\n"}));
    // Inside the handler PendingReadCount is the line's length.
    EXPECT_EQ(client.Pending, (std::vector<int>{3, 4, 5}));
    EXPECT_EQ(client.s.LineBufferLen(), 4);
}

TEST(TCustomLineWSocket, ALineReadInPiecesIsOfferedUntilTaken) {
    ScriptedPeer peer;
    peer.Script({Send("0123456789\r\nnext\r\n"), NeverAnswer()});
    LineClient client;
    client.Chunk = 5;
    client.Connect(peer);
    ASSERT_TRUE(PumpUntil([&] { return client.Lines.size() == 5; }, Deadline));
    EXPECT_EQ(client.Lines, (Lines{"01234", "56789", "\r\n", "next\r", "\n"}));
}

TEST(TCustomLineWSocket, LineLimitDropsOrKeepsWhatIsHeld) {
    for (bool keep : {false, true}) {
        SCOPED_TRACE(keep ? "kept" : "dropped");
        ScriptedPeer peer;
        peer.Script({SendFiller(65536), WaitFor("go"), Send("x"), WaitFor("more"),
                     Send("\r\nok\r\n"), NeverAnswer()});
        LineClient client;
        std::vector<int> exceeded;
        client.s.OnLineLimitExceeded = [&](TComponent*, int held, bool& clear) {
            exceeded.push_back(held);
            clear = !keep;
        };
        client.Chunk = 1 << 20;
        client.Connect(peer);
        // 65536 bytes without a terminator are within the default limit.
        ASSERT_TRUE(PumpUntil([&] { return client.s.LineBufferLen() == 65536; }, Deadline));
        EXPECT_TRUE(exceeded.empty());
        client.s.SendText("go");
        ASSERT_TRUE(PumpUntil([&] { return !exceeded.empty(); }, Deadline));
        EXPECT_EQ(exceeded, (std::vector<int>{65537}));
        EXPECT_EQ(client.s.LineBufferLen(), keep ? 65537 : 0);
        client.s.SendText("more");
        ASSERT_TRUE(PumpUntil([&] { return client.Lines.size() == 2; }, Deadline));
        if (keep) {
            EXPECT_EQ(client.Lines[0].size(), 65539u);
            EXPECT_EQ(client.Lines[0].substr(65536), "x\r\n");
        } else {
            EXPECT_EQ(client.Lines[0], "\r\n");
        }
        EXPECT_EQ(client.Lines[1], "ok\r\n");
    }
}

TEST(TCustomLineWSocket, HeldBytesStayBoundedByTheLimitWhenDropped) {
    ScriptedPeer peer;
    peer.Script({SendFiller(4 << 20), NeverAnswer()});
    LineClient client;
    client.s.SetLineLimit(1000);
    int maxHeld = 0, fired = 0;
    client.s.OnLineLimitExceeded = [&](TComponent*, int held, bool&) {
        maxHeld = std::max(maxHeld, held);
        ++fired;
    };
    client.Connect(peer);
    ASSERT_TRUE(PumpUntil([&] { return client.s.TotalReceived() == (4u << 20); }, 10000));
    EXPECT_GT(fired, 0);
    EXPECT_LE(maxHeld, 1000 + 65536);
    EXPECT_TRUE(client.Lines.empty());
}

TEST(TCustomLineWSocket, SwitchingLineModeOffInTheHandlerDeliversTheRestAsData) {
    ScriptedPeer peer;
    peer.Script({Send("one\r\ntwo\r\nrest"), NeverAnswer()});
    LineClient client;
    client.AfterEachCall([&] { client.s.SetLineMode(false); });
    client.Connect(peer);
    ASSERT_TRUE(PumpUntil([&] { return client.Lines.size() == 2; }, Deadline));
    EXPECT_EQ(client.Lines, (Lines{"one\r\n", "two\r\nrest"}));
    EXPECT_EQ(client.s.LineBufferLen(), 0);
    // The posted line-data message finds nothing left to deliver.
    PumpUntil([] { return true; }, 0);
    EXPECT_EQ(client.Lines.size(), 2u);
}

TEST(TCustomLineWSocket, SwitchingLineModeOnWhileBytesAreHeldDeliversThemAsLines) {
    ScriptedPeer peer;
    peer.Script({Send("one\r\ntwo\r\nthree\r\n"), NeverAnswer()});
    LineClient client;
    auto recordLine = client.s.OnDataAvailable;
    int calls = 0;
    client.s.OnDataAvailable = [&](TComponent* sender, WORD e) {
        if (++calls == 1) {
            recordLine(sender, e);
            client.s.SetLineMode(false);
        } else if (calls == 2) {
            // Plain data now: read nothing, and ask for lines again.
            client.s.SetLineMode(true);
        } else {
            recordLine(sender, e);
        }
    };
    client.Connect(peer);
    ASSERT_TRUE(PumpUntil([&] { return client.Lines.size() == 3; }, Deadline));
    EXPECT_EQ(client.Lines, (Lines{"one\r\n", "two\r\n", "three\r\n"}));
}

TEST(TCustomLineWSocket, ReceiveServesHeldBytesFirstOnceLineModeIsOff) {
    ScriptedPeer peer;
    peer.Script({Send("partial"), WaitFor("go"), Send(" and more"), NeverAnswer()});
    LineClient client;
    client.Connect(peer);
    ASSERT_TRUE(PumpUntil([&] { return client.s.LineBufferLen() == 7; }, Deadline));
    client.s.SetLineMode(false);
    EXPECT_EQ(client.s.PendingReadCount(), 7);
    char buf[4];
    EXPECT_EQ(client.s.Receive(buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "part");
    ASSERT_TRUE(PumpUntil([&] { return !client.Lines.empty(); }, Deadline));
    EXPECT_EQ(client.Lines[0], "ial");
    client.s.SendText("go");
    ASSERT_TRUE(PumpUntil([&] { return client.Lines.size() == 2; }, Deadline));
    EXPECT_EQ(client.Lines[1], " and more");
}

TEST(TCustomLineWSocket, HeldBytesAreOfferedAsALastLineAtClose) {
    ScriptedPeer peer;
    peer.Script({Send("a\r\nno terminator"), Close()});
    LineClient client;
    std::vector<std::string> order;
    client.AfterEachCall([&] { order.push_back("data"); });
    client.s.OnSessionClosed = [&](TComponent*, WORD) {
        order.push_back("closed");
        client.Closed = true;
    };
    client.Connect(peer);
    ASSERT_TRUE(PumpUntil([&] { return client.Closed; }, Deadline));
    EXPECT_EQ(client.Lines, (Lines{"a\r\n", "no terminator"}));
    EXPECT_EQ(order, (std::vector<std::string>{"data", "data", "closed"}));
    EXPECT_EQ(client.s.LineBufferLen(), 0);
}

TEST(TCustomLineWSocket, ClosingFromTheHandlerEndsDelivery) {
    ScriptedPeer peer;
    peer.Script({Send("one\r\ntwo\r\nthree"), NeverAnswer()});
    LineClient client;
    client.AfterEachCall([&] { client.s.Close(); });
    client.Connect(peer);
    ASSERT_TRUE(PumpUntil([&] { return client.Closed; }, Deadline));
    EXPECT_EQ(client.Lines, (Lines{"one\r\n"}));
    EXPECT_EQ(client.s.LineBufferLen(), 0);
}

TEST(TCustomLineWSocket, EditingAndEchoLikeATerminal) {
    ScriptedPeer peer;
    // a b BS c TAB d CR LF, then a backspace at the start of a line (nothing to take back).
    const std::string typed = std::string("ab\bc\td\r\n") + "\bz\r\n";
    const std::string echo = std::string("ab\b \bc      d\r\n") + "z\r\n";
    peer.Script({Send(typed), WaitBytes(echo.size()), NeverAnswer()});
    LineClient client;
    client.s.SetLineEcho(true);
    client.s.SetLineEdit(true);
    client.Connect(peer);
    ASSERT_TRUE(PumpUntil([&] { return client.Lines.size() == 2; }, Deadline));
    EXPECT_EQ(client.Lines, (Lines{"ac      d\r\n", "z\r\n"}));
    ASSERT_TRUE(peer.WaitForBytes(echo.size(), Deadline));
    EXPECT_EQ(peer.Received(), echo);
}

TEST(TCustomLineWSocket, ATerminatorFormedByEditingAcrossReadsEndsTheLineThere) {
    ScriptedPeer peer;
    // Backspaces take "XYZW" back, so the held CR and the new LF end a line.
    peer.Script({Send("a\rXYZW"), WaitFor("go"), Send("\b\b\b\b\nQQ\r\n"), NeverAnswer()});
    LineClient client;
    client.s.SetLineEdit(true);
    client.Connect(peer);
    ASSERT_TRUE(PumpUntil([&] { return client.s.LineBufferLen() == 6; }, Deadline));
    client.s.SendText("go");
    ASSERT_TRUE(PumpUntil([&] { return client.Lines.size() == 2; }, Deadline));
    EXPECT_EQ(client.Lines, (Lines{"a\r\n", "QQ\r\n"}));
}

TEST(TCustomLineWSocket, EchoWithoutEditingSendsEveryByteBack) {
    ScriptedPeer peer;
    peer.Script({Send("raw\b\tline\r\n"), WaitBytes(11), NeverAnswer()});
    LineClient client;
    client.s.SetLineEcho(true);
    client.Connect(peer);
    ASSERT_TRUE(PumpUntil([&] { return client.Lines.size() == 1; }, Deadline));
    EXPECT_EQ(client.Lines[0], "raw\b\tline\r\n");
    ASSERT_TRUE(peer.WaitForBytes(11, Deadline));
    EXPECT_EQ(peer.Received(), "raw\b\tline\r\n");
}

TEST(TCustomLineWSocket, SendLineAddsTheTerminator) {
    ScriptedPeer peer;
    peer.Script({WaitBytes(9), NeverAnswer()});
    LineClient client;
    bool connected = false;
    client.s.OnSessionConnected = [&](TComponent*, WORD) { connected = true; };
    client.Connect(peer);
    ASSERT_TRUE(PumpUntil([&] { return connected; }, Deadline));
    EXPECT_EQ(client.s.SendLine("HELO"), 6);
    EXPECT_EQ(client.s.SendLine(""), 2); // an empty line is still a line
    client.s.SetLineEnd("\n");
    EXPECT_EQ(client.s.SendLine("x"), 2);
    ASSERT_TRUE(peer.WaitForBytes(10, Deadline));
    EXPECT_EQ(peer.Received(), "HELO\r\n\r\nx\n");
    client.s.Close();
    client.s.OnError = [](TComponent*) {};
    EXPECT_EQ(client.s.SendLine("late"), -1);
}

TEST(TCustomLineWSocket, WithoutAHandlerLinesAreDroppedAndTheSocketKeepsWorking) {
    ScriptedPeer peer;
    peer.Script(
        {Send("dropped\r\nalso dropped\r\n"), WaitFor("go"), Send("kept\r\n"), NeverAnswer()});
    LineClient client;
    auto handler = client.s.OnDataAvailable;
    client.s.OnDataAvailable = nullptr;
    bool connected = false;
    client.s.OnSessionConnected = [&](TComponent*, WORD) { connected = true; };
    client.Connect(peer);
    ASSERT_TRUE(PumpUntil([&] { return connected && client.s.TotalReceived() == 23; }, Deadline));
    EXPECT_EQ(client.s.LineBufferLen(), 0);
    client.s.OnDataAvailable = handler;
    client.s.SendText("go");
    ASSERT_TRUE(PumpUntil([&] { return client.Lines.size() == 1; }, Deadline));
    EXPECT_EQ(client.Lines[0], "kept\r\n");
}

namespace {

// Runs out of memory once more than 200,000 bytes would be held.
class TStarvedLineSocket : public TWSocket {
protected:
    char* ReserveLineBuffer(int extra) override {
        if (LineBufferLen() + extra > 200000)
            throw std::bad_alloc();
        return TWSocket::ReserveLineBuffer(extra);
    }
};

} // namespace

TEST(TCustomLineWSocket, RunningOutOfMemoryForAKeptLineIsASocketError) {
    ScriptedPeer peer;
    peer.Script({SendFiller(1 << 20), NeverAnswer()});
    TStarvedLineSocket s;
    s.SetLineMode(true);
    s.OnLineLimitExceeded = [](TComponent*, int, bool& clear) { clear = false; };
    s.OnDataAvailable = [](TComponent*, WORD) {};
    WORD closed = 0;
    bool done = false;
    s.OnSessionClosed = [&](TComponent*, WORD e) {
        closed = e;
        done = true;
    };
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(peer.Port()));
    s.Connect();
    ASSERT_TRUE(PumpUntil([&] { return done; }, Deadline));
    EXPECT_EQ(closed, winsock::WSAENOBUFS);
    EXPECT_EQ(s.LastError(), winsock::WSAENOBUFS);
    EXPECT_EQ(s.State(), wsClosed);
}

// ---- the buffer itself -----------------------------------------------------------------

TEST(TLineBuffer, EditingKeepsEarlierLinesAndCountsColumnsPerLine) {
    struct Case {
        std::string Held, Incoming, Expected, Echo;
    };
    const std::vector<Case> cases = {
        {"", "\t", "        ", "        "},
        {"abc", "\t", "abc     ", "     "},
        {"12345678", "\t", std::string("12345678") + std::string(8, ' '), std::string(8, ' ')},
        {"done\r\n", "\b\bx", "done\r\nx", "x"}, // a finished line is not taken back
        {"ab", "\b\b\b", "", "\b \b\b \b"},
        {"x\r\nab", "\tc", "x\r\nab      c", "      c"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Held + "|" + c.Incoming);
        TLineBuffer b;
        b.Append(c.Held.data(), static_cast<int>(c.Held.size()));
        b.Append(c.Incoming.data(), static_cast<int>(c.Incoming.size()));
        std::string echo;
        int rewrittenFrom = -1;
        ASSERT_TRUE(b.Edit(static_cast<int>(c.Held.size()), "\r\n", echo, rewrittenFrom));
        EXPECT_LE(rewrittenFrom, static_cast<int>(c.Held.size()));
        EXPECT_EQ(std::string(b.Data(), static_cast<size_t>(b.Len())), c.Expected);
        EXPECT_EQ(echo, c.Echo);
    }
}

TEST(TLineBuffer, TakingLinesFromTheFrontKeepsTheRest) {
    TLineBuffer b;
    const std::string text = "l1\r\nl2\r\nrest";
    b.Append(text.data(), static_cast<int>(text.size()));
    EXPECT_EQ(b.Find("\r\n", 0), 2);
    char out[8];
    EXPECT_EQ(b.Take(out, 4), 4);
    EXPECT_EQ(b.Find("\r\n", 0), 2);
    b.Remove(4);
    EXPECT_EQ(std::string(b.Data(), static_cast<size_t>(b.Len())), "rest");
    b.Append("\r\n", 2); // moves the rest to the front before growing
    EXPECT_EQ(b.Find("\r\n", 3), 4);
    EXPECT_EQ(b.Find("", 0), -1);
}

// ---- the synchronous wait --------------------------------------------------------------

TEST(TCustomSyncWSocket, WaitEndsAt12001WhenTheQuitMessageArrivesOrTheApplicationEnds) {
    {
        TWSocket s;
        s.SetOwnMessagePump(true);
        int never = 0;
        PostQuitMessage(0);
        // No time-out: only the quit message ends the wait.
        EXPECT_EQ(s.WaitUntilReady(&never, 0), 12001);
        EXPECT_TRUE(s.QuitSeen());
    }
    {
        TWSocket s;
        int never = 0;
        Application().Terminate();
        EXPECT_EQ(s.WaitUntilReady(&never, 0), 12001);
        Application().ResetTerminated();
        int ready = 1;
        EXPECT_EQ(s.WaitUntilReady(&ready, 0), 0);
    }
}
