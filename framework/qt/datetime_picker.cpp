#include "framework/qt/datetime_picker.h"

#include <QKeyEvent>

#include <algorithm>
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

namespace {

// What a section takes when typed into: its number of digits and its range.
struct TSectionRule {
    int Digits = 0; // 0: not typed into here (left to the edit's own handling)
    int Min = 0;
    int Max = 0;
};

TSectionRule RuleOf(QDateTimeEdit::Section section) {
    switch (section) {
    case QDateTimeEdit::DaySection:
        return {2, 1, 31};
    case QDateTimeEdit::MonthSection:
        return {2, 1, 12};
    case QDateTimeEdit::YearSection:
        return {4, 100, 9999};
    case QDateTimeEdit::HourSection:
        return {2, 0, 23};
    case QDateTimeEdit::MinuteSection:
    case QDateTimeEdit::SecondSection:
        return {2, 0, 59};
    default:
        return {};
    }
}

bool IsModifierKey(int key) {
    switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Meta:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
        return true;
    default:
        return false;
    }
}

bool IsSeparator(const QString& text) {
    return text.size() == 1 && QStringLiteral(":./-").contains(text[0]);
}

} // namespace

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
    ResetTyping();
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

// One tab stop, as a Windows picker: Tab leaves it instead of stepping
// through its sections (Left and Right do that).
bool TDateTimePicker::focusNextPrevChild(bool next) {
    return QWidget::focusNextPrevChild(next);
}

void TDateTimePicker::keyPressEvent(QKeyEvent* event) {
    const QString text = event->text();
    const bool plain = !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier));
    if (plain && !isReadOnly() && RuleOf(currentSection()).Digits > 0) {
        if (text.size() == 1 && text[0].isDigit()) {
            TypeDigit(text[0].digitValue());
            event->accept();
            return;
        }
        if (IsSeparator(text)) {
            TypeSeparator();
            event->accept();
            return;
        }
    }
    // A modifier pressed on its own (Shift before ":") is part of typing.
    if (IsModifierKey(event->key())) {
        QDateTimeEdit::keyPressEvent(event);
        return;
    }
    // Any other key ends what was typed.
    CommitTyped();
    ResetTyping();
    // Left and Right move from section to section, not from character to
    // character.
    if (plain && (event->key() == Qt::Key_Left || event->key() == Qt::Key_Right)) {
        const int step = event->key() == Qt::Key_Right ? 1 : -1;
        MoveToSection(std::clamp(currentSectionIndex() + step, 0, sectionCount() - 1));
        event->accept();
        return;
    }
    QDateTimeEdit::keyPressEvent(event);
}

void TDateTimePicker::focusInEvent(QFocusEvent* event) {
    ResetTyping();
    QDateTimeEdit::focusInEvent(event);
}

void TDateTimePicker::focusOutEvent(QFocusEvent* event) {
    // A year typed with fewer than four digits counts once the picker is left.
    CommitTyped();
    ResetTyping();
    QDateTimeEdit::focusOutEvent(event);
}

void TDateTimePicker::TypeDigit(int digit) {
    const int index = currentSectionIndex();
    const QDateTimeEdit::Section section = sectionAt(index);
    const TSectionRule rule = RuleOf(section);
    FFilled = false;
    // Another section chosen meanwhile (a click): its digits start afresh.
    if (index != FTypedIndex)
        FTyped.clear();
    FTypedIndex = index;
    FTyped += QChar(u'0' + digit);
    const int value = FTyped.toInt();
    // Full when no further digit could give a value in range ("3" in the
    // hours can only be 3, "1" may still become 12); a year takes four.
    const bool full = FTyped.size() >= rule.Digits ||
                      (section != QDateTimeEdit::YearSection && value * 10 > rule.Max);
    if (full) {
        CommitTyped();
        if (index + 1 < sectionCount())
            MoveToSection(index + 1);
        FFilled = true;
        return;
    }
    // Shown at once, so the value is what was typed even if the picker is
    // read before the section is complete; a year waits for its digits.
    if (section != QDateTimeEdit::YearSection && value >= rule.Min) {
        SetSectionValue(section, value);
        MoveToSection(index);
    }
}

void TDateTimePicker::TypeSeparator() {
    // The separator after a section that filled itself is the one written
    // between the sections: the next section is already the current one.
    if (FFilled) {
        FFilled = false;
        return;
    }
    const int index = currentSectionIndex();
    CommitTyped();
    if (index + 1 < sectionCount())
        MoveToSection(index + 1);
}

void TDateTimePicker::CommitTyped() {
    if (FTyped.isEmpty())
        return;
    const QDateTimeEdit::Section section = sectionAt(FTypedIndex);
    const TSectionRule rule = RuleOf(section);
    int value = FTyped.toInt();
    // A year of one or two digits is taken as the years 1950 to 2049 hold it.
    if (section == QDateTimeEdit::YearSection && FTyped.size() <= 2)
        value += value < 50 ? 2000 : 1900;
    FTyped.clear();
    SetSectionValue(section, std::clamp(value, rule.Min, rule.Max));
}

void TDateTimePicker::SetSectionValue(QDateTimeEdit::Section section, int value) {
    const QDateTime shown = ToQDateTime(FDateTime);
    int year = shown.date().year(), month = shown.date().month(), day = shown.date().day();
    int hour = shown.time().hour(), minute = shown.time().minute(), second = shown.time().second();
    switch (section) {
    case QDateTimeEdit::DaySection:
        FTypedDay = value;
        break;
    case QDateTimeEdit::MonthSection:
        month = value;
        break;
    case QDateTimeEdit::YearSection:
        year = value;
        break;
    case QDateTimeEdit::HourSection:
        hour = value;
        break;
    case QDateTimeEdit::MinuteSection:
        minute = value;
        break;
    case QDateTimeEdit::SecondSection:
        second = value;
        break;
    default:
        return;
    }
    // The day typed stays wanted while month and year follow: "31" typed in
    // February is the 31st once "12" is typed as the month.
    if (FTypedDay > 0)
        day = FTypedDay;
    day = std::min(day, QDate(year, month, 1).daysInMonth());
    const int index = currentSectionIndex();
    setDateTime(QDateTime(QDate(year, month, day), QTime(hour, minute, second, shown.time().msec()),
                          Qt::UTC));
    setCurrentSectionIndex(index);
}

void TDateTimePicker::MoveToSection(int index) {
    setCurrentSectionIndex(index);
    setSelectedSection(sectionAt(index));
}

void TDateTimePicker::ResetTyping() {
    FTyped.clear();
    FTypedIndex = -1;
    FFilled = false;
    FTypedDay = 0;
}
