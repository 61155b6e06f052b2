#include "net/http/httpcontcod.h"

#include "net/http/httpparse.h"

#include <cstdio>

std::vector<THttpContCodItem>& HttpContentCodings() {
    static std::vector<THttpContCodItem> codings{{"identity", 1.0, true}, {"*", 1.0, true}};
    return codings;
}

namespace {

// "0.###" with a "." whatever the locale.
std::string QualityText(double q) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", q);
    std::string s = buf;
    for (char& c : s)
        if (c == ',')
            c = '.';
    while (!s.empty() && s.back() == '0')
        s.pop_back();
    if (!s.empty() && s.back() == '.')
        s.pop_back();
    return s;
}

} // namespace

std::string THttpContCodHandler::HeaderText() const {
    if (!FEnabled)
        return std::string();
    std::string out;
    for (const THttpContCodItem& item : HttpContentCodings()) {
        if (!item.Enabled || item.Quality <= 0)
            continue;
        if (!out.empty())
            out += ", ";
        out += item.Name;
        if (FUseQuality)
            out += ";q=" + QualityText(item.Quality);
    }
    return out;
}

void THttpContCodHandler::Prepare(const std::string& contentEncoding) {
    FInputCount = 0;
    FOutputCount = 0;
    FDecoding = false;
    if (!FEnabled || TrimBlanks(contentEncoding).empty())
        return;
    // Every listed coding must be known; identity and "*" need no decoder, so
    // a known list leaves the bytes as they are.
    std::string rest = contentEncoding;
    bool allKnown = true;
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string name = LowerCase(TrimBlanks(rest.substr(0, comma)));
        rest = comma == std::string::npos ? std::string() : rest.substr(comma + 1);
        bool known = false;
        for (const THttpContCodItem& item : HttpContentCodings())
            known = known || LowerCase(item.Name) == name;
        allKnown = allKnown && known;
    }
    FDecoding = allKnown;
}

void THttpContCodHandler::WriteBuffer(const char* data, std::int64_t len) {
    if (len <= 0)
        return;
    FInputCount += len;
    FOutputCount += len;
    if (TStream* s = FStream ? FStream() : nullptr)
        s->Write(data, len);
    if (FOnData)
        FOnData(data, len);
}

void THttpContCodHandler::Complete() {}
