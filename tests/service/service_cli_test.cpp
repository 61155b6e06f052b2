// logbook-service as its users start it: the command line, a port that is
// taken, and the pages a browser sees, through the real program.
#include "service.h"
#include "tests/support/child_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace testpeer;

namespace {

std::string Service() {
    return BuildProgram("logbook-service");
}

std::string Listen(std::uint16_t port) {
    return "127.0.0.1:" + std::to_string(port);
}

ChildResult Fetch(const std::vector<std::string>& args) {
    std::vector<std::string> argv{BuildProgram("httpcli"), "-s", "-S"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunChild(argv);
}

// A listener on an OS-assigned loopback port, with SO_REUSEPORT set as a
// second server with the library's default options would have it.
struct SharedListener {
    int Fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::uint16_t Port = 0;
    SharedListener() {
        int yes = 1;
        setsockopt(Fd, SOL_SOCKET, SO_REUSEPORT, &yes, sizeof yes);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(Fd, 4) == 0 &&
            getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            Port = ntohs(a.sin_port);
    }
    ~SharedListener() { close(Fd); }
};

} // namespace

TEST(LogbookServiceCommandLine, RefusesWhatItCannotUseWithStatusTwo) {
    struct {
        std::vector<std::string> Args;
        const char* Message;
    } cases[] = {
        {{"--listen", "127.0.0.1:abc"}, "--listen wants HOST:PORT with a PORT from 1 to 65535"},
        {{"--listen", "127.0.0.1:99999"}, "not '127.0.0.1:99999'"},
        {{"--listen", "127.0.0.1:0"}, "not '127.0.0.1:0'"},
        {{"--listen", "127.0.0.1:80x"}, "not '127.0.0.1:80x'"},
        {{"--listen", "8080"}, "not '8080'"},
        {{"--listen"}, "option --listen needs a value"},
        {{"--account", "QQ9XYZ"}, "--account wants CALLSIGN:CODE"},
        {{"--account", ":123"}, "--account wants CALLSIGN:CODE"},
        {{"--no-default-account"}, "leaves no account"},
        {{"--frobnicate"}, "unknown option --frobnicate"},
        {{"stray"}, "no arguments are taken"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{Service()};
        argv.insert(argv.end(), c.Args.begin(), c.Args.end());
        ChildResult r = RunChild(argv);
        EXPECT_EQ(r.ExitCode, 2) << c.Message;
        EXPECT_EQ(r.Err.rfind("logbook-service: ", 0), 0u) << r.Err;
        EXPECT_NE(r.Err.find(c.Message), std::string::npos) << r.Err;
    }
}

TEST(LogbookServiceCommandLine, HelpAndVersionGoToStandardOutput) {
    ChildResult help = RunChild({Service(), "--help"});
    EXPECT_EQ(help.ExitCode, 0);
    for (const char* text : {"--listen HOST:PORT", "[127.0.0.1:18080]", "--account CALL:CODE",
                             "[QQ9XYZ:9999999999]", "--no-default-account", "--version"})
        EXPECT_NE(help.Out.find(text), std::string::npos) << text;
    ChildResult shortHelp = RunChild({Service(), "-h"});
    EXPECT_EQ(shortHelp.Out, help.Out);
    ChildResult version = RunChild({Service(), "--version"});
    EXPECT_EQ(version.ExitCode, 0);
    EXPECT_EQ(version.Out.rfind("logbook-service ", 0), 0u);
}

TEST(LogbookServiceCommandLine, ABusyPortIsRefusedWithAMessage) {
    SharedListener other;
    ASSERT_NE(other.Port, 0);
    ChildResult r = RunChild({Service(), "--listen", Listen(other.Port)});
    EXPECT_EQ(r.ExitCode, 1);
    EXPECT_NE(r.Err.find("logbook-service: cannot listen on " + Listen(other.Port) +
                         ": the port is in use"),
              std::string::npos)
        << r.Err;
    EXPECT_EQ(r.Out.find("listening"), std::string::npos);
}

TEST(LogbookServiceCommandLine, ASecondServiceOnTheSamePortIsRefused) {
    const std::uint16_t port = FreePort();
    BackgroundChild first({Service(), "--listen", Listen(port)});
    ASSERT_TRUE(first.WaitForOutput("listening on http://" + Listen(port) + "/", 20000))
        << first.Output();
    ChildResult second = RunChild({Service(), "--listen", Listen(port)});
    EXPECT_EQ(second.ExitCode, 1);
    EXPECT_NE(second.Err.find("the port is in use"), std::string::npos) << second.Err;
    EXPECT_EQ(first.Stop(), 0);
}

// The built-in account stays beside the added one, and the pages a browser
// opens come from the running program.
TEST(LogbookServiceCommandLine, AccountsAddToTheBuiltInOneAndThePagesServeThem) {
    const std::uint16_t port = FreePort();
    BackgroundChild service({Service(), "--listen", Listen(port), "--account", "YO3AAA:123"});
    ASSERT_TRUE(service.WaitForOutput("(2 accounts)", 20000)) << service.Output();
    const std::string base = "http://" + Listen(port);
    auto upload = [&](const std::string& call, const std::string& code, const std::string& qso) {
        return Fetch({"-d",
                      "Callsign=" + call + "&Code=" + code + "&CMD=INSERT&ADIFData=" + qso +
                          "<qso_date:8>20240102<time_on:6>101500<gridsquare:4>KN34<eor>",
                      base + "/newentry.aspx"})
            .Out;
    };
    EXPECT_NE(upload("QQ9XYZ", "9999999999", "<call:6>DL1ABC").find("<insert>1</insert>"),
              std::string::npos);
    EXPECT_NE(upload("YO3AAA", "123", "<call:6>G4XYZ").find("<insert>1</insert>"),
              std::string::npos);
    EXPECT_NE(upload("YO3AAA", "9999999999", "<call:6>G4XYZ").find("Unknown user"),
              std::string::npos);

    ChildResult index = Fetch({base + "/"});
    EXPECT_EQ(index.ExitCode, 0) << index.Err;
    for (const char* link :
         {"href=\"/ViewLogbook.aspx?user=QQ9XYZ\"", "href=\"/public/cache/map_QQ9XYZ.jpg\"",
          "href=\"/ViewLogbook.aspx?user=YO3AAA\""})
        EXPECT_NE(index.Out.find(link), std::string::npos) << link;

    // A browser's navigation asks for HTML and gets the page around the map;
    // the page's image and every other client get the JPEG.
    ChildResult page =
        Fetch({"-H", "Accept: text/html,*/*;q=0.8", base + "/public/cache/map_QQ9XYZ.jpg"});
    EXPECT_NE(page.Out.find("<title>DL1ABC (KN34)</title>"), std::string::npos) << page.Out;
    EXPECT_NE(page.Out.find("map_QQ9XYZ.jpg?image=1"), std::string::npos);
    for (const std::string& url :
         {base + "/public/cache/map_QQ9XYZ.jpg", base + "/public/cache/map_QQ9XYZ.jpg?image=1"}) {
        ChildResult jpeg = Fetch({"-H", "Accept: text/html", "-i", url});
        if (url.find("image=1") == std::string::npos)
            jpeg = Fetch({"-i", url});
        EXPECT_NE(jpeg.Out.find("Content-Type: image/jpeg"), std::string::npos) << url;
    }
    EXPECT_EQ(service.Stop(), 0);
}

TEST(LogbookService, IndexPageNamesEveryAccountWithEscapedLinks) {
    logbook::Service service({{"QQ9XYZ", "1"}, {"YO3AAA/P", "2"}, {"<b>", "3"}});
    const std::string page = service.IndexPage();
    EXPECT_NE(page.find("href=\"/ViewLogbook.aspx?user=YO3AAA%2FP\""), std::string::npos);
    EXPECT_NE(page.find("href=\"/public/cache/map_YO3AAA%2FP.jpg\""), std::string::npos);
    EXPECT_NE(page.find("<td>&lt;b&gt;</td>"), std::string::npos);
    EXPECT_EQ(page.find("<b>"), std::string::npos);
    // The codes are keys to the accounts; the page does not show them.
    EXPECT_EQ(page.find("<td>2</td>"), std::string::npos);
}
