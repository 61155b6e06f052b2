// The application object: title, message servicing, termination and the
// program-wide error box. It knows no GUI toolkit; the GUI installs hooks so
// that servicing also runs the toolkit's events and errors show in a box.
#pragma once

#include <functional>
#include <string>

class TApplication {
public:
    const std::string& Title() const { return FTitle; }
    void SetTitle(const std::string& title) { FTitle = title; }

    // Handles the messages waiting for the calling thread (the platform's
    // ready events and queued messages, one bounded pass of them, plus the
    // GUI's when a hook is set) and returns. A WM_QUIT met here terminates
    // the application.
    void ProcessMessages();
    bool Terminated() const { return FTerminated; }
    void Terminate() { FTerminated = true; }
    void ResetTerminated() { FTerminated = false; } // for tests

    // Shows an exception that escaped an event handler: caption the title,
    // an error icon, the message with a full stop added by ErrorBoxText.
    void ShowException(const std::exception& e);

    using ProcessMessagesHook = std::function<void()>;
    void SetProcessMessagesHook(ProcessMessagesHook hook) { FProcessHook = std::move(hook); }
    using ErrorBoxHook = std::function<void(const std::string& caption, const std::string& text)>;
    void SetErrorBoxHook(ErrorBoxHook hook) { FErrorBoxHook = std::move(hook); }

private:
    std::string FTitle;
    bool FTerminated = false;
    ProcessMessagesHook FProcessHook;
    ErrorBoxHook FErrorBoxHook;
};

TApplication& Application();

// One pass of the calling thread's pump (platform::PumpPass): dispatches
// its ready platform events and queued messages until none is left or the
// pass's bound is reached; returns false when it took WM_QUIT, which ends
// the pass.
bool PumpPlatformMessages();

// The text of the error box: the message, with a full stop appended when its
// last character sorts above "." in the character table.
std::string ErrorBoxText(const std::string& message);
