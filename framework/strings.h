// Text lists: an ordered list of lines.
#pragma once

#include <string>
#include <vector>

class TStream;

class TStringList {
public:
    int Count() const { return static_cast<int>(FLines.size()); }
    const std::string& operator[](int index) const { return FLines.at(static_cast<size_t>(index)); }
    std::string& operator[](int index) { return FLines.at(static_cast<size_t>(index)); }
    int Add(const std::string& line);
    void Insert(int index, const std::string& line);
    void Delete(int index);
    void Clear() { FLines.clear(); }
    int IndexOf(const std::string& line) const;
    const std::vector<std::string>& Lines() const { return FLines; }

    // Every line followed by CR LF.
    std::string Text() const;
    // Splits at CR LF, LF or CR; a final line break adds no empty line.
    void SetText(const std::string& text);
    // Writes Text() at the stream's position.
    void SaveToStream(TStream& stream) const;

private:
    std::vector<std::string> FLines;
};
