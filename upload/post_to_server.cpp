#include "upload/post_to_server.h"

#include "framework/stream.h"
#include "net/http/httpprot.h"
#include "platform/win32/windows.h"

#include <algorithm>
#include <memory>

namespace {

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

bool PostToServer(const TStringList& body, std::string& reply, const TPostSettings& settings) {
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
    client->SetURL(UploadUrl(settings.RobotHost));
    client->SetRequestVer("1.0");
    client->SetTimeout(settings.TimeoutSeconds);
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
        // The pause blocks without servicing messages.
        if (settings.PauseMs > 0 && !response->TooLong())
            Sleep(static_cast<DWORD>(settings.PauseMs));
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
