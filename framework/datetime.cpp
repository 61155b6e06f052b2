#include "framework/datetime.h"

#include "platform/win32/windows.h"

#include <cctype>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <langinfo.h>

namespace {

constexpr std::int64_t kMsPerDay = 86400000;

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
constexpr std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(y + (month <= 2));
}

// 1899-12-30 is day 0 of TDateTime.
constexpr std::int64_t kEpochOffset = DaysFromCivil(1899, 12, 30);

// Splits a value into whole days and milliseconds of the day, rounding to the
// nearest millisecond (a rounding up to midnight carries into the next day).
void Split(TDateTime dt, std::int64_t& days, std::int64_t& ms) {
    days = static_cast<std::int64_t>(std::floor(dt));
    ms = std::llround((dt - std::floor(dt)) * kMsPerDay);
    if (ms >= kMsPerDay) {
        ms -= kMsPerDay;
        ++days;
    }
}

std::string Pad(int value, int width) {
    std::string s = std::to_string(value);
    while (static_cast<int>(s.size()) < width)
        s.insert(s.begin(), '0');
    return s;
}

char SeparatorIn(const char* fmt, char fallback) {
    // The first character of a strftime-style format that is neither a
    // conversion nor a letter, e.g. "." in "%d.%m.%Y".
    if (!fmt)
        return fallback;
    for (const char* p = fmt; *p; ++p) {
        if (*p == '%') {
            if (p[1])
                ++p;
            continue;
        }
        if (!std::isalnum(static_cast<unsigned char>(*p)) && *p != ' ')
            return *p;
    }
    return fallback;
}

} // namespace

TFormatSettings& FormatSettings() {
    static TFormatSettings settings;
    return settings;
}

void InitFormatSettingsFromLocale() {
    std::setlocale(LC_TIME, "");
    auto& fs = FormatSettings();
    fs.DateSeparator = SeparatorIn(nl_langinfo(D_FMT), '/');
    fs.TimeSeparator = SeparatorIn(nl_langinfo(T_FMT), ':');
}

TDateTime EncodeDate(int year, int month, int day) {
    return static_cast<double>(
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
        kEpochOffset);
}

TDateTime EncodeTime(int hour, int minute, int second, int msec) {
    return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + msec) / kMsPerDay;
}

void DecodeDate(TDateTime dt, int& year, int& month, int& day) {
    std::int64_t days, ms;
    Split(dt, days, ms);
    CivilFromDays(days + kEpochOffset, year, month, day);
}

void DecodeTime(TDateTime dt, int& hour, int& minute, int& second, int& msec) {
    std::int64_t days, ms;
    Split(dt, days, ms);
    hour = static_cast<int>(ms / 3600000);
    minute = static_cast<int>(ms / 60000 % 60);
    second = static_cast<int>(ms / 1000 % 60);
    msec = static_cast<int>(ms % 1000);
}

int DayOfWeek(TDateTime dt) {
    std::int64_t days, ms;
    Split(dt, days, ms);
    // Day 0 (30 December 1899) was a Saturday.
    return static_cast<int>(((days % 7) + 7 + 6) % 7) + 1;
}

TDateTime SystemTimeToDateTime(const SYSTEMTIME& st) {
    return EncodeDate(st.wYear, st.wMonth, st.wDay) +
           EncodeTime(st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
}

TDateTime Now() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    return SystemTimeToDateTime(st);
}

std::string FormatDateTime(const std::string& pattern, TDateTime dt) {
    return FormatDateTime(pattern, dt, FormatSettings());
}

namespace {

// The fields of one value that a pattern can write.
struct TDateTimeFields {
    int Year, Month, Day, Hour, Minute, Second, Msec;
    bool TwelveHour; // the pattern holds an AM/PM marker
};

char Upper(char c) {
    return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

// `word` (upper case) stands at position i of the pattern, in any case.
bool StartsWithCI(const std::string& pattern, size_t i, const char* word) {
    for (size_t k = 0; word[k]; ++k)
        if (i + k >= pattern.size() || Upper(pattern[i + k]) != word[k])
            return false;
    return true;
}

bool HasAmPmMarker(const std::string& pattern) {
    for (size_t i = 0; i < pattern.size(); ++i)
        if (StartsWithCI(pattern, i, "AM/PM") || StartsWithCI(pattern, i, "A/P"))
            return true;
    return false;
}

// A run of `count` equal field letters `letter` (upper case); an "M" right
// after an hour letter is minutes.
std::string FormatField(char letter, size_t count, char previousLetter, const TDateTimeFields& f) {
    const int width = count >= 2 ? 2 : 1;
    switch (letter) {
    case 'D':
        return Pad(f.Day, width);
    case 'M':
        return Pad(previousLetter == 'H' ? f.Minute : f.Month, width);
    case 'Y':
        return count <= 2 ? Pad(f.Year % 100, 2) : Pad(f.Year, 4);
    case 'H':
        if (f.TwelveHour)
            return Pad(f.Hour % 12 == 0 ? 12 : f.Hour % 12, width);
        return Pad(f.Hour, width);
    case 'N':
        return Pad(f.Minute, width);
    case 'S':
        return Pad(f.Second, width);
    case 'Z':
        return Pad(f.Msec, count >= 3 ? 3 : 1);
    }
    return {};
}

bool IsFieldLetter(char upper) {
    return upper != 0 && std::string("DMYHNSZ").find(upper) != std::string::npos;
}

} // namespace

std::string FormatDateTime(const std::string& pattern, TDateTime dt, const TFormatSettings& fs) {
    TDateTimeFields f{};
    DecodeDate(dt, f.Year, f.Month, f.Day);
    DecodeTime(dt, f.Hour, f.Minute, f.Second, f.Msec);
    f.TwelveHour = HasAmPmMarker(pattern);

    std::string out;
    char previousLetter = 0;
    size_t i = 0;
    while (i < pattern.size()) {
        const char c = pattern[i];
        const char u = Upper(c);
        if (c == '"' || c == '\'') { // quoted text is copied as it stands
            size_t e = pattern.find(c, i + 1);
            if (e == std::string::npos)
                e = pattern.size();
            out += pattern.substr(i + 1, e - i - 1);
            i = e + 1;
        } else if (StartsWithCI(pattern, i, "AM/PM")) {
            out += f.Hour < 12 ? "AM" : "PM";
            i += 5;
        } else if (StartsWithCI(pattern, i, "A/P")) {
            out += f.Hour < 12 ? "A" : "P";
            i += 3;
        } else if (!IsFieldLetter(u)) {
            out += c == '/' ? fs.DateSeparator : c == ':' ? fs.TimeSeparator : c;
            ++i;
        } else {
            size_t n = 1;
            while (i + n < pattern.size() && Upper(pattern[i + n]) == u)
                ++n;
            out += FormatField(u, n, previousLetter, f);
            previousLetter = u;
            i += n;
        }
    }
    return out;
}

std::string TimeToStr(TDateTime dt) {
    return FormatDateTime(FormatSettings().LongTimeFormat, dt);
}
