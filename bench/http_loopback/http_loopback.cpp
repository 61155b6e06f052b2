// THttpCli against libcurl, side by side in one process, against the same
// local cpp-httplib server on 127.0.0.1:
//   - small POST round trips with a new client (a fresh curl handle) per
//     request, as the upload does;
//   - a 256 MiB download, once with Content-Length and once chunked, into a
//     stream that discards what it is given.
// Every iteration runs both clients one after the other; the counters give
// each one's figure and the ratio (round trip: THttpCli's time over libcurl's;
// download: THttpCli's throughput over libcurl's), and for downloads the
// growth of the peak resident set, which must stay flat whatever the body size.
#include "framework/stream.h"
#include "net/http/httpprot.h"

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <httplib.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <sys/resource.h>
#include <thread>

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

template <typename F> double Seconds(F&& f, bool& ok) {
    auto t0 = std::chrono::steady_clock::now();
    ok = f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Each iteration runs one request of each client, one right after the other
// and in turns, so that both meet the same load on the machine. The time measured is the
// pair's; the counters give each client's share and their ratio.
void SideBySide(benchmark::State& state, const std::string& path, bool (*ours)(const std::string&),
                bool (*curl)(const std::string&), std::int64_t bytesPerRequest) {
    const std::string url = Server().Url(path);
    double oursSeconds = 0, curlSeconds = 0;
    long rssBefore = PeakRssKiB();
    for (auto _ : state) {
        bool okCurl = false, okOurs = false;
        // Whoever goes second meets a server and kernel still busy with the
        // first one's connection: take turns so that neither is favoured.
        if (state.iterations() % 2 == 0) {
            curlSeconds += Seconds([&] { return curl(url); }, okCurl);
            oursSeconds += Seconds([&] { return ours(url); }, okOurs);
        } else {
            oursSeconds += Seconds([&] { return ours(url); }, okOurs);
            curlSeconds += Seconds([&] { return curl(url); }, okCurl);
        }
        if (!okCurl || !okOurs) {
            state.SkipWithError(okCurl ? "THttpCli request failed" : "libcurl request failed");
            break;
        }
    }
    const double n = static_cast<double>(state.iterations());
    if (bytesPerRequest > 0) {
        const double bytes = n * static_cast<double>(bytesPerRequest);
        state.counters["THttpCli_MiBps"] = bytes / oursSeconds / (1024 * 1024);
        state.counters["curl_MiBps"] = bytes / curlSeconds / (1024 * 1024);
        state.counters["throughput_vs_curl"] = curlSeconds / oursSeconds;
        state.counters["rss_growth_MiB"] = static_cast<double>(PeakRssKiB() - rssBefore) / 1024.0;
    } else {
        state.counters["THttpCli_us"] = oursSeconds / n * 1e6;
        state.counters["curl_us"] = curlSeconds / n * 1e6;
        state.counters["time_vs_curl"] = oursSeconds / curlSeconds;
    }
}

void BM_PostRoundTrip(benchmark::State& s) {
    SideBySide(s, "/newentry.aspx", PostWithTHttpCli, PostWithCurl, 0);
}
void BM_Download_ContentLength(benchmark::State& s) {
    SideBySide(s, "/big", DownloadWithTHttpCli, DownloadWithCurl, kBigSize);
}
void BM_Download_Chunked(benchmark::State& s) {
    SideBySide(s, "/bigchunked", DownloadWithTHttpCli, DownloadWithCurl, kBigSize);
}

} // namespace

BENCHMARK(BM_PostRoundTrip)->Unit(benchmark::kMicrosecond)->MinTime(2.0);
BENCHMARK(BM_Download_ContentLength)->Unit(benchmark::kMillisecond)->Iterations(16);
BENCHMARK(BM_Download_Chunked)->Unit(benchmark::kMillisecond)->Iterations(16);

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
