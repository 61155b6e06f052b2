// THttpCli against libcurl, side by side in one process, against the same
// local cpp-httplib server on 127.0.0.1:
//   - small POST round trips with a new client (a fresh curl handle) per
//     request, as the upload does;
//   - the same POST against a bare server that delays its acknowledgements,
//     as many servers do: a request whose header and body leave in separate
//     segments waits for the acknowledgement of the first (Nagle's rule);
//   - a 256 MiB download, once with Content-Length and once chunked, into a
//     stream that discards what it is given, beside a bare blocking recv
//     loop that reads the same answer in pieces of 16 or 64 KiB.
// Every iteration runs each client once, in turns; the counters give each
// one's wall and CPU time or throughput and the ratios (round trip:
// THttpCli's time over libcurl's; downloads: THttpCli's throughput over
// libcurl's and over the bare loop's), and for downloads the growth of the
// peak resident set, which must stay flat whatever the body size.
#include "bench/support/spent.h"
#include "framework/stream.h"
#include "net/http/httpprot.h"

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kBigSize = 256u * 1024 * 1024;
const std::string kUploadBody =
    "cmd=ADD&code=ABCDEF&data=<call:6>YO9XYZ<qso_date:8>20261208<time_on:6>120000<band:3>20m"
    "<mode:3>SSB<rst_rcvd:2>59<rst_sent:2>59<gridsquare:6>KN34AA<eor>\r\n";
const std::string kUploadReply = "<insert>1</insert><id>4242</id>";

// The local server, started once for the whole program.
class LocalServer {
public:
    LocalServer() {
        static std::string block(64 * 1024, 'x');
        FServer.Post("/newentry.aspx", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(kUploadReply, "text/html");
        });
        auto provide = [](size_t offset, size_t length, httplib::DataSink& sink) {
            size_t left = kBigSize - offset;
            size_t n = std::min({length, left, block.size()});
            sink.write(block.data(), n);
            return true;
        };
        FServer.Get("/big", [provide](const httplib::Request&, httplib::Response& res) {
            res.set_content_provider(kBigSize, "application/octet-stream", provide);
        });
        FServer.Get("/bigchunked", [](const httplib::Request&, httplib::Response& res) {
            res.set_chunked_content_provider(
                "application/octet-stream", [](size_t offset, httplib::DataSink& sink) {
                    if (offset >= kBigSize) {
                        sink.done();
                        return true;
                    }
                    size_t n = std::min(kBigSize - offset, block.size());
                    sink.write(block.data(), n);
                    return true;
                });
        });
        FPort = FServer.bind_to_any_port("127.0.0.1");
        FThread = std::thread([this] { FServer.listen_after_bind(); });
        // The socket listens from bind on; wait for the accept loop too.
        while (!FServer.is_running())
            std::this_thread::yield();
    }
    ~LocalServer() {
        FServer.stop();
        FThread.join();
    }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(FPort) + path;
    }

private:
    httplib::Server FServer;
    int FPort = 0;
    std::thread FThread;
};

LocalServer& Server() {
    static LocalServer server;
    return server;
}

// A bare server that answers the upload after it has read the whole request,
// and acknowledges what it receives only with its answer or after the
// system's delayed-acknowledgement time (TCP_QUICKACK off, set again after
// every read because the system may turn quick acknowledgements back on).
class DelayedAckServer {
public:
    DelayedAckServer() {
        FListen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ::bind(FListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(FListen, 64);
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&addr), &len);
        FPort = ntohs(addr.sin_port);
        FThread = std::thread([this] { Serve(); });
    }
    ~DelayedAckServer() {
        FStop = true;
        ::shutdown(FListen, SHUT_RDWR);
        FThread.join();
        ::close(FListen);
    }
    std::string Url() const {
        return "http://127.0.0.1:" + std::to_string(FPort) + "/newentry.aspx";
    }

private:
    static void DelayAcks(int fd) {
        int off = 0;
        ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &off, sizeof off);
    }

    void Serve() {
        while (!FStop) {
            int fd = ::accept(FListen, nullptr, nullptr);
            if (fd < 0)
                continue;
            DelayAcks(fd);
            std::string request;
            char buffer[4096];
            std::size_t want = std::string::npos;
            while (request.size() < want) {
                ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                DelayAcks(fd);
                request.append(buffer, static_cast<std::size_t>(n));
                const std::size_t end = request.find("\r\n\r\n");
                const std::size_t length = request.find("Content-Length: ");
                if (want == std::string::npos && end != std::string::npos &&
                    length != std::string::npos)
                    want = end + 4 + std::stoul(request.substr(length + 16));
            }
            const std::string answer =
                "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(kUploadReply.size()) +
                "\r\n\r\n" + kUploadReply;
            ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            ::shutdown(fd, SHUT_WR);
            // Read to the end so the close sends no reset.
            pollfd p{fd, POLLIN, 0};
            while (::poll(&p, 1, 1000) > 0 && ::recv(fd, buffer, sizeof buffer, 0) > 0) {
            }
            ::close(fd);
        }
    }

    int FListen = -1;
    std::uint16_t FPort = 0;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

