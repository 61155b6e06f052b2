// The list's pop-up menu and the two web buttons of the main window.
#include "ui/Log.h"

#include "ui/UnitLogbookData.h"
#include "ui_Log.h"

#include "framework/qt/message_box.h"
#include "framework/qt/qt_application.h"
#include "upload/browser.h"
#include "upload/hosts.h"

#include <QDialog>

namespace {

// Places the dialog centred over the main window.
void CenterOver(QWidget* dialog, const QWidget* owner) {
    dialog->adjustSize();
    const QRect frame = owner->frameGeometry();
    dialog->move(frame.center() -
                 QPoint(dialog->frameGeometry().width() / 2, dialog->frameGeometry().height() / 2));
}

} // namespace

void TForm1::Adauga1Click() {
    // The dialog is neither cleared nor preset: it shows what it last held.
    FormLogbookData->setWindowTitle(QStringLiteral("Adaugare"));
    CenterOver(FormLogbookData, this);
    if (ShowModal(FormLogbookData) != QDialog::Accepted)
        return;
    AppendContact(FormLogbookData->Fields());
}

void TForm1::Editeaza1Click() {
    TLogbookData* record = RecordAt(ui->ListView1->FirstSelectedRow());
    if (!record)
        return;
    FormLogbookData->Fields().Load(*record);
    FormLogbookData->setWindowTitle(QStringLiteral("Editare"));
    CenterOver(FormLogbookData, this);
    if (ShowModal(FormLogbookData) != QDialog::Accepted)
        return;
    const TLogbookData key = EditKey(*record, *SelectedSnapshot);
    FormLogbookData->Fields().StoreInto(*record);
    RefreshListView();
    // The entry row must not hold the values from before the dialog: its
    // "Editeaza" would write them back.
    if (record == FShownRecord)
        ReloadShownContact();
    UploadEditedQso(key, *record);
}

void TForm1::WebLogBtnClick() {
    OpenInBrowser(LogPageAddress());
}

void TForm1::WebMapBtnClick() {
    OpenInBrowser(MapAddress());
}

void TForm1::WireMenuAndWebButtons() {
    connect(Adauga1, &QAction::triggered, this, Guarded([this] { Adauga1Click(); }));
    connect(Editeaza1, &QAction::triggered, this, Guarded([this] { Editeaza1Click(); }));
    // A double click on the list edits, like the menu's "Editeaza".
    connect(ui->ListView1, &QAbstractItemView::doubleClicked, this,
            Guarded([this] { Editeaza1Click(); }));
    connect(ui->WebLogBtn, &QPushButton::clicked, this, Guarded([this] { WebLogBtnClick(); }));
    connect(ui->WebMapBtn, &QPushButton::clicked, this, Guarded([this] { WebMapBtnClick(); }));
}
