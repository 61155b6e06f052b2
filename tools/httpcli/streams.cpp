#include "tools/httpcli/streams.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Writes all `len` bytes to `fd`, where `done` says when `positioned` (the
// spill file), else at its position; `done` grows by what went. The errno of
// a failure, 0 when all went.
int WriteFully(int fd, const char* data, std::size_t len, std::int64_t& done, bool positioned) {
    while (len > 0) {
        ssize_t n = positioned ? ::pwrite(fd, data, len, done) : ::write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : EIO;
        data += n;
        len -= static_cast<std::size_t>(n);
        done += n;
    }
    return 0;
}

} // namespace

TBodyOutput::~TBodyOutput() {
    if (FOwnsFd && FFd >= 0)
        ::close(FFd);
    if (FSpill)
        std::fclose(FSpill);
}

bool TBodyOutput::Open(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    FFd = fd;
    FOwnsFd = true;
    return true;
}

void TBodyOutput::BeginBody(bool hold) {
    if (!hold)
        Flush();
    FHolding = hold;
    FDiscarding = false;
    FBodyBytes = 0;
}

void TBodyOutput::Flush() {
    std::string held;
    held.swap(FHeld);
    WriteAll(held.data(), held.size());
    if (FSpilled == 0)
        return;
    // The spilled rest, read back in pieces.
    char piece[65536];
    for (std::int64_t at = 0; at < FSpilled && FWriteError == 0;) {
        ssize_t n = ::pread(
            ::fileno(FSpill), piece,
            static_cast<std::size_t>(std::min<std::int64_t>(sizeof piece, FSpilled - at)), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            Failed(n < 0 ? errno : EIO);
            break;
        }
        WriteAll(piece, static_cast<std::size_t>(n));
        at += n;
    }
    FSpilled = 0;
    if (::ftruncate(::fileno(FSpill), 0) != 0)
        Failed(errno);
}

void TBodyOutput::WriteThrough(const std::string& bytes) {
    Flush();
    WriteAll(bytes.data(), bytes.size());
}

std::int64_t TBodyOutput::Write(const void* buffer, std::int64_t count) {
    if (count <= 0 || FDiscarding || FTooLarge)
        return count;
    if (FMaxBody >= 0 && FBodyBytes + count > FMaxBody) {
        Refuse();
        return count;
    }
    FBodyBytes += count;
    const char* p = static_cast<const char*>(buffer);
    const std::size_t len = static_cast<std::size_t>(count);
    if (FHolding)
        Hold(p, len);
    else
        WriteAll(p, len);
    return count;
}

void TBodyOutput::Announce(std::int64_t bytes) {
    if (FMaxBody >= 0 && bytes > FMaxBody)
        Refuse();
}

void TBodyOutput::Refuse() {
    if (FTooLarge)
        return;
    FTooLarge = true;
    if (OnTooLarge)
        OnTooLarge();
}

void TBodyOutput::Hold(const char* data, std::size_t len) {
    if (FSpilled == 0 && static_cast<std::int64_t>(FHeld.size() + len) <= kHoldLimit) {
        FHeld.append(data, len);
        return;
    }
    if (!FSpill && !(FSpill = std::tmpfile())) { // removed when it is closed
        Failed(errno ? errno : EIO);
        return;
    }
    if (int error = WriteFully(::fileno(FSpill), data, len, FSpilled, true))
        Failed(error);
}

void TBodyOutput::WriteAll(const char* data, std::size_t len) {
    // After a failure the rest is dropped: the request is being stopped.
    if (FWriteError != 0)
        return;
    if (int error = WriteFully(FFd, data, len, FWritten, false))
        Failed(error);
}

void TBodyOutput::Failed(int error) {
    if (FWriteError != 0)
        return;
    FWriteError = error;
    if (OnWriteError)
        OnWriteError();
}

std::int64_t TBodyOutput::Seek(std::int64_t, TSeekOrigin) {
    // Writes always append; the position is the end.
    return Size();
}

void TBodyOutput::SetSize(std::int64_t size) {
    if (size >= FWritten) {
        // Cut back what is held: the spilled rest first, then memory.
        const std::int64_t keep = std::min(size - FWritten, Held());
        const std::int64_t inMemory = static_cast<std::int64_t>(FHeld.size());
        if (keep <= inMemory) {
            FHeld.resize(static_cast<std::size_t>(keep));
            FSpilled = 0;
        } else {
            FSpilled = keep - inMemory;
        }
        if (FSpill && ::ftruncate(::fileno(FSpill), FSpilled) != 0)
            Failed(errno);
        return;
    }
    // Written already: a file can be cut back, a pipe or terminal cannot.
    FHeld.clear();
    FSpilled = 0;
    if (FSpill && ::ftruncate(::fileno(FSpill), 0) != 0)
        Failed(errno);
    if (::ftruncate(FFd, size) == 0 && ::lseek(FFd, size, SEEK_SET) == size)
        FWritten = size;
}

TFileReadStream::~TFileReadStream() {
    if (FFd >= 0)
        ::close(FFd);
}

bool TFileReadStream::Open(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return false;
    }
    FFd = fd;
    FSize = st.st_size;
    FPos = 0;
    return true;
}

std::int64_t TFileReadStream::Read(void* buffer, std::int64_t count) {
    std::int64_t done = 0;
    char* p = static_cast<char*>(buffer);
    while (done < count) {
        ssize_t n = ::pread(FFd, p + done, static_cast<std::size_t>(count - done), FPos);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
        FPos += n;
    }
    return done;
}

std::int64_t TFileReadStream::Seek(std::int64_t offset, TSeekOrigin origin) {
    std::int64_t base = origin == TSeekOrigin::soBeginning ? 0
                        : origin == TSeekOrigin::soCurrent ? FPos
                                                           : FSize;
    FPos = std::clamp<std::int64_t>(base + offset, 0, FSize);
    return FPos;
}
