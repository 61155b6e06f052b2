#include "tools/httpcli/streams.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

TBodyOutput::~TBodyOutput() {
    if (FOwnsFd && FFd >= 0)
        ::close(FFd);
}

bool TBodyOutput::Open(const std::string& path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    FFd = fd;
    FOwnsFd = true;
    return true;
}

void TBodyOutput::SetHolding(bool hold) {
    if (!hold)
        Flush();
    FHolding = hold;
}

void TBodyOutput::Flush() {
    std::string held;
    held.swap(FHeld);
    WriteAll(held.data(), held.size());
}

void TBodyOutput::WriteThrough(const std::string& bytes) {
    Flush();
    WriteAll(bytes.data(), bytes.size());
}

std::int64_t TBodyOutput::Write(const void* buffer, std::int64_t count) {
    if (count <= 0)
        return 0;
    const char* p = static_cast<const char*>(buffer);
    const std::size_t len = static_cast<std::size_t>(count);
    if (FHolding && static_cast<std::int64_t>(FHeld.size() + len) <= kHoldLimit) {
        FHeld.append(p, len);
        return count;
    }
    // Past the limit the body is taken for what it says it is and written.
    Flush();
    FHolding = false;
    WriteAll(p, len);
    return count;
}

void TBodyOutput::WriteAll(const char* data, std::size_t len) {
    // After a failure the rest is dropped: the request is being stopped.
    while (len > 0 && FWriteError == 0) {
        ssize_t n = ::write(FFd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            FWriteError = n < 0 ? errno : EIO;
            if (OnWriteError)
                OnWriteError();
            return;
        }
        data += n;
        len -= static_cast<std::size_t>(n);
        FWritten += n;
    }
}

std::int64_t TBodyOutput::Seek(std::int64_t, TSeekOrigin) {
    // Writes always append; the position is the end.
    return Size();
}

void TBodyOutput::SetSize(std::int64_t size) {
    if (size >= FWritten) {
        FHeld.resize(static_cast<std::size_t>(std::min(size - FWritten, Size() - FWritten)));
        return;
    }
    // Written already: a file can be cut back, a pipe or terminal cannot.
    FHeld.clear();
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
