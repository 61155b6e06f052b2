// httpcli from the outside: exit statuses, where the body goes, the
// messages, the progress meter, and memory that stays bounded while a large
// body streams through.
#include "tests/support/child_process.h"
#include "tests/support/scripted_peer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace testpeer;

namespace {

std::string Url(const ScriptedPeer& peer, const std::string& path = "/") {
    return "http://127.0.0.1:" + std::to_string(peer.Port()) + path;
}

ChildResult Httpcli(std::vector<std::string> args, const ChildOptions& options = {}) {
    args.insert(args.begin(), BuildProgram("httpcli"));
    return RunChild(args, options);
}

std::string TempPath(const std::string& name) {
    return testing::TempDir() + "httpcli_" + std::to_string(getpid()) + "_" + name;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string Answer(const std::string& status, const std::string& body,
                   const std::string& extra = "") {
    return "HTTP/1.0 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
           extra + "\r\n" + body;
}

} // namespace

struct ExitCase {
    const char* Name;
    std::vector<Step> Script; // empty: nothing listens on the port
    std::vector<std::string> Extra;
    int Exit;
    const char* Message; // part of standard error after "httpcli: URL: "
};

void PrintTo(const ExitCase& c, std::ostream* os) {
    *os << c.Name;
}

class HttpcliExit : public testing::TestWithParam<ExitCase> {};

TEST_P(HttpcliExit, EndsWithTheStatusOfItsKindOfFailure) {
    const ExitCase& c = GetParam();
    ScriptedPeer peer;
    peer.Script(c.Script);
    std::string url = c.Script.empty() ? "http://127.0.0.1:" + std::to_string(RefusedPort()) + "/x"
                                       : Url(peer, "/x");
    if (std::string(c.Name) == "Https")
        url = "https://127.0.0.1:" + std::to_string(peer.Port()) + "/x";
    std::vector<std::string> args = c.Extra;
    args.push_back(url);
    ChildResult r = Httpcli(args);
    EXPECT_EQ(r.ExitCode, c.Exit) << r.Err;
    if (c.Exit == 0) {
        EXPECT_EQ(r.Err, "");
    } else {
        EXPECT_EQ(r.Err.rfind("httpcli: " + url + ": ", 0), 0u) << r.Err;
        EXPECT_NE(r.Err.find(c.Message), std::string::npos) << r.Err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, HttpcliExit,
    testing::Values(
        ExitCase{
            "Whole", {WaitFor("\r\n\r\n"), Send(Answer("200 OK", "hello")), Close()}, {}, 0, ""},
        ExitCase{"NotFound",
                 {WaitFor("\r\n\r\n"), Send(Answer("404 Not Found", "no such page")), Close()},
                 {},
                 22,
                 "the server answered 404 Not Found"},
        ExitCase{"Refused", {}, {}, 7, "Connection refused"},
        ExitCase{"Https", {NeverAnswer()}, {}, 1, "Protocol \"https\" not implemented"},
        ExitCase{"BodyCutShort",
                 {WaitFor("\r\n\r\n"), Send("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nabc"),
                  Close()},
                 {},
                 18,
                 "Connection closed before the whole response body"},
        ExitCase{"NoAnswer", {WaitFor("\r\n\r\n"), Close()}, {}, 52, "complete response header"},
        ExitCase{"Silence", {NeverAnswer()}, {"-m", "1"}, 28, "timeout"},
        ExitCase{"RelocationLoop",
                 {WaitFor("\r\n\r\n"), Send(Answer("302 Found", "", "Location: /x\r\n")), Close()},
                 {"--max-redirs", "2"},
                 47,
                 "stopped after 2 relocations"},
        ExitCase{"BadCoding",
                 {WaitFor("\r\n\r\n"), Send(Answer("200 OK", "nope", "Content-Encoding: gzip\r\n")),
                  Close()},
                 {"--compressed"},
                 61,
                 "Content decoding failed: gzip: "}),
    [](const testing::TestParamInfo<ExitCase>& info) { return info.param.Name; });

// What the client returns without a failure may still be one for the caller:
// a 401 or 407 that stands, a coding httpcli cannot undo, a body past
// --max-filesize.
INSTANTIATE_TEST_SUITE_P(
    FinalAnswers, HttpcliExit,
    testing::Values(
        ExitCase{
            "Unauthorized",
            {WaitFor("\r\n\r\n"),
             Send(Answer("401 Unauthorized", "denied", "WWW-Authenticate: Basic realm=\"r\"\r\n")),
             Close()},
            {},
            22,
            "the server answered 401 Unauthorized"},
        ExitCase{
            "ProxyAuthenticationRequired",
            {WaitFor("\r\n\r\n"), Send(Answer("407 Proxy Authentication Required", "")), Close()},
            {},
            22,
            "the server answered 407 Proxy Authentication Required"},
        ExitCase{"UnknownContentCoding",
                 {WaitFor("\r\n\r\n"), Send(Answer("200 OK", "coded", "Content-Encoding: br\r\n")),
                  Close()},
                 {"--compressed"},
                 61,
                 "content coding 'br' is not one httpcli can undo"},
        ExitCase{"OneOfTheCodingsUnknown",
                 {WaitFor("\r\n\r\n"),
                  Send(Answer("200 OK", "coded", "Content-Encoding: gzip, br\r\n")), Close()},
                 {"--compressed"},
                 61,
                 "content coding 'gzip, br'"},
        ExitCase{"TransferCoding",
                 {WaitFor("\r\n\r\n"),
                  Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"
                       "5\r\nHELLO\r\n0\r\n\r\n"),
                  Close()},
                 {},
                 61,
                 "Transfer coding not supported: gzip"},
        ExitCase{"LengthPastMaxFilesize",
                 {WaitFor("\r\n\r\n"), Send(Answer("200 OK", "hello")), Close()},
                 {"--max-filesize", "4"},
                 63,
                 "the body is larger than --max-filesize 4 bytes"},
        ExitCase{"BodyGrowingPastMaxFilesize",
                 {WaitFor("\r\n\r\n"), Send("HTTP/1.0 200 OK\r\n\r\nhello"), Close()},
                 {"--max-filesize", "4"},
                 63,
                 "larger than --max-filesize"},
        // 29 bytes of gzip that inflate to 120: the limit is on what is written.
        ExitCase{"DecodedPastMaxFilesize",
                 {WaitFor("\r\n\r\n"),
                  Send(Answer("200 OK",
                              std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\x03\xcb\x48\xcd\xc9"
                                          "\xc9\x57\xc8\xa0\x3b\x09\x00\x2f\xfa\xf8\x48\x78\x00"
                                          "\x00\x00",
                                          29),
                              "Content-Encoding: gzip\r\n")),
                  Close()},
                 {"--compressed", "--max-filesize", "100"},
                 63,
                 "larger than --max-filesize 100 bytes"}),
    [](const testing::TestParamInfo<ExitCase>& info) { return info.param.Name; });

