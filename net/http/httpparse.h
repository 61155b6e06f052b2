// The text rules of the HTTP client that need no connection: splitting a URL,
// naming the document, reading a status line and a header field, the date of
// "If-Modified-Since". THttpCli calls these; tests call them directly.
#pragma once

#include "framework/datetime.h"

#include <cstdint>
#include <string>

struct TUrlParts {
    std::string Proto;
    std::string User;
    std::string Pass;
    std::string Host;
    std::string Port;
    std::string Path; // keeps its leading "/" or "?"
};

// Splits `url`; `prevPath` serves the relative forms "./x" and "../x", which
// set only the path.
TUrlParts SplitUrl(const std::string& url, const std::string& prevPath = std::string());

// A byte below 32 or 127: CR and LF among them, which would end a header line.
bool HasControlChar(const std::string& text);
// Text of a URL that may go into a request line or a Host line: no control
// character and no blank, so nothing can end or add a header line.
bool IsWireSafe(const std::string& text);
// The same text with each blank written as "%20".
std::string EncodeBlanks(const std::string& text);
// The longest relocation target a client follows; past it a Location is not
// taken as one (each relative relocation adds to the last target).
constexpr std::size_t kMaxRelocationTarget = 64 * 1024;

// The last path segment of the document: cut at the first "?", at most 255
// characters; "document.htm" for an empty path or one ending in "/".
std::string ExtractDocumentName(const std::string& path);

// Reads a status line. Returns false when it is not "HTTP/1.0" or "HTTP/1.1"
// (exact case). `codeValid` is false when the three characters at the code's
// position are not three decimal digits.
struct TStatusLine {
    std::string Version; // "1.0" or "1.1"
    int Code = 0;
    std::string Reason;
    bool CodeValid = false;
};
bool ParseStatusLine(const std::string& line, TStatusLine& out);

// "Content-Length" value: the trimmed value as a non-negative 64-bit number,
// -1 when it is not one (also on overflow).
std::int64_t ParseContentLength(const std::string& value);

// What a "Transfer-Encoding" list (every such field of a response, in
// order, joined by ",") asks of its reader. The body is chunked when the
// last coding is "chunked"; `Unsupported` lists the codings left that the
// client cannot undo ("identity" and empty items leave nothing to undo),
// empty when there are none. Names are compared without regard to case.
struct TTransferCodings {
    bool Chunked = false;
    std::string Unsupported;
};
TTransferCodings ReadTransferCodings(const std::string& list);

// "Content-Range" value: "bytes 0-99/1234" gives "0" and "99" (the range
// starts at the seventh character; the end runs from the "-" to the "/").
void ParseContentRange(const std::string& value, std::string& begin, std::string& end);

// A header field line: name before the first ":" lower-cased (not trimmed),
// value after it with leading blanks skipped. False for a line without ":".
bool SplitHeaderField(const std::string& line, std::string& name, std::string& value);

// "Mon, 01 Jan 2024 12:00:00" (no zone name; the caller appends " GMT").
std::string HttpDateText(TDateTime dt);

std::string LowerCase(std::string s);
std::string TrimBlanks(const std::string& s);
