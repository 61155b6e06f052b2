// An optional diagnostic logger that the socket and the HTTP client write
// their trace to. Nothing in the program attaches one; tools and tests do.
#pragma once

#include "framework/component.h"

#include <functional>
#include <initializer_list>
#include <string>

enum TLogOption {
    loWsockErr,
    loWsockInfo,
    loWsockDump,
    loProtSpecErr,
    loProtSpecInfo,
    loProtSpecDump
};

// A set of TLogOption values.
class TLogOptions {
public:
    constexpr TLogOptions() = default;
    constexpr TLogOptions(std::initializer_list<TLogOption> options) {
        for (TLogOption o : options)
            FBits |= Bit(o);
    }
    constexpr bool Contains(TLogOption o) const { return (FBits & Bit(o)) != 0; }
    constexpr void Include(TLogOption o) { FBits |= Bit(o); }
    constexpr void Exclude(TLogOption o) { FBits &= ~Bit(o); }
    constexpr bool Empty() const { return FBits == 0; }
    constexpr bool operator==(const TLogOptions&) const = default;

private:
    static constexpr unsigned Bit(TLogOption o) { return 1u << static_cast<unsigned>(o); }
    unsigned FBits = 0;
};

// Sink of one trace line: the component that wrote it, its level, the text.
using TIcsLogEvent =
    std::function<void(TComponent* Sender, TLogOption LogOption, const std::string& Msg)>;

class TIcsLogger : public TComponent {
public:
    explicit TIcsLogger(TComponent* owner = nullptr) : TComponent(owner) {}

    TLogOptions LogOptions() const { return FLogOptions; }
    void SetLogOptions(TLogOptions options) { FLogOptions = options; }
    bool CheckLogOptions(TLogOption option) const { return FLogOptions.Contains(option); }

    // Writes one line when its level is switched on.
    void DoDebugLog(TComponent* Sender, TLogOption option, const std::string& msg) {
        if (CheckLogOptions(option))
            WriteLine(Sender, option, msg);
    }

    TIcsLogEvent OnIcsLogEvent;

protected:
    // Descendants may write elsewhere; the default hands the line to the event.
    virtual void WriteLine(TComponent* Sender, TLogOption option, const std::string& msg) {
        if (OnIcsLogEvent)
            OnIcsLogEvent(Sender, option, msg);
    }

private:
    TLogOptions FLogOptions{loWsockErr, loProtSpecErr};
};
