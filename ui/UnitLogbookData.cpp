#include "ui/UnitLogbookData.h"

#include "ui_UnitLogbookData.h"

#include "framework/qt/qt_application.h"
#include "framework/qt/qt_text.h"

TFormLogbookData* FormLogbookData = nullptr;

namespace {

void SelectItemWithText(QComboBox* combo, const std::string& text) {
    int index = combo->findText(ToQString(text), Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0)
        combo->setCurrentIndex(index);
}

} // namespace

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

void TFormLogbookData::LoadRecord(const TLogbookData& r) {
    ui->DatePicker->SetDateTime(r.QsoDate);
    ui->OraPicker->SetDateTime(r.QsoTime);
    ui->EditIndicativ->setText(ToQString(r.Callsign));
    ui->EditRX->setText(ToQString(r.Rx));
    ui->EditTX->setText(ToQString(r.Tx));
    ui->EditLocator->setText(ToQString(r.Locator));
    SelectItemWithText(ui->BandCombo, r.Band);
    SelectItemWithText(ui->ModCombo, r.Mode);
}

void TFormLogbookData::StoreInto(TLogbookData& r) const {
    r.QsoDate = ui->DatePicker->DateTime();
    r.QsoTime = ui->OraPicker->DateTime();
    r.Callsign = FromQString(ui->EditIndicativ->text());
    r.Rx = FromQString(ui->EditRX->text());
    r.Tx = FromQString(ui->EditTX->text());
    r.Locator = FromQString(ui->EditLocator->text());
    r.Band = FromQString(ui->BandCombo->currentText());
    r.Mode = FromQString(ui->ModCombo->currentText());
}
