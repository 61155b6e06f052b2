// Texts are 8-bit strings below the GUI; Qt holds Unicode. The conversion is
// done here only, byte for code point (the Windows ANSI page agrees with
// Latin-1 on every character the program writes).
#pragma once

#include <QString>

#include <string>

inline QString ToQString(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

inline std::string FromQString(const QString& text) {
    const QByteArray bytes = text.toLatin1();
    return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}