TEST(Httpcli, CommandLineMistakesExitWithTwoAndSayWhat) {
    struct {
        std::vector<std::string> Args;
        const char* Message;
    } cases[] = {
        {{}, "no URL given"},
        {{"--bogus", "http://127.0.0.1:1/"}, "unknown option --bogus"},
        {{"-Q", "http://127.0.0.1:1/"}, "unknown option -Q"},
        {{"http://127.0.0.1:1/", "-o"}, "option -o needs a value"},
        {{"http://127.0.0.1:1/", "--output"}, "option --output needs a value"},
        {{"-m", "soon", "http://127.0.0.1:1/"}, "-m wants a number of seconds, not 'soon'"},
        {{"--max-redirs=-1", "http://127.0.0.1:1/"}, "--max-redirs wants a number"},
        {{"http://127.0.0.1:1/a", "http://127.0.0.1:1/b"}, "one URL only"},
        {{"-u", "alone", "http://127.0.0.1:1/"}, "-u wants USER:PASSWORD, not 'alone'"},
        {{"--proxy-user", "x", "http://127.0.0.1:1/"}, "-U wants USER:PASSWORD"},
    };
    for (const auto& c : cases) {
        ChildResult r = Httpcli(c.Args);
        EXPECT_EQ(r.ExitCode, 2) << c.Message;
        EXPECT_EQ(r.Err.rfind("httpcli: ", 0), 0u) << r.Err;
        EXPECT_NE(r.Err.find(c.Message), std::string::npos) << r.Err;
        EXPECT_EQ(r.Out, "");
    }
}

