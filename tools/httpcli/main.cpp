// httpcli: a small command-line front end of THttpCli for diagnosing a
// connection, with curl's spelling of the options it has.
//
//   httpcli [-d DATA|-d @FILE] [-I] [-o FILE] [-i] [-v] [-x PROXYHOST:PORT]
//           [-m SECONDS] [-H 'Header: value'] [--http1.1] URL
//
// GET by default, POST with -d, HEAD with -I. -i prints the response header
// lines before the body, -v writes the client's and the socket's trace to
// standard error. The body goes to standard output, or to FILE with -o.
// Exit status 0 when the request returned, 1 with the failure on standard
// error when it raised.
#include "framework/stream.h"
#include "net/http/httpprot.h"
#include "net/socket/icslogger.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// A file opened for writing. It can be cut back, which a relocation does to
// drop the body of the relocating response.
class TFileWriteStream : public TStream {
public:
    explicit TFileWriteStream(const std::string& path)
        : FFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)) {}
    ~TFileWriteStream() override {
        if (FFd >= 0)
            ::close(FFd);
    }
    bool IsOpen() const { return FFd >= 0; }

    std::int64_t Read(void*, std::int64_t) override { return 0; }
    std::int64_t Write(const void* buffer, std::int64_t count) override {
        const char* p = static_cast<const char*>(buffer);
        std::int64_t done = 0;
        while (done < count) {
            ssize_t n = ::pwrite(FFd, p + done, static_cast<size_t>(count - done), FPos + done);
            if (n <= 0)
                break;
            done += n;
        }
        FPos += done;
        FSize = std::max(FSize, FPos);
        return done;
    }
    using TStream::Write;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
        std::int64_t base = origin == TSeekOrigin::soBeginning ? 0
                            : origin == TSeekOrigin::soCurrent ? FPos
                                                               : FSize;
        FPos = std::max<std::int64_t>(0, base + offset);
        return FPos;
    }
    std::int64_t Size() const override { return FSize; }
    void SetSize(std::int64_t size) override {
        if (::ftruncate(FFd, size) == 0) {
            FSize = size;
            FPos = std::min(FPos, FSize);
        }
    }

private:
    int FFd;
    std::int64_t FPos = 0;
    std::int64_t FSize = 0;
};

void Usage() {
    std::cerr << "usage: httpcli [-d DATA|-d @FILE] [-I] [-o FILE] [-i] [-v] [-x PROXYHOST:PORT]\n"
                 "               [-m SECONDS] [-H 'Header: value'] [--http1.1] URL\n";
}

bool ReadFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

std::string HeaderName(const std::string& line) {
    std::string name = line.substr(0, line.find(':'));
    for (char& c : name)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

} // namespace

int main(int argc, char** argv) {
    std::string url, data, outFile, proxy, contentType;
    std::vector<std::string> extraHeaders;
    bool post = false, head = false, showHeaders = false, verbose = false, http11 = false;
    long timeout = -1;

    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                std::cerr << "httpcli: option " << a << " needs a value\n";
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "-d" || a == "--data") {
            if (!value(v))
                return 2;
            if (!v.empty() && v[0] == '@') {
                if (!ReadFile(v.substr(1), data)) {
                    std::cerr << "httpcli: cannot read " << v.substr(1) << "\n";
                    return 2;
                }
            } else {
                data = v;
            }
            post = true;
        } else if (a == "-I" || a == "--head") {
            head = true;
        } else if (a == "-o" || a == "--output") {
            if (!value(outFile))
                return 2;
        } else if (a == "-i" || a == "--include") {
            showHeaders = true;
        } else if (a == "-v" || a == "--verbose") {
            verbose = true;
        } else if (a == "-x" || a == "--proxy") {
            if (!value(proxy))
                return 2;
        } else if (a == "-m" || a == "--max-time") {
            if (!value(v))
                return 2;
            char* end = nullptr;
            timeout = std::strtol(v.c_str(), &end, 10);
            if (!end || *end || timeout < 0) {
                std::cerr << "httpcli: bad time-out " << v << "\n";
                return 2;
            }
        } else if (a == "-H" || a == "--header") {
            if (!value(v))
                return 2;
            if (HeaderName(v) == "content-type") {
                size_t colon = v.find(':');
                contentType = v.substr(colon + 1);
                contentType.erase(0, contentType.find_first_not_of(' '));
            } else {
                extraHeaders.push_back(v);
            }
        } else if (a == "--http1.1") {
            http11 = true;
        } else if (a == "-h" || a == "--help") {
            Usage();
            return 0;
        } else if (!a.empty() && a[0] == '-') {
            std::cerr << "httpcli: unknown option " << a << "\n";
            Usage();
            return 2;
        } else {
            url = a;
        }
    }
    if (url.empty()) {
        Usage();
        return 2;
    }

    THttpCli http;
    TMemoryStream postStream, memoryDoc;
    std::unique_ptr<TFileWriteStream> fileDoc;
    TStream* doc = &memoryDoc;
    if (!outFile.empty()) {
        fileDoc = std::make_unique<TFileWriteStream>(outFile);
        if (!fileDoc->IsOpen()) {
            std::cerr << "httpcli: cannot write " << outFile << "\n";
            return 2;
        }
        doc = fileDoc.get();
    }
    TIcsLogger logger;
    if (verbose) {
        logger.SetLogOptions({loWsockErr, loWsockInfo, loProtSpecErr, loProtSpecInfo});
        logger.OnIcsLogEvent = [](TComponent*, TLogOption, const std::string& msg) {
            std::cerr << "* " << msg << "\n";
        };
        http.SetIcsLogger(&logger);
    }

    try {
        http.SetURL(url);
        http.SetDocStream(doc);
        if (!proxy.empty()) {
            size_t colon = proxy.rfind(':');
            if (colon != std::string::npos && proxy.find("://") == std::string::npos) {
                http.SetProxy(proxy.substr(0, colon));
                http.SetProxyPort(proxy.substr(colon + 1));
            } else {
                http.SetProxy(proxy);
            }
        }
        if (timeout >= 0)
            http.SetTimeout(static_cast<std::uint32_t>(timeout));
        if (!contentType.empty())
            http.SetContentTypePost(contentType);
        if (http11)
            http.SetRequestVer("1.1");
        if (!extraHeaders.empty()) {
            // A header given on the command line replaces the client's own
            // line of the same name.
            http.OnBeforeHeaderSend = [&extraHeaders](TComponent*, const std::string&,
                                                      TStringList& lines) {
                for (const std::string& extra : extraHeaders) {
                    std::string name = HeaderName(extra);
                    for (int i = lines.Count() - 1; i > 0; --i)
                        if (HeaderName(lines[i]) == name)
                            lines.Delete(i);
                    lines.Add(extra);
                }
            };
        }
        if (verbose)
            http.OnCommand = [](TComponent*, std::string& line) {
                std::cerr << "> " << line << "\n";
            };

        if (head) {
            http.Head();
        } else if (post) {
            postStream.Write(data);
            postStream.SetPosition(0);
            http.SetPostStream(&postStream);
            http.Post();
        } else {
            http.Get();
        }
    } catch (const Exception& e) {
        std::cerr << e.Message() << "\n";
        return 1;
    }

    if (showHeaders || head) {
        for (const std::string& line : http.HeaderLines().Lines())
            std::cout << line << "\r\n";
        std::cout << "\r\n";
    }
    if (doc == &memoryDoc && memoryDoc.Size() > 0)
        std::cout.write(memoryDoc.Memory(), static_cast<std::streamsize>(memoryDoc.Size()));
    std::cout.flush();
    return 0;
}
