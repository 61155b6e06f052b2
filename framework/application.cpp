#include "framework/application.h"

#include "platform/win32/reactor.h"
#include "platform/win32/windows.h"

#include <cstdio>

TApplication& Application() {
    static TApplication app;
    return app;
}

bool PumpPlatformMessages() {
    // One bounded pass: whoever called comes back to its own checks (the
    // GUI's events, a wait's quit and time-out) however much keeps arriving.
    platform::PumpPass pass;
    MSG msg{};
    while (pass.Next(&msg)) {
        if (msg.message == WM_QUIT)
            return false;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return true;
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