TEST(Httpcli, HelpListsEveryExitStatusItEndsWith) {
    ChildResult help = Httpcli({"--help"});
    EXPECT_EQ(help.ExitCode, 0);
    EXPECT_EQ(help.Err, "");
    for (int code : {0, 1, 2, 6, 7, 18, 22, 23, 26, 28, 47, 52, 56, 61, 63})
        EXPECT_NE(help.Out.find("\n  " + std::string(code < 10 ? "  " : " ") +
                                std::to_string(code) + "  "),
                  std::string::npos)
            << code;
    ChildResult version = Httpcli({"--version"});
    EXPECT_EQ(version.ExitCode, 0);
    EXPECT_EQ(version.Out.rfind("httpcli ", 0), 0u);
}

TEST(Httpcli, ARelocationsBodyNeverReachesAPipe) {
    ScriptedPeer final;
    final.Script({WaitFor("\r\n\r\n"), Send(Answer("200 OK", "the final body")), Close()});
    ScriptedPeer moved;
    moved.Script({WaitFor("\r\n\r\n"),
                  Send(Answer("302 Found", "the relocation's own body",
                              "Location: " + Url(final, "/there") + "\r\n")),
                  Close()});
    ChildResult r = Httpcli({"-i", Url(moved, "/here")});
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    // Both header blocks, in order, and only the final body.
    EXPECT_NE(r.Out.find("HTTP/1.0 302 Found\r\n"), std::string::npos);
    EXPECT_LT(r.Out.find("302 Found"), r.Out.find("HTTP/1.0 200 OK"));
    EXPECT_EQ(r.Out.find("relocation's own body"), std::string::npos) << r.Out;
    EXPECT_EQ(r.Out.substr(r.Out.size() - 14), "the final body");
}

// A pipe cannot be cut back: the body of an answer that is repeated with
// credentials never reaches it, however large; a final 401 is written whole.
TEST(Httpcli, BodiesOfRepeatedAnswersNeverReachTheOutput) {
    const std::string page(2u << 20, 'd'); // held past memory, in a temporary file
    const std::string denied =
        Answer("401 Unauthorized", page, "WWW-Authenticate: Basic realm=\"r\"\r\n");
    ScriptedPeer peer;
    peer.ScriptEach({{WaitFor("\r\n\r\n"), Send(denied), Close()},
                     {WaitFor("\r\n\r\n"), Send(Answer("200 OK", "SECRET-PAGE")), Close()}});
    ChildResult r = Httpcli({"-u", "u:p", Url(peer)});
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(r.OutBytes, 11);
    EXPECT_EQ(r.Out, "SECRET-PAGE");

    ScriptedPeer refusing;
    refusing.Script({WaitFor("\r\n\r\n"), Send(denied), Close()});
    ChildOptions whole;
    whole.KeepOut = 4u << 20;
    r = Httpcli({"-u", "u:wrong", Url(refusing)}, whole);
    EXPECT_EQ(r.ExitCode, 22) << r.Err;
    EXPECT_EQ(refusing.Connections(), 2);
    EXPECT_TRUE(r.Out == page) << r.OutBytes << " bytes written"; // the last page only
}

TEST(Httpcli, SilentDropsTheMessageAndShowErrorBringsItBack) {
    ScriptedPeer peer;
    peer.Script({WaitFor("\r\n\r\n"), Send(Answer("500 Broken", "x")), Close()});
    ChildResult silent = Httpcli({"-s", Url(peer)});
    EXPECT_EQ(silent.ExitCode, 22);
    EXPECT_EQ(silent.Err, "");
    ChildResult shown = Httpcli({"-sS", Url(peer)});
    EXPECT_EQ(shown.ExitCode, 22);
    EXPECT_NE(shown.Err.find("500 Broken"), std::string::npos);
}

