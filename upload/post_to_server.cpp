#include "upload/post_to_server.h"

#include "framework/stream.h"
#include "net/http/httpprot.h"
#include "platform/win32/windows.h"
#include "upload/hosts.h"

#include <memory>

namespace {
constexpr unsigned kTimeoutSeconds = 500;
constexpr int kPauseMs = 100;
unsigned gTimeoutSeconds = kTimeoutSeconds;
int gPauseMs = kPauseMs;
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
    auto response = std::make_unique<TMemoryStream>();
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
    try {
        client->Post();
        // The pause is part of the exchange as the service has always seen it;
        // it blocks without servicing messages.
        if (gPauseMs > 0)
            Sleep(static_cast<DWORD>(gPauseMs));
        if (client->ContentLength() > 0)
            reply = response->DataString();
    } catch (const std::exception& e) {
        reply = e.what();
        result = false;
    }
    // Freed in this order on both paths: request, response, client.
    request.reset();
    response.reset();
    client.reset();
    return result;
}
