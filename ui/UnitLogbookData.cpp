#include "ui/UnitLogbookData.h"

#include "framework/qt/qt_application.h"

TFormLogbookData* FormLogbookData = nullptr;

TFormLogbookData::TFormLogbookData(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("FormLogbookData"));
    setWindowTitle(QStringLiteral("FormLogbookData"));
    resize(716, 107);
    SetDialogBorder(this);
}

TFormLogbookData::~TFormLogbookData() {
    if (FormLogbookData == this)
        FormLogbookData = nullptr;
}
