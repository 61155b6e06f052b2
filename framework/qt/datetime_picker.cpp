#include "framework/qt/datetime_picker.h"

#include <cmath>

QDateTime ToQDateTime(TDateTime value) {
    int year, month, day, hour, minute, second, msec;
    DecodeDate(value, year, month, day);
    DecodeTime(value, hour, minute, second, msec);
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second, msec), Qt::UTC);
}

TDateTime FromQDate(const QDate& date) {
    return EncodeDate(date.year(), date.month(), date.day());
}

TDateTime FromQTime(const QTime& time) {
    return EncodeTime(time.hour(), time.minute(), time.second(), time.msec());
}

TDateTimePicker::TDateTimePicker(QWidget* parent) : QDateTimeEdit(parent) {
    // Shown as given: local-time rules (daylight-saving gaps) must not move a
    // value that is a plain wall-clock reading.
    setTimeSpec(Qt::UTC);
    setMinimumDateTime(QDateTime(QDate(100, 1, 1), QTime(0, 0), Qt::UTC));
    setDisplayFormat(QStringLiteral("dd/MM/yyyy"));
    connect(this, &QDateTimeEdit::dateTimeChanged, this,
            [this](const QDateTime& shown) { OperatorEdited(shown); });
    ShowValue();
}

void TDateTimePicker::SetDateTime(TDateTime value) {
    FDateTime = value;
    ShowValue();
}

void TDateTimePicker::SetDate(TDateTime value) {
    const double timeOfDay = FDateTime - std::floor(FDateTime);
    SetDateTime(std::floor(value) + timeOfDay);
}

void TDateTimePicker::ShowValue() {
    FShowing = true;
    setDateTime(ToQDateTime(FDateTime));
    FShowing = false;
}

void TDateTimePicker::OperatorEdited(const QDateTime& shown) {
    if (FShowing)
        return;
    const QDateTimeEdit::Sections sections = displayedSections();
    const bool showsDate = sections & QDateTimeEdit::DateSections_Mask;
    const bool showsTime = sections & QDateTimeEdit::TimeSections_Mask;
    const double date = showsDate ? FromQDate(shown.date()) : std::floor(FDateTime);
    const double time = showsTime ? FromQTime(shown.time()) : FDateTime - std::floor(FDateTime);
    FDateTime = date + time;
    if (OnChange)
        OnChange();
}
