// The eight controls a contact is typed into and shown in. The main window's
// entry row and the QSO dialog each have a set under the same names; what
// moves a contact into and out of them is written here once for both.
#pragma once

#include "core/logbook_data.h"

class QComboBox;
class QLineEdit;
class TDateTimePicker;

struct TEntryControls {
    TDateTimePicker* DatePicker;
    TDateTimePicker* OraPicker;
    QLineEdit* EditIndicativ;
    QLineEdit* EditRX;
    QLineEdit* EditTX;
    QLineEdit* EditLocator;
    QComboBox* BandCombo;
    QComboBox* ModCombo;

    // The set of a generated form, found by the controls' names.
    template <class TUi> static TEntryControls Of(const TUi& form) {
        return {form.DatePicker, form.OraPicker,   form.EditIndicativ, form.EditRX,
                form.EditTX,     form.EditLocator, form.BandCombo,     form.ModCombo};
    }

    // Puts a contact into the controls: both pickers take the whole values,
    // the lists select the item with the contact's text (a list without such
    // an item keeps its selection).
    void Load(const TLogbookData& record) const;
    // Overwrites the contact's date, time, callsign, reports, locator, band
    // and mode, in this order, from the controls; nothing else of it.
    void StoreInto(TLogbookData& record) const;
};
