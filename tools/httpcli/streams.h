// The streams of httpcli: the response body goes to a file descriptor as it
// arrives, and a posted file is read from disk as it is sent, so neither is
// ever held whole in memory.
#pragma once

#include "framework/stream.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

// Where the body goes: standard output or the file of -o. The client cuts its
// document stream back to where a response began when it drops that
// response's body (a relocation, a repetition with credentials). A pipe
// cannot be cut back, so the body of a response that may be dropped is held
// until the request ends or a cut drops it: its first kHoldLimit bytes in
// memory, the rest in a temporary file, so that none of it ever reaches the
// output ahead of the real page, whatever its size. Everything else is
// written through at once.
class TBodyOutput : public TStream {
public:
    static constexpr std::int64_t kHoldLimit = 1 << 20;

    explicit TBodyOutput(int fd) : FFd(fd) {}
    ~TBodyOutput() override;

    // Opens FILE for writing (created or emptied); false with errno set.
    bool Open(const std::string& path);
    int Fd() const { return FFd; }

    // The body of a new response begins; it is held when `hold` is set.
    void BeginBody(bool hold);
    // The current body is dropped as it comes (a coding that cannot be undone).
    void DiscardBody() { FDiscarding = true; }
    // Writes what is held; called when the request has ended.
    void Flush();
    // Writes past any holding (the header lines of -i).
    void WriteThrough(const std::string& bytes);

    // A body larger than `bytes` (-1: no limit) is cut off before the write
    // that would pass the limit, and OnTooLarge is called once.
    void SetMaxBodySize(std::int64_t bytes) { FMaxBody = bytes; }
    // The current body says it will be `bytes` long (-1: unknown): one past
    // the limit is refused before any of it comes.
    void Announce(std::int64_t bytes);
    bool TooLarge() const { return FTooLarge; }
    std::function<void()> OnTooLarge;

    // The first write that failed: errno, 0 while all went well.
    int WriteError() const { return FWriteError; }
    std::int64_t Written() const { return FWritten; }
    // Called once, at the first failed write, so the request can stop.
    std::function<void()> OnWriteError;

    std::int64_t Read(void*, std::int64_t) override { return 0; }
    std::int64_t Write(const void* buffer, std::int64_t count) override;
    using TStream::Write;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    std::int64_t Size() const override { return FWritten + Held(); }
    void SetSize(std::int64_t size) override;

private:
    std::int64_t Held() const { return static_cast<std::int64_t>(FHeld.size()) + FSpilled; }
    void Hold(const char* data, std::size_t len);
    void WriteAll(const char* data, std::size_t len);
    void Failed(int error);
    void Refuse();

    int FFd;
    bool FOwnsFd = false;
    bool FHolding = false;
    bool FDiscarding = false;
    std::string FHeld;
    std::FILE* FSpill = nullptr; // the temporary file of what is held beyond kHoldLimit
    std::int64_t FSpilled = 0;
    std::int64_t FWritten = 0;
    std::int64_t FBodyBytes = 0; // of the current body, held or written
    std::int64_t FMaxBody = -1;
    bool FTooLarge = false;
    int FWriteError = 0;
};

// A file read from disk as the client sends it (-d @FILE).
class TFileReadStream : public TStream {
public:
    TFileReadStream() = default;
    ~TFileReadStream() override;
    // False with errno set when the file cannot be opened or is no file.
    bool Open(const std::string& path);

    std::int64_t Read(void* buffer, std::int64_t count) override;
    std::int64_t Write(const void*, std::int64_t) override { return 0; }
    using TStream::Write;
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override;
    std::int64_t Size() const override { return FSize; }
    void SetSize(std::int64_t) override {}

private:
    int FFd = -1;
    std::int64_t FPos = 0;
    std::int64_t FSize = 0;
};
