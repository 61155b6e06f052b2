// The date-time type: days since 30 December 1899 as a double, the fraction
// being the time of day; and its formatting to text.
#pragma once

#include <string>

using TDateTime = double;

struct TFormatSettings {
    char DateSeparator = '/';
    char TimeSeparator = ':';
    std::string LongTimeFormat = "hh:nn:ss";
    std::string ShortDateFormat = "dd/mm/yyyy";
};

// The process-wide regional settings used by FormatDateTime.
TFormatSettings& FormatSettings();
// Takes the date and time separators from the user's locale (LC_TIME).
void InitFormatSettingsFromLocale();

TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int msec);
void DecodeDate(TDateTime dt, int& year, int& month, int& day);
void DecodeTime(TDateTime dt, int& hour, int& minute, int& second, int& msec);
int DayOfWeek(TDateTime dt); // 1 = Sunday ... 7 = Saturday

// The current local date and time (GetLocalTime), to the millisecond.
TDateTime Now();

struct SYSTEMTIME;
// The date-time value of a system time, to the millisecond.
TDateTime SystemTimeToDateTime(const SYSTEMTIME& st);

// Pattern letters are read without regard to case: D/DD day, M/MM month (or
// minutes when M follows an hour letter), YY/YYYY year, H/HH hour, N/NN
// minutes, S/SS seconds, Z/ZZZ milliseconds, AM/PM or A/P for the 12-hour
// clock; "/" writes the date separator and ":" the time separator; text in
// double or single quotes and every other character is copied.
std::string FormatDateTime(const std::string& pattern, TDateTime dt);
std::string FormatDateTime(const std::string& pattern, TDateTime dt, const TFormatSettings& fs);
// The time in the long time format.
std::string TimeToStr(TDateTime dt);
