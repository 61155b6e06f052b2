// The response header's text rules on one arbitrary line: the status line,
// a field's name and value, Content-Length (against a plain reference),
// Content-Range and a Transfer-Encoding list.
#include "net/http/httpparse.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

[[noreturn]] void Fail(const char* what, const std::string& line) {
    std::fprintf(stderr, "%s: [%s]\n", what, line.c_str());
    std::abort();
}

// A Content-Length value read the long way: blanks and control characters
// around it, then decimal digits only, no larger than the 64-bit maximum.
std::int64_t ReferenceLength(const std::string& value) {
    std::string v = TrimBlanks(value);
    if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    v.erase(0, v.find_first_not_of('0'));
    const std::string max = "9223372036854775807";
    if (v.size() > max.size() || (v.size() == max.size() && v > max))
        return -1;
    return v.empty() ? 0 : std::stoll(v);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);

    TStatusLine st;
    if (ParseStatusLine(line, st)) {
        if (st.Version != "1.0" && st.Version != "1.1")
            Fail("a version other than 1.0 and 1.1", line);
        if (st.CodeValid && (st.Code < 0 || st.Code > 999))
            Fail("a status code of more than three digits", line);
        if (!st.CodeValid && st.Code != 0)
            Fail("a code without valid digits", line);
    }

    std::string name, value;
    const bool field = SplitHeaderField(line, name, value);
    const std::size_t colon = line.find(':');
    if (field != (colon != std::string::npos))
        Fail("a field without a colon, or a colon without a field", line);
    if (field) {
        if (name != LowerCase(line.substr(0, colon)))
            Fail("a name that is not the text before the colon", line);
        // The value is the end of the line, with only blanks skipped.
        const std::string rest = line.substr(colon + 1);
        if (!rest.ends_with(value) ||
            rest.substr(0, rest.size() - value.size()).find_first_not_of(' ') != std::string::npos)
            Fail("a value that is not the rest of the line", line);
        if (ParseContentLength(value) != ReferenceLength(value))
            Fail("a Content-Length read differently", line);
        std::string begin, end;
        ParseContentRange(value, begin, end);
        if (value.find(begin) == std::string::npos || value.find(end) == std::string::npos)
            Fail("a range that is not in the value", line);
        // A Transfer-Encoding list: chunked only as its last coding, and
        // every other coding but identity named as one not undone.
        const TTransferCodings codings = ReadTransferCodings(value);
        const std::string lower = LowerCase(value);
        if (codings.Chunked && lower.find("chunked") == std::string::npos)
            Fail("chunked where the list has none", line);
        if (!codings.Unsupported.empty() && lower.find(codings.Unsupported) == std::string::npos &&
            codings.Unsupported.find(',') == std::string::npos)
            Fail("a coding not undone that the list does not name", line);
    }
    return 0;
}
