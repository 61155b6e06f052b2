// The SOCKS layer against a real SOCKS server: Dante (Debian's dante-server),
// started by each test on 127.0.0.1 with a configuration and a port of its
// own and stopped by its PID. Behind it a local web server (cpp-httplib)
// serves a small page and a 3 MiB file.
#include "framework/application.h"
#include "framework/stream.h"
#include "net/http/httpprot.h"
#include "net/socket/wsocket.h"
#include "tests/support/child_process.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/server_process.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
#include <random>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace testpeer;

namespace {

constexpr int Deadline = 10000;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// One Dante server. Its port is chosen free just before it starts; Start
// waits until Dante itself listens on it (another program could have taken
// the port in between: then Dante stops and Start tries another).
class TDante {
public:
    enum class TAuth { None, UserName };

    explicit TDante(TAuth auth) : FAuth(auth) {
        std::string dir = testing::TempDir() + "dante_test_XXXXXX";
        FDir = ::mkdtemp(dir.data()) ? dir : "";
        ::chmod(FDir.c_str(), 0755); // Dante's unprivileged processes write nothing here
    }
    ~TDante() {
        Stop();
        for (const char* f : {"/danted.conf", "/danted.pid", "/danted.log", "/danted.out"})
            ::unlink((FDir + f).c_str());
        ::rmdir(FDir.c_str());
    }

    bool Start(const std::string& binary) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            FPort = FreePort(); // free right now
            WriteConfig();
            if (Spawn(binary) && WaitListening())
                return true;
            Stop();
        }
        return false;
    }
    std::uint16_t Port() const { return FPort; }
    std::string Log() const {
        return ReadFile(FDir + "/danted.log") + ReadFile(FDir + "/danted.out");
    }

    void Stop() {
        if (FPid <= 0)
            return;
        ::kill(FPid, SIGTERM); // Dante's main process ends its children
        for (int i = 0; i < Deadline / 10; ++i) {
            if (::waitpid(FPid, nullptr, WNOHANG) == FPid) {
                FPid = -1;
                return;
            }
            ::usleep(10000);
        }
        ::kill(-FPid, SIGKILL); // its own process group, children included
        ::waitpid(FPid, nullptr, 0);
        FPid = -1;
    }

private:
    void WriteConfig() const {
        const bool root = ::geteuid() == 0;
        const passwd* me = ::getpwuid(::geteuid());
        const std::string self = me ? me->pw_name : "nobody";
        std::ofstream conf(FDir + "/danted.conf");
        conf << "logoutput: " << FDir << "/danted.log\n"
             << "internal: 127.0.0.1 port = " << FPort << "\n"
             << "external: 127.0.0.1\n"
             << "clientmethod: none\n"
             << "socksmethod: " << (FAuth == TAuth::UserName ? "username" : "none")
             << "\n"
             // As root Dante reads the password file as root and serves as nobody.
             << "user.privileged: " << (root ? "root" : self) << "\n"
             << "user.unprivileged: " << (root ? "nobody" : self) << "\n"
             << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
             << "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 }\n";
    }

    bool Spawn(const std::string& binary) {
        const std::string conf = FDir + "/danted.conf", pidFile = FDir + "/danted.pid",
                          out = FDir + "/danted.out";
        std::vector<std::string> args{binary, "-f", conf, "-p", pidFile, "-N", "1"};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setpgroup(&attr, 0);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        int rc = ::posix_spawn(&FPid, binary.c_str(), &actions, &attr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        if (rc != 0)
            FPid = -1;
        return rc == 0;
    }

    bool WaitListening() {
        for (int i = 0; i < Deadline / 10; ++i) {
            if (::waitpid(FPid, nullptr, WNOHANG) == FPid) {
                FPid = -1; // it gave up (the port was taken, or the configuration)
                return false;
            }
            if (ListeningPorts(FPid).count(FPort))
                return true;
            ::usleep(10000);
        }
        return false;
    }

    TAuth FAuth;
    std::string FDir;
    std::uint16_t FPort = 0;
    pid_t FPid = -1;
};

// 3 MiB in which every byte value occurs, and a small page.
const std::string& BigFile() {
    static const std::string data = [] {
        std::string s(3 << 20, '\0');
        for (size_t i = 0; i < s.size(); ++i)
            s[i] = static_cast<char>((i * 31 + i / 4096) & 0xFF);
        return s;
    }();
    return data;
}

class TWebServer {
public:
    TWebServer() {
        FServer.Get("/big", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(BigFile(), "application/octet-stream");
        });
        FServer.Get("/small", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("small page", "text/plain");
        });
        FPort = FServer.bind_to_any_port("127.0.0.1");
        FThread = std::thread([this] { FServer.listen_after_bind(); });
    }
    ~TWebServer() {
        FServer.stop();
        FThread.join();
    }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(FPort) + path;
    }
    int Port() const { return FPort; }

