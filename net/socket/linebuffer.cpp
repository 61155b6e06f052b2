#include "net/socket/linebuffer.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>

namespace {

constexpr char Backspace = 8;
constexpr char Tab = 9;

} // namespace

char* TLineBuffer::Reserve(int n) {
    // Lines are taken from the front by moving a start offset; the held
    // bytes go back to the front only when room is needed, so taking many
    // short lines out of one read costs one move, not one per line.
    if (FStart > 0) {
        std::memmove(FData.data(), FData.data() + FStart, static_cast<size_t>(FLen));
        FStart = 0;
    }
    const size_t need = static_cast<size_t>(FLen) + static_cast<size_t>(std::max(n, 0)) + 1;
    if (FData.size() < need)
        FData.resize(need);
    return FData.data() + FLen;
}

void TLineBuffer::Added(int n) {
    FLen += std::max(n, 0);
    FData[static_cast<size_t>(FStart + FLen)] = 0;
}

void TLineBuffer::Append(const char* data, int n) {
    char* p = Reserve(n);
    std::memcpy(p, data, static_cast<size_t>(n));
    Added(n);
}

int TLineBuffer::Arrived(int n, const std::string& lineEnd, bool edit, std::string& echo) {
    const int old = FLen;
    Added(n);
    int changedFrom = old;
    if (edit && !Edit(old, lineEnd, echo, changedFrom))
        return -1;
    return std::max(0, std::min(changedFrom, FLen) - static_cast<int>(lineEnd.size()));
}

bool TLineBuffer::Edit(int from, const std::string& lineEnd, std::string& echo,
                       int& rewrittenFrom) {
    if (FStart > 0)
        Reserve(0);
    const std::string incoming(FData.data() + from, static_cast<size_t>(FLen - from));
    const std::string_view held(FData.data(), static_cast<size_t>(from));
    // Columns count from the end of the last complete line held.
    size_t lineStart = 0;
    if (!lineEnd.empty()) {
        size_t at = held.rfind(lineEnd);
        if (at != std::string_view::npos)
            lineStart = at + lineEnd.size();
    }
    rewrittenFrom = static_cast<int>(lineStart);
    std::string out;
    try {
        out.reserve(incoming.size() + 256);
        std::string current(held.substr(lineStart));
        for (char c : incoming) {
            if (c == Backspace) {
                if (!current.empty()) {
                    current.pop_back();
                    echo += "\b \b";
                }
                continue;
            }
            if (c == Tab) {
                size_t blanks = 8 - current.size() % 8;
                current.append(blanks, ' ');
                echo.append(blanks, ' ');
            } else {
                current += c;
                echo += c;
            }
            if (!lineEnd.empty() && current.size() >= lineEnd.size() &&
                current.compare(current.size() - lineEnd.size(), lineEnd.size(), lineEnd) == 0) {
                out += current;
                current.clear();
            }
        }
        out += current;
        // The held part of the current line is rewritten with the rest: a
        // backspace may have taken some of it back.
        FLen = static_cast<int>(lineStart);
        Reserve(static_cast<int>(out.size()));
        std::memcpy(FData.data() + FLen, out.data(), out.size());
        Added(static_cast<int>(out.size()));
    } catch (const std::bad_alloc&) {
        FLen = from;
        Reserve(static_cast<int>(incoming.size())); // the room was there before
        std::memcpy(FData.data() + FLen, incoming.data(), incoming.size());
        Added(static_cast<int>(incoming.size()));
        return false;
    }
    return true;
}

int TLineBuffer::Find(const std::string& lineEnd, int from) const {
    if (lineEnd.empty() || FLen == 0)
        return -1;
    std::string_view held(Data(), static_cast<size_t>(FLen));
    size_t at = held.find(lineEnd, static_cast<size_t>(std::clamp(from, 0, FLen)));
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

int TLineBuffer::Take(char* out, int size) {
    int n = std::clamp(size, 0, FLen);
    if (n > 0)
        std::memcpy(out, Data(), static_cast<size_t>(n));
    Remove(n);
    return n;
}

void TLineBuffer::Remove(int n) {
    n = std::clamp(n, 0, FLen);
    FStart += n;
    FLen -= n;
    if (FLen == 0)
        FStart = 0;
}

void TLineBuffer::Free() {
    std::vector<char>().swap(FData);
    FStart = 0;
    FLen = 0;
}
