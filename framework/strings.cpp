#include "framework/strings.h"

#include "framework/stream.h"

#include <algorithm>

int TStringList::Add(const std::string& line) {
    FLines.push_back(line);
    return Count() - 1;
}

void TStringList::Insert(int index, const std::string& line) {
    FLines.insert(FLines.begin() + std::clamp(index, 0, Count()), line);
}

void TStringList::Delete(int index) {
    if (index >= 0 && index < Count())
        FLines.erase(FLines.begin() + index);
}

int TStringList::IndexOf(const std::string& line) const {
    auto it = std::find(FLines.begin(), FLines.end(), line);
    return it == FLines.end() ? -1 : static_cast<int>(it - FLines.begin());
}

std::string TStringList::Text() const {
    std::string text;
    for (const auto& line : FLines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

void TStringList::SetText(const std::string& text) {
    FLines.clear();
    size_t i = 0;
    while (i < text.size()) {
        size_t e = text.find_first_of("\r\n", i);
        if (e == std::string::npos) {
            FLines.push_back(text.substr(i));
            break;
        }
        FLines.push_back(text.substr(i, e - i));
        i = (text[e] == '\r' && e + 1 < text.size() && text[e + 1] == '\n') ? e + 2 : e + 1;
    }
}

void TStringList::SaveToStream(TStream& stream) const {
    stream.Write(Text());
}
