#include "framework/application.h"

#include "platform/win32/reactor.h"
#include "platform/win32/windows.h"

#include <cstdio>

TApplication& Application() {
    static TApplication app;
    return app;
}

bool PumpPlatformMessages() {
    bool quit = false;
    for (;;) {
        platform::ProcessReadyEvents();
        MSG msg{};
        if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            break;
        if (msg.message == WM_QUIT) {
            quit = true;
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return !quit;
}

void TApplication::ProcessMessages() {
    if (FProcessHook) {
        FProcessHook();
        return;
    }
    if (!PumpPlatformMessages())
        Terminate();
}

std::string ErrorBoxText(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        return message + ".";
    return message;
}

void TApplication::ShowException(const std::exception& e) {
    std::string text = ErrorBoxText(e.what());
    if (FErrorBoxHook)
        FErrorBoxHook(FTitle, text);
    else
        std::fprintf(stderr, "%s: %s\n", FTitle.c_str(), text.c_str());
}
