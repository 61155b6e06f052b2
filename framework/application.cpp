#include "framework/application.h"

#include "platform/win32/reactor.h"
#include "platform/win32/windows.h"

#include <cstdio>

TApplication& Application() {
    static TApplication app;
    return app;
}

bool PumpPlatformMessages() {
    platform::PumpScope pumping;
    bool quit = false;
    MSG msg{};
    // Ready events are collected whenever the queue runs dry, not before
    // every message.
    while (platform::TakeNextMessage(&msg)) {
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
