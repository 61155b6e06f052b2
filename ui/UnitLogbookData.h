// The QSO dialog, through which contacts are also added and edited. Created
// once at start-up and reused: its controls keep their contents from one
// showing to the next.
#pragma once

#include "core/logbook_data.h"
#include "ui/entry_controls.h"

#include <QDialog>

#include <memory>

namespace Ui {
class TFormLogbookData;
}

class TFormLogbookData : public QDialog {
    Q_OBJECT
public:
    explicit TFormLogbookData(QWidget* parent = nullptr);
    ~TFormLogbookData() override;

    Ui::TFormLogbookData& Controls() { return *ui; }

    // The contact's controls, which contacts are loaded into and stored from.
    TEntryControls Fields() const;

private:
    std::unique_ptr<Ui::TFormLogbookData> ui;
};

// The date and time both pickers hold until something is loaded:
// 8 July 2011, 13:41:47.541.
constexpr TDateTime kQsoDialogStartValue = 40732.57068913194;

// The QSO dialog, created at start-up.
extern TFormLogbookData* FormLogbookData;