// Counts what it is given and keeps nothing.
class TDiscardStream : public TStream {
public:
    std::int64_t Read(void*, std::int64_t) override { return 0; }
    std::int64_t Write(const void*, std::int64_t count) override {
        FSize += count;
        return count;
    }
    using TStream::Write;
    std::int64_t Seek(std::int64_t, TSeekOrigin) override { return FSize; }
    std::int64_t Size() const override { return FSize; }
    void SetSize(std::int64_t size) override { FSize = size; }

private:
    std::int64_t FSize = 0;
};

long PeakRssKiB() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// ---- one request of each client ----------------------------------------------------

bool PostWithTHttpCli(const std::string& url) {
    THttpCli http;
    TMemoryStream request, reply;
    request.Write(kUploadBody);
    request.SetPosition(0);
    http.SetPostStream(&request);
    http.SetProxy("");
    http.SetConnection("Keep-Alive");
    http.SetDocStream(&reply);
    http.SetURL(url);
    http.SetRequestVer("1.0");
    http.SetTimeout(5);
    http.Post();
    return reply.DataString() == kUploadReply;
}

size_t CurlToString(char* p, size_t size, size_t n, void* user) {
    static_cast<std::string*>(user)->append(p, size * n);
    return size * n;
}

size_t CurlDiscard(char*, size_t size, size_t n, void* user) {
    *static_cast<std::uint64_t*>(user) += size * n;
    return size * n;
}

bool PostWithCurl(const std::string& url) {
    CURL* curl = curl_easy_init();
    std::string reply;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, kUploadBody.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(kUploadBody.size()));
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CurlToString);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    CURLcode rc = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    return rc == CURLE_OK && reply == kUploadReply;
}

bool DownloadWithTHttpCli(const std::string& url) {
    THttpCli http;
    TDiscardStream doc;
    http.SetDocStream(&doc);
    http.SetURL(url);
    http.SetRequestVer("1.1");
    http.SetTimeout(30);
    http.Get();
    return doc.Size() == static_cast<std::int64_t>(kBigSize);
}

bool DownloadWithCurl(const std::string& url) {
    CURL* curl = curl_easy_init();
    std::uint64_t received = 0;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CurlDiscard);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &received);
    CURLcode rc = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    return rc == CURLE_OK && received == kBigSize;
}

// The least a client can do: one blocking socket, the request written
// whole, the answer read in pieces of Piece bytes until the server closes,
// the header skipped and the body bytes counted (chunk size lines included,
// a few bytes per 64 KiB).
template <std::size_t Piece> bool DownloadWithRecv(const std::string& url) {
    const std::size_t colon = url.find(':', 7), slash = url.find('/', 7);
    const int port = std::stoi(url.substr(colon + 1, slash - colon - 1));
    const std::string request =
        "GET " + url.substr(slash) + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    static std::vector<char> buffer(Piece);
    std::uint64_t body = 0;
    bool inHeader = true;
    std::string header;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        for (;;) {
            ssize_t n = ::recv(fd, buffer.data(), Piece, 0);
            if (n <= 0)
                break;
            if (!inHeader) {
                body += static_cast<std::uint64_t>(n);
                continue;
            }
            header.append(buffer.data(), static_cast<std::size_t>(n));
            const std::size_t end = header.find("\r\n\r\n");
            if (end != std::string::npos) {
                inHeader = false;
                body += header.size() - end - 4;
            }
        }
    }
    ::close(fd);
    return body >= kBigSize;
}

struct TSide {
    const char* Name;
    bool (*Request)(const std::string&);
    bench::TSpent Spent;
};

// Each iteration runs one request of every side, one right after the other.
// Whoever goes later meets a server and kernel still busy with the earlier
// one's connection, so the order rotates from one iteration to the next and
// no side is favoured.
bool RunInTurns(benchmark::State& state, const std::string& url, std::vector<TSide>& sides) {
    for (auto _ : state) {
        const std::size_t first = static_cast<std::size_t>(state.iterations()) % sides.size();
        for (std::size_t k = 0; k < sides.size(); ++k) {
            TSide& side = sides[(first + k) % sides.size()];
            if (!side.Spent.Time([&] { return side.Request(url); })) {
                state.SkipWithError((std::string(side.Name) + " request failed").c_str());
                return false;
            }
        }
    }
    return true;
}

