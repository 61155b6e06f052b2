// A date or time picker that keeps the exact date-time value it was given.
//
// The value is the program's date-time double; the picker shows it with its
// display pattern ("dd/MM/yyyy" for a date picker, "HH:mm:ss" for a time
// picker) and returns it unchanged, milliseconds and the part below a
// millisecond included. Only an edit by the operator changes the value: the
// edited fields are taken over, the parts the pattern does not show are kept.
//
// Like a Windows date-time picker it is one tab stop: Tab and Shift+Tab leave
// it, Left and Right move between its sections. Digits are typed the way dates
// and times are written: a section takes its digits until no further digit
// could make a valid value, then the next section is the one typed into; a
// separator (":" "." "/" "-") ends a section early, and right after a section
// that filled itself it is only the separator the operator would write there,
// so "12:05:00", "12.05.00" and "120500" all give 12:05:00.
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

protected:
    bool focusNextPrevChild(bool next) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void ShowValue();
    void OperatorEdited(const QDateTime& shown);
    // Typing: a digit into the current section, a separator, and the end of
    // what was typed into the section (the section's value is then set).
    void TypeDigit(int digit);
    void TypeSeparator();
    void CommitTyped();
    void SetSectionValue(QDateTimeEdit::Section section, int value);
    void MoveToSection(int index);
    void ResetTyping();

    TDateTime FDateTime = 0;
    bool FShowing = false;
    QString FTyped;       // digits typed into the current section so far
    int FTypedIndex = -1; // the section they were typed into
    bool FFilled = false; // the last section typed into filled itself
    int FTypedDay = 0;    // the day as typed, kept while month and year follow
};

// Conversions between the date-time double and Qt's date-time, to the
// millisecond.
QDateTime ToQDateTime(TDateTime value);
TDateTime FromQDate(const QDate& date);
TDateTime FromQTime(const QTime& time);
