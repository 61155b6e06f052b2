// A date or time picker that keeps the exact date-time value it was given.
//
// The value is the program's date-time double; the picker shows it with its
// display pattern ("dd/MM/yyyy" for a date picker, "HH:mm:ss" for a time
// picker) and returns it unchanged, milliseconds and the part below a
// millisecond included. Only an edit by the operator changes the value: the
// edited fields are taken over, the parts the pattern does not show are kept.
#pragma once

#include "framework/datetime.h"

#include <QDateTimeEdit>

#include <functional>

class TDateTimePicker : public QDateTimeEdit {
    Q_OBJECT
public:
    explicit TDateTimePicker(QWidget* parent = nullptr);

    TDateTime DateTime() const { return FDateTime; }
    void SetDateTime(TDateTime value);
    // The date of `value` with the picker's time of day kept.
    void SetDate(TDateTime value);

    // Told after the operator changed the value.
    std::function<void()> OnChange;

private:
    void ShowValue();
    void OperatorEdited(const QDateTime& shown);

    TDateTime FDateTime = 0;
    bool FShowing = false;
};

// Conversions between the date-time double and Qt's date-time, to the
// millisecond.
QDateTime ToQDateTime(TDateTime value);
TDateTime FromQDate(const QDate& date);
TDateTime FromQTime(const QTime& time);