TEST(Httpcli, PostsAFileAndWritesTheBodyToTheOutputFile) {
    const std::string data = TempPath("post"), body = TempPath("body");
    std::ofstream(data) << "call=QQ9XYZ&band=40m";
    ScriptedPeer peer;
    peer.Script({WaitFor("band=40m"), Send(Answer("200 OK", "stored")), Close()});
    ChildResult r = Httpcli({"-d", "@" + data, "-o", body, Url(peer, "/newentry.aspx")});
    EXPECT_EQ(r.ExitCode, 0) << r.Err;
    EXPECT_EQ(r.Out, "");
    EXPECT_EQ(ReadFile(body), "stored");
    EXPECT_NE(peer.Received().find("POST /newentry.aspx HTTP/1.0\r\n"), std::string::npos);
    EXPECT_NE(peer.Received().find("Content-Length: 20\r\n"), std::string::npos);

    ChildResult missing = Httpcli({"-d", "@" + data + ".missing", Url(peer)});
    EXPECT_EQ(missing.ExitCode, 26);
    EXPECT_NE(missing.Err.find("cannot read " + data + ".missing"), std::string::npos);
    std::remove(data.c_str());
    std::remove(body.c_str());
}

TEST(Httpcli, AFailedWriteEndsWith23AndNamesTheTarget) {
    ScriptedPeer peer;
    peer.Script({WaitFor("\r\n\r\n"), Send(Answer("200 OK", "hello")), Close()});
    ChildResult r = Httpcli({"-o", "/dev/full", Url(peer)});
    EXPECT_EQ(r.ExitCode, 23);
    EXPECT_NE(r.Err.find("httpcli: cannot write /dev/full"), std::string::npos) << r.Err;
}

// A large body passes through standard output without being held: the peak
// memory of a 64 MiB download is close to that of a tiny one.
TEST(Httpcli, MemoryStaysBoundedWhileALargeBodyStreamsToStandardOutput) {
    const std::size_t large = 64u << 20;
    auto download = [](std::size_t size) {
        ScriptedPeer peer;
        peer.Script(
            {WaitFor("\r\n\r\n"),
             Send("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n"),
             SendFiller(size), Close()});
        ChildOptions options;
        options.KeepOut = 64;
        options.TimeoutMs = 120000;
        return Httpcli({Url(peer)}, options);
    };
    ChildResult small = download(1000);
    ChildResult big = download(large);
    ASSERT_EQ(big.ExitCode, 0) << big.Err;
    EXPECT_EQ(big.OutBytes, static_cast<std::int64_t>(large));
    EXPECT_EQ(big.Out.substr(0, 3), "ABC");
    EXPECT_LT(big.MaxRssKiB - small.MaxRssKiB, 16 * 1024)
        << "small " << small.MaxRssKiB << " KiB, large " << big.MaxRssKiB << " KiB";
}

namespace {

// Runs httpcli with its standard error (and input) on a terminal; its
// standard output goes to /dev/null. Returns what the terminal showed.
std::string OnTerminal(std::vector<std::string> args, int* exitCode) {
    args.insert(args.begin(), BuildProgram("httpcli"));
    int master = -1;
    winsize ws{};
    ws.ws_col = 60;
    ws.ws_row = 24;
    pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    std::string seen;
    char buffer[4096];
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 20000) <= 0)
            break;
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) // EIO once the child has gone
            break;
        seen.append(buffer, static_cast<std::size_t>(n));
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return seen;
}

} // namespace

TEST(Httpcli, ShowsProgressOnATerminalUnlessSilent) {
    ScriptedPeer peer;
    peer.Script({WaitFor("\r\n\r\n"), Send("HTTP/1.0 200 OK\r\nContent-Length: 300000\r\n\r\n"),
                 SendFiller(300000), Close()});
    const std::string file = TempPath("progress");
    int code = -1;
    std::string figures = OnTerminal({"-o", file, Url(peer)}, &code);
    EXPECT_EQ(code, 0);
    EXPECT_NE(figures.find("100%"), std::string::npos) << figures;
    EXPECT_NE(figures.find("293.0 KiB"), std::string::npos) << figures;

    std::string bar = OnTerminal({"-#", "-o", file, Url(peer)}, &code);
    EXPECT_EQ(code, 0);
    EXPECT_NE(bar.find("##########"), std::string::npos) << bar;
    EXPECT_NE(bar.find("100.0%"), std::string::npos) << bar;

    std::string silent = OnTerminal({"-s", "-o", file, Url(peer)}, &code);
    EXPECT_EQ(code, 0);
    EXPECT_EQ(silent, "");
    std::remove(file.c_str());
}