private:
    httplib::Server FServer;
    int FPort = 0;
    std::thread FThread;
};

// A system account that exists for one test: Dante checks SOCKS 5 user
// names and passwords against the system's accounts.
class TThrowawayAccount {
public:
    TThrowawayAccount() {
        std::random_device rd;
        Name = "socks17t" + std::to_string(::getpid() % 100000);
        Password = "Pw" + std::to_string(rd()) + "x" + std::to_string(rd());
        FCreated = Run({"/usr/sbin/useradd", "-M", "-N", "-r", "-s", "/usr/sbin/nologin", Name}) &&
                   Run({"/usr/sbin/chpasswd"}, Name + ":" + Password + "\n");
    }
    ~TThrowawayAccount() { Run({"/usr/sbin/userdel", Name}); }
    bool Created() const { return FCreated; }

    std::string Name, Password;

private:
    // The account tools refuse while another one holds the password file's
    // lock: they are tried again.
    bool Run(const std::vector<std::string>& argv, const std::string& input = "") {
        ChildOptions options;
        options.Input = input;
        for (int attempt = 0; attempt < 50; ++attempt) {
            ChildResult r = RunChild(argv, options);
            if (r.ExitCode == 0)
                return true;
            if (r.Err.find("lock") == std::string::npos) {
                ADD_FAILURE() << argv[0] << ": " << r.Err;
                return false;
            }
            ::usleep(100000);
        }
        return false;
    }
    bool FCreated = false;
};

// Starts Dante or skips the test when it is not installed.
#define START_DANTE(dante)                                                                         \
    const std::string danted = FindProgram("danted");                                              \
    if (danted.empty())                                                                            \
        GTEST_SKIP() << "danted (Debian package dante-server) is not installed";                   \
    ASSERT_TRUE((dante).Start(danted)) << (dante).Log()

std::string Body(const TMemoryStream& doc) {
    return std::string(doc.Memory(), static_cast<size_t>(doc.Size()));
}

// The 3 MiB file fetched by httpcli with `socksOptions`.
void ExpectHttpcliFetchesTheBigFile(const TWebServer& web, std::vector<std::string> socksOptions,
                                    const TDante& dante) {
    const std::string out = testing::TempDir() + "dante_big_" + std::to_string(::getpid());
    std::vector<std::string> argv{BuildProgram("httpcli"), "-sS", "-o", out};
    argv.insert(argv.end(), socksOptions.begin(), socksOptions.end());
    argv.push_back(web.Url("/big"));
    ChildResult r = RunChild(argv);
    const std::string got = ReadFile(out);
    ::unlink(out.c_str());
    EXPECT_EQ(r.ExitCode, 0) << r.Err << dante.Log();
    EXPECT_EQ(got.size(), BigFile().size());
    EXPECT_TRUE(got == BigFile())
        << "the file differs from byte "
        << std::mismatch(got.begin(), got.end(), BigFile().begin(), BigFile().end()).first -
               got.begin();
}

std::string DantePort(const TDante& dante) {
    return "127.0.0.1:" + std::to_string(dante.Port());
}

} // namespace

TEST(Dante, HttpGetThroughSocks4And5WithoutAuthentication) {
    TDante dante(TDante::TAuth::None);
    START_DANTE(dante);
    TWebServer web;
    for (const char* level : {"4", "5"}) {
        SCOPED_TRACE(std::string("SOCKS ") + level);
        Application().ResetTerminated();
        THttpCli http;
        TMemoryStream doc;
        http.SetDocStream(&doc);
        http.SetTimeout(10);
        http.SetURL(web.Url("/small"));
        http.SetSocksServer("127.0.0.1");
        http.SetSocksPort(std::to_string(dante.Port()));
        http.SetSocksLevel(level);
        std::vector<std::string> socks;
        http.OnSocksConnected = [&](TComponent*, std::uint16_t e) {
            socks.push_back("connected " + std::to_string(e));
        };
        http.OnSocksError = [&](TComponent*, int e, const std::string& text) {
            socks.push_back("error " + std::to_string(e) + " " + text);
        };
        try {
            http.Get();
        } catch (const EHttpException& e) {
            ADD_FAILURE() << e.Message() << "\n" << dante.Log();
        }
        EXPECT_EQ(http.StatusCode(), 200);
        EXPECT_EQ(Body(doc), "small page");
        EXPECT_EQ(socks, std::vector<std::string>{"connected 0"});
        if (std::string(level) == "5") {
            // Dante names the address it connected from (its external one).
            EXPECT_EQ(http.CtrlSocket()->SocksBoundAddr(), "127.0.0.1");
            EXPECT_NE(http.CtrlSocket()->SocksBoundPort(), "");
        }
    }
}