void BM_PostRoundTrip(benchmark::State& state) {
    std::vector<TSide> sides = {{"THttpCli", PostWithTHttpCli, {}}, {"curl", PostWithCurl, {}}};
    if (!RunInTurns(state, Server().Url("/newentry.aspx"), sides))
        return;
    const double n = static_cast<double>(state.iterations());
    const bench::TSpent& ours = sides[0].Spent;
    const bench::TSpent& curl = sides[1].Spent;
    state.counters["THttpCli_us"] = ours.Wall / n * 1e6;
    state.counters["curl_us"] = curl.Wall / n * 1e6;
    state.counters["THttpCli_cpu_us"] = ours.Cpu / n * 1e6;
    state.counters["curl_cpu_us"] = curl.Cpu / n * 1e6;
    // Below 1: THttpCli takes less time than libcurl.
    state.counters["time_vs_curl"] = ours.Wall / curl.Wall;
    state.counters["cpu_vs_curl"] = ours.Cpu / curl.Cpu;
}

// The upload against a server that delays its acknowledgements. libcurl
// sends a small body with its header (and sets TCP_NODELAY besides).
void BM_PostRoundTrip_DelayedAck(benchmark::State& state) {
    static DelayedAckServer server;
    std::vector<TSide> sides = {{"THttpCli", PostWithTHttpCli, {}}, {"curl", PostWithCurl, {}}};
    if (!RunInTurns(state, server.Url(), sides))
        return;
    const double n = static_cast<double>(state.iterations());
    state.counters["THttpCli_us"] = sides[0].Spent.Wall / n * 1e6;
    state.counters["curl_us"] = sides[1].Spent.Wall / n * 1e6;
    // Below 1: THttpCli takes less time than libcurl.
    state.counters["time_vs_curl"] = sides[0].Spent.Wall / sides[1].Spent.Wall;
}

// Downloads: THttpCli, libcurl and the bare recv loop whose piece size is
// the benchmark's argument.
void Downloads(benchmark::State& state, const std::string& path) {
    const std::size_t piece = static_cast<std::size_t>(state.range(0));
    bool (*bare)(const std::string&) =
        piece == 16 * 1024 ? DownloadWithRecv<16 * 1024> : DownloadWithRecv<64 * 1024>;
    std::vector<TSide> sides = {
        {"THttpCli", DownloadWithTHttpCli, {}}, {"curl", DownloadWithCurl, {}}, {"recv", bare, {}}};
    const long rssBefore = PeakRssKiB();
    if (!RunInTurns(state, Server().Url(path), sides))
        return;
    const double n = static_cast<double>(state.iterations());
    const double mib = n * static_cast<double>(kBigSize) / (1024 * 1024);
    const bench::TSpent& ours = sides[0].Spent;
    const bench::TSpent& curl = sides[1].Spent;
    const bench::TSpent& recv = sides[2].Spent;
    state.counters["THttpCli_MiBps"] = mib / ours.Wall;
    state.counters["curl_MiBps"] = mib / curl.Wall;
    state.counters["recv_MiBps"] = mib / recv.Wall;
    state.counters["THttpCli_cpu_ms"] = ours.Cpu / n * 1e3;
    state.counters["curl_cpu_ms"] = curl.Cpu / n * 1e3;
    state.counters["recv_cpu_ms"] = recv.Cpu / n * 1e3;
    // Above 1: THttpCli moves more bytes per second than the other side.
    state.counters["throughput_vs_curl"] = curl.Wall / ours.Wall;
    state.counters["throughput_vs_recv"] = recv.Wall / ours.Wall;
    state.counters["rss_growth_MiB"] = static_cast<double>(PeakRssKiB() - rssBefore) / 1024.0;
}

void BM_Download_ContentLength(benchmark::State& s) {
    Downloads(s, "/big");
}
void BM_Download_Chunked(benchmark::State& s) {
    Downloads(s, "/bigchunked");
}

} // namespace

// The argument of the downloads is the bare loop's piece size: 16 KiB and
// 64 KiB, the sizes THttpCli has read in.
BENCHMARK(BM_PostRoundTrip)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_PostRoundTrip_DelayedAck)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_Download_ContentLength)
    ->Unit(benchmark::kMillisecond)
    ->Arg(16 * 1024)
    ->Arg(64 * 1024)
    ->Iterations(9);
BENCHMARK(BM_Download_Chunked)
    ->Unit(benchmark::kMillisecond)
    ->Arg(16 * 1024)
    ->Arg(64 * 1024)
    ->Iterations(9);

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    Server();
    // The logbook's main window carries an HTTP client for its whole run, so
    // Windows Sockets stays loaded and the hidden window stays up between
    // uploads; one resident client here does the same.
    THttpCli resident;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    curl_global_cleanup();
    return 0;
}
