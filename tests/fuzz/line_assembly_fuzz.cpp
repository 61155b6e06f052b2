// Line assembly as the line-mode socket does it, fed a byte stream in
// arbitrary pieces: the same lines come out whatever the split (with and
// without editing), and with a limit the held bytes never grow past the
// limit plus one piece (as edited).
//
// Input: byte 0 picks the terminator and editing, byte 1 the piece size, the
// rest is the stream.
#include "net/socket/linebuffer.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct TResult {
    std::vector<std::string> Lines;
    std::string Held, Echo;
};

TResult Assemble(const std::uint8_t* data, size_t size, size_t piece, const std::string& lineEnd,
                 bool edit, int limit) {
    TLineBuffer buffer;
    TResult r;
    for (size_t pos = 0; pos < size; pos += piece) {
        const int n = static_cast<int>(std::min(piece, size - pos));
        std::memcpy(buffer.Reserve(n), data + pos, static_cast<size_t>(n));
        int from = buffer.Arrived(n, lineEnd, edit, r.Echo);
        if (from < 0)
            std::abort();
        for (int at; (at = buffer.Find(lineEnd, from)) >= 0; from = 0) {
            std::string line(static_cast<size_t>(at) + lineEnd.size(), '\0');
            if (buffer.Take(line.data(), static_cast<int>(line.size())) !=
                static_cast<int>(line.size()))
                std::abort();
            r.Lines.push_back(line);
        }
        if (limit > 0 && buffer.Len() > limit) {
            // Editing turns a tab into up to 8 blanks.
            if (buffer.Len() > limit + n * (edit ? 8 : 1))
                std::abort();
            buffer.Free();
        }
    }
    r.Held.assign(buffer.Data(), static_cast<size_t>(buffer.Len()));
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    static const char* const ends[] = {"\r\n", "\n", "<E>", "\r"};
    const std::string lineEnd = ends[data[0] % 4];
    const bool edit = (data[0] & 4) != 0;
    const size_t piece = 1 + data[1] % 32;
    data += 2;
    size -= 2;
    const TResult whole = Assemble(data, size, size + 1, lineEnd, edit, 0);
    const TResult split = Assemble(data, size, piece, lineEnd, edit, 0);
    if (whole.Lines != split.Lines || whole.Held != split.Held || whole.Echo != split.Echo)
        std::abort();
    for (const std::string& line : whole.Lines)
        if (line.size() < lineEnd.size() ||
            line.compare(line.size() - lineEnd.size(), lineEnd.size(), lineEnd) != 0)
            std::abort();
    Assemble(data, size, piece, lineEnd, edit, 16);
    return 0;
}