TEST(Dante, HttpcliFetchesThreeMiBByteForByte) {
    TDante dante(TDante::TAuth::None);
    START_DANTE(dante);
    TWebServer web;
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"--socks4", DantePort(dante)},
          std::vector<std::string>{"--socks5-hostname", DantePort(dante)},
          std::vector<std::string>{"-x", "socks5h://" + DantePort(dante)}}) {
        SCOPED_TRACE(options[0]);
        ExpectHttpcliFetchesTheBigFile(web, options, dante);
    }
}

TEST(Dante, Socks5UserNameAndPasswordOfASystemAccount) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "Dante checks SOCKS 5 user names and passwords against the system's "
                        "accounts, and creating a throw-away account needs root (this runs as uid "
                     << ::geteuid() << ")";
    TDante dante(TDante::TAuth::UserName);
    START_DANTE(dante);
    TThrowawayAccount account;
    ASSERT_TRUE(account.Created());
    TWebServer web;

    // The socket itself: the authentication states, then the target's answer.
    {
        TWSocket s;
        std::vector<std::string> events;
        std::string answer;
        bool closed = false;
        s.OnSocksAuthState = [&](TComponent*, TSocksAuthState a) {
            events.push_back(a == socksAuthStart     ? "start"
                             : a == socksAuthSuccess ? "success"
                                                     : "other");
        };
        s.OnSessionConnected = [&](TComponent*, WORD e) {
            events.push_back("connected " + std::to_string(e));
            if (e == 0)
                s.SendText("GET /small HTTP/1.0\r\n\r\n");
        };
        s.OnDataAvailable = [&](TComponent*, WORD) { answer += s.ReceiveText(); };
        s.OnSessionClosed = [&](TComponent*, WORD) { closed = true; };
        s.SetAddr("127.0.0.1");
        s.SetPort(std::to_string(web.Port()));
        s.SetSocksServer("127.0.0.1");
        s.SetSocksPort(std::to_string(dante.Port()));
        s.SetSocksUsercode(account.Name);
        s.SetSocksPassword(account.Password);
        s.SetSocksAuthentication(socksAuthenticateUsercode);
        s.Connect();
        ASSERT_TRUE(PumpUntil([&] { return closed; }, Deadline)) << dante.Log();
        EXPECT_EQ(events, (std::vector<std::string>{"start", "success", "connected 0"}));
        EXPECT_NE(answer.find("small page"), std::string::npos) << answer;
    }

    ExpectHttpcliFetchesTheBigFile(
        web, {"-x", "socks5h://" + account.Name + ":" + account.Password + "@" + DantePort(dante)},
        dante);

    // A wrong password, and no credentials at all.
    struct Case {
        std::vector<std::string> Options;
        std::string Message;
    };
    const std::vector<Case> refusals = {
        {{"-x", "socks5h://" + account.Name + ":wrong" + account.Password + "@" + DantePort(dante)},
         "socks authentication failed (Error #20015)"},
        {{"--socks5-hostname", DantePort(dante)},
         "authentification method not acceptable (Error #20003)"},
    };
    for (const Case& c : refusals) {
        std::vector<std::string> argv{BuildProgram("httpcli"), "-sS"};
        argv.insert(argv.end(), c.Options.begin(), c.Options.end());
        argv.push_back(web.Url("/small"));
        ChildResult r = RunChild(argv);
        EXPECT_EQ(r.ExitCode, 7) << r.Err;
        EXPECT_EQ(r.Err, "httpcli: " + web.Url("/small") + ": " + c.Message + "\n");
        EXPECT_EQ(r.Out, "");
    }

    // The synchronous caller of THttpCli sees the same code and text.
    Application().ResetTerminated();
    THttpCli http;
    http.SetTimeout(10);
    http.SetURL(web.Url("/small"));
    http.SetSocksServer("127.0.0.1");
    http.SetSocksPort(std::to_string(dante.Port()));
    http.SetSocksUsercode(account.Name);
    http.SetSocksPassword("not" + account.Password);
    http.SetSocksAuthentication(socksAuthenticateUsercode);
    try {
        http.Get();
        ADD_FAILURE() << "a wrong password was accepted";
    } catch (const EHttpException& e) {
        EXPECT_EQ(e.Message(), "socks authentication failed (Error #20015)");
    }
    EXPECT_EQ(http.ErrCode(), 20015);
}
