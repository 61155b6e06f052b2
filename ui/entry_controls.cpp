#include "ui/entry_controls.h"

#include "framework/qt/datetime_picker.h"
#include "framework/qt/qt_text.h"

#include <QComboBox>
#include <QLineEdit>

namespace {

void SelectItemWithText(QComboBox* combo, const std::string& text) {
    const int index = combo->findText(ToQString(text), Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0)
        combo->setCurrentIndex(index);
}

} // namespace

void TEntryControls::Load(const TLogbookData& r) const {
    DatePicker->SetDateTime(r.QsoDate);
    OraPicker->SetDateTime(r.QsoTime);
    EditIndicativ->setText(ToQString(r.Callsign));
    EditRX->setText(ToQString(r.Rx));
    EditTX->setText(ToQString(r.Tx));
    EditLocator->setText(ToQString(r.Locator));
    SelectItemWithText(BandCombo, r.Band);
    SelectItemWithText(ModCombo, r.Mode);
}

void TEntryControls::StoreInto(TLogbookData& r) const {
    r.QsoDate = DatePicker->DateTime();
    r.QsoTime = OraPicker->DateTime();
    r.Callsign = FromQString(EditIndicativ->text());
    r.Rx = FromQString(EditRX->text());
    r.Tx = FromQString(EditTX->text());
    r.Locator = FromQString(EditLocator->text());
    r.Band = FromQString(BandCombo->currentText());
    r.Mode = FromQString(ModCombo->currentText());
}
