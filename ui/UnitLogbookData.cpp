#include "ui/UnitLogbookData.h"

#include "ui_UnitLogbookData.h"

#include "framework/qt/qt_application.h"

TFormLogbookData* FormLogbookData = nullptr;

TFormLogbookData::TFormLogbookData(QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::TFormLogbookData>()) {
    ui->setupUi(this);
    AutoSizeLabels(this);
    SetDialogBorder(this);
    // Never enabled: the dialog shows, and returns, what was last put there.
    ui->DatePicker->SetDateTime(kQsoDialogStartValue);
    ui->OraPicker->SetDateTime(kQsoDialogStartValue);
    connect(ui->BOk, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->Button1, &QPushButton::clicked, this, &QDialog::reject);
}

TFormLogbookData::~TFormLogbookData() {
    if (FormLogbookData == this)
        FormLogbookData = nullptr;
}

TEntryControls TFormLogbookData::Fields() const {
    return TEntryControls::Of(*ui);
}
