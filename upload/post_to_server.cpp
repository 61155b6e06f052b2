#include "upload/post_to_server.h"

#include "framework/stream.h"
#include "net/http/httpprot.h"
#include "platform/win32/windows.h"
#include "upload/hosts.h"

#include <algorithm>
#include <memory>

namespace {
constexpr unsigned kTimeoutSeconds = 500;
constexpr int kPauseMs = 100;
unsigned gTimeoutSeconds = kTimeoutSeconds;
int gPauseMs = kPauseMs;

// The response stream: it keeps at most the first kMaxAnswerBytes of the
// answer and notes that more came, so a server that keeps sending cannot
// fill memory before the exchange is ended.
class TAnswerStream : public TMemoryStream {
public:
    using TMemoryStream::Write;
    std::int64_t Write(const void* buffer, std::int64_t count) override {
        const std::int64_t room = std::max<std::int64_t>(0, kMaxAnswerBytes - Size());
        if (count > room)
            FTooLong = true;
        TMemoryStream::Write(buffer, std::min(count, room));
        return count;
    }
    bool TooLong() const { return FTooLong; }

private:
    bool FTooLong = false;
};

} // namespace

void upload::testing::SetPostTimeout(unsigned seconds) {
    gTimeoutSeconds = seconds == 0 ? kTimeoutSeconds : seconds;
}

void upload::testing::SetPauseAfterPost(int ms) {
    gPauseMs = ms < 0 ? kPauseMs : ms;
}

bool PostToServer(const TStringList& body, std::string& reply) {
    bool result = true;
    auto client = std::make_unique<THttpCli>(nullptr);
    auto request = std::make_unique<TMemoryStream>();
    auto response = std::make_unique<TAnswerStream>();
    body.SaveToStream(*request);
    request->SetPosition(0);

    client->SetPostStream(request.get());
    client->SetProxy("");
    client->SetProxyPort("");
    client->SetConnection("Keep-Alive");
    client->SetDocStream(response.get());
    client->SetContentTypePost("application/x-www-form-urlencoded");
    client->SetURL(UploadUrl());
    client->SetRequestVer("1.0");
    client->SetTimeout(gTimeoutSeconds);
    // An answer longer than any the service gives ends the exchange: the
    // connection is closed from the message loop, not from inside the
    // client's own reading.
    bool closing = false;
    client->OnDocData = [&](TComponent*, const char*, int) {
        if (response->TooLong() && !closing) {
            closing = true;
            client->CtrlSocket()->CloseLater();
        }
    };
    try {
        client->Post();
        // The pause is part of the exchange as the service has always seen it;
        // it blocks without servicing messages.
        if (gPauseMs > 0 && !response->TooLong())
            Sleep(static_cast<DWORD>(gPauseMs));
        if (client->ContentLength() > 0)
            reply = response->DataString();
    } catch (const std::exception& e) {
        reply = e.what();
        result = false;
    }
    if (response->TooLong()) {
        reply = "Answer longer than " + std::to_string(kMaxAnswerBytes) + " bytes: exchange ended";
        result = false;
    }
    // Freed in this order on both paths: request, response, client.
    request.reset();
    response.reset();
    client.reset();
    return result;
}
