#include "ui/Log.h"

#include "ui/Setari.h"
#include "ui/UnitLogbookData.h"
#include "ui/logbook_model.h"
#include "ui_Log.h"
#include "ui_Setari.h"

#include "core/settings.h"
#include "core/utc_clock.h"
#include "framework/qt/message_box.h"
#include "framework/qt/qt_application.h"
#include "framework/qt/qt_text.h"
#include "net/http/httpprot.h"
#include "upload/procedures.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QMenu>
#include <QShowEvent>
#include <QTimer>

TForm1* Form1 = nullptr;

namespace {

const char* const kVersionTitle = "QQ9XYZ Logbook v1.0.4.1 Beta";

// The entry row's colour while a listed contact is being edited.
const QColor kSkyBlue(166, 202, 240);

// The procedures reach the network through the window's own PostToServer.
TPostToServer PostThrough(TForm1& form) {
    return [&form](const TStringList& body, std::string& reply) {
        return form.PostToServer(body, reply);
    };
}

// Asked before closing with contacts that never reached the online log.
std::string UnsentQuestion(int unsent) {
    const std::string lost =
        unsent == 1 ? "1 QSO nu a fost trimis pe server (STATUS NO) si se pierde"
                    : std::to_string(unsent) +
                          " QSO-uri nu au fost trimise pe server (STATUS NO) si se pierd";
    return lost + " la iesire.\nIesiti oricum?";
}

} // namespace

// What the upload procedures see of the main window.
class TForm1::TView : public TUploadView {
public:
    explicit TView(TForm1& form) : F(form) {}

    void SetSummary(const std::string& text) override {
        F.ui->Memo1->setPlainText(ToQString(text));
    }
    void AppendStatus(const std::string& line) override { F.ui->Memo1->AddLine(ToQString(line)); }
    void AppendTrace(const std::string& line) override {
        F.ui->DebugMemo->AddLine(ToQString(line));
    }
    void ShowMessage(const std::string& text) override { ::ShowMessage(text); }
    // The settings dialog's box is read and written at the moment it matters.
    bool DemoMode() override { return Form2 && Form2->DemoMode(); }
    void SetDemoMode(bool on) override {
        if (Form2)
            Form2->SetDemoMode(on);
    }
    TUploadSettings UploadSettings() override {
        return {LogbookCallsign, UploadCode, F.StationCallsign};
    }
    void RefreshListView() override { F.RefreshListView(); }
    void ResetEntryAfterAdd() override {
        // A row showing a listed contact is no blank for the next one: were
        // it emptied, "Editeaza" would store the blanks into that contact.
        if (F.FShownRecord) {
            F.ReloadShownContact();
            return;
        }
        F.ReturnFocus();
        F.ClearEntryFields(TLocator::Keep);
    }
    void LoadQsoDialog(const TLogbookData& record) override {
        if (FormLogbookData)
            FormLogbookData->Fields().Load(record);
    }

private:
    TForm1& F;
};

TForm1::TForm1(QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::TForm1>()), FView(std::make_unique<TView>(*this)) {
    ui->setupUi(this);
    AutoSizeLabels(this);

    // The clock panels use a larger Tahoma; the status memo is bold blue.
    ui->Panel1->setFont(TahomaFont(21));
    ui->Panel2->setFont(TahomaFont(21));
    ui->Memo1->setFont(TahomaFont(11, true));
    QPalette memo = ui->Memo1->palette();
    memo.setColor(QPalette::Text, QColor(0, 0, 255));
    ui->Memo1->setPalette(memo);

    FListModel = new TLogbookListModel(FLogbook, this);
    ui->ListView1->setModel(FListModel);
    for (int c = 0; c < kLogbookColumnCount; ++c)
        ui->ListView1->header()->resizeSection(c, kLogbookColumns[c].Width);
    QPalette list = ui->ListView1->palette();
    list.setColor(QPalette::Base, SystemColor(TSystemColor::clCaptionText));
    list.setColor(QPalette::Text, SystemColor(TSystemColor::cl3DDkShadow));
    ui->ListView1->setPalette(list);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer2 = new QTimer(this);
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer2->setInterval(50);

    PopupMenuListView = new QMenu(this);
    PopupMenuListView->setObjectName(QStringLiteral("PopupMenuListView"));
    Adauga1 = PopupMenuListView->addAction(QStringLiteral("Adauga"));
    Adauga1->setObjectName(QStringLiteral("Adauga1"));
    Editeaza1 = PopupMenuListView->addAction(QStringLiteral("Editeaza"));
    Editeaza1->setObjectName(QStringLiteral("Editeaza1"));
    Sterge1 = PopupMenuListView->addAction(QStringLiteral("Sterge"));
    Sterge1->setObjectName(QStringLiteral("Sterge1"));
    UploadServer1 = PopupMenuListView->addAction(QStringLiteral("Upload Server"));
    UploadServer1->setObjectName(QStringLiteral("UploadServer1"));

    HttpCli1 = std::make_unique<THttpCli>();
    HttpCli1->SetName("HttpCli1");
    SetEntryColour(SystemColor(TSystemColor::clWindow));

    WireHandlers();
    RunGuarded([this] { FormCreate(); });
}

TForm1::~TForm1() {
    // Hidden while the logbook still exists: QWidget's own destructor would
    // close the window after the members are gone, and the list would lay
    // out its rows from a freed logbook.
    ui->ListView1->OnSelectItem = nullptr;
    hide();
    if (Form1 == this)
        Form1 = nullptr;
}

void TForm1::WireHandlers() {
    connect(Timer1, &QTimer::timeout, this, Guarded([this] { Timer1Timer(); }));
    connect(Timer2, &QTimer::timeout, this, Guarded([this] { Timer2Timer(); }));
    connect(ui->CloseBtn, &QPushButton::clicked, this, Guarded([this] { CloseBtnClick(); }));
    connect(ui->SetariBtn, &QPushButton::clicked, this, Guarded([this] { SetariBtnClick(); }));
    connect(ui->AdaugaBtn, &QPushButton::clicked, this, Guarded([this] { AdaugaBtnClick(); }));
    connect(ui->EditBtn, &QPushButton::clicked, this, Guarded([this] { EditBtnClick(); }));
    connect(ui->StergeBtn, &QPushButton::clicked, this, Guarded([this] { StergeBtnClick(); }));
    connect(Sterge1, &QAction::triggered, this, Guarded([this] { Sterge1Click(); }));
    connect(UploadServer1, &QAction::triggered, this, Guarded([this] { UploadServer1Click(); }));
    WireMenuAndWebButtons();
    connect(ui->ListView1, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        PopupMenuListView->popup(ui->ListView1->viewport()->mapToGlobal(pos));
    });
    ui->ListView1->OnSelectItem = [this](int row, bool selected) {
        RunGuarded([&] { ListView1SelectItem(row, selected); });
    };

    SetOnKeyPress(ui->DatePicker, DatePickerKeyPress);
    SetOnKeyPress(ui->OraPicker, OraPickerKeyPress);
    SetOnKeyPress(ui->BandCombo, BandComboKeyPress);
    SetOnKeyPress(ui->ModCombo, ModComboKeyPress);
    SetOnKeyPress(ui->EditIndicativ, EditIndicativKeyPress);
    SetOnKeyPress(ui->EditRX, EditRXKeyPress);
    SetOnKeyPress(ui->EditTX, EditTXKeyPress);
    SetOnKeyPress(ui->EditLocator, EditLocatorKeyPress);
}

void TForm1::FormCreate() {
    SetDialogBorder(this);
    Timer2->stop();
    VersionTitle = kVersionTitle;
    setWindowTitle(ToQString(VersionTitle));
    SelectedSnapshot = std::make_unique<TLogbookData>();
    CenterOnScreen(this);
    RealTimeMode = true;
    Timer1->setInterval(1000);
    Timer1->start();
    StationCallsign.clear();
    SetStartSettings();
    ClearEntryFields(TLocator::Keep);
    ui->BandCombo->setCurrentIndex(5); // "15m"
    ui->ModCombo->setCurrentIndex(4);  // "SSB"
    ui->Memo1->setPlainText(QStringLiteral("Ready"));
    ui->DebugMemo->clear();
    FormatSettings().LongTimeFormat = "hh:mm:ss";
    const TDateTime utc = UtcNow();
    ui->DatePicker->SetDate(utc);
    ui->OraPicker->SetDateTime(utc);
}

void TForm1::FormShow() {
    Timer2->setInterval(100);
    Timer2->start();
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous())
        RunGuarded([this] { FormShow(); });
}

void TForm1::Timer1Timer() {
    // One reading for the whole tick: read apart, a tick at UTC midnight gave
    // a contact the next day's date with 23:59:59.
    const TClockReading now = ReadClock();
    if (RealTimeMode) {
        ui->OraPicker->SetDateTime(now.Utc);
        ui->DatePicker->SetDateTime(now.Utc);
    }
    ui->Panel1->setText(ToQString(FormatDateTime("HH:MM:SS", now.Utc)));
    ui->Panel2->setText(ToQString(FormatDateTime("HH:MM:SS", now.Local)));
}

void TForm1::Timer2Timer() {
    Timer2->stop();
    if (StationCallsign.empty())
        Form2->Controls().Button4->setEnabled(false);
    SetariBtnClick();
}

void TForm1::CloseBtnClick() {
    close();
}

void TForm1::closeEvent(QCloseEvent* event) {
    // Nothing is written to disk: contacts the online log lacks go with the
    // window, so the operator is asked first. A second close while the
    // question is open waits for its answer.
    if (FAskingToClose) {
        event->ignore();
        return;
    }
    if (const int unsent = FLogbook.NotUploadedCount(); unsent > 0) {
        FAskingToClose = true;
        const bool closeAnyway = AskYesNo(UnsentQuestion(unsent));
        FAskingToClose = false;
        if (!closeAnyway) {
            event->ignore();
            return;
        }
    }
    event->accept();
    Application().Terminate();
    QCoreApplication::quit();
}

void TForm1::SetariBtnClick() {
    Ui::TForm2& dialog = Form2->Controls();
    if (!StationCallsign.empty())
        dialog.Button4->setEnabled(true);
    CenterOnScreen(Form2);
    if (ShowModal(Form2) != QDialog::Accepted)
        return;
    StationCallsign = FromQString(dialog.ComboBox1->currentText());
    UploadCode = FromQString(dialog.Edit2->text());
    const bool realTime = dialog.TimeBox->isChecked();
    // While a listed contact is being edited the pickers keep showing it:
    // following the clock now would stamp the time of the edit on the old
    // contact. Real time takes over when "Editeaza" ends the editing, which
    // reads the box again.
    if (!FShownRecord) {
        RealTimeMode = realTime;
        // Not reset here: in real-time mode the next clock tick sets them.
        ui->DatePicker->setEnabled(!RealTimeMode);
        ui->OraPicker->setEnabled(!RealTimeMode);
    }
    ReturnFocus();
    if (realTime)
        ui->Memo1->setPlainText(
            ToQString("Setare noua -> Indicativ: " + DisplayCallsign + " - Mod: Timp Real"));
    else
        ui->Memo1->setPlainText(ToQString("Setare noua -> Indicativ: " + DisplayCallsign +
                                          " - Upload Code: " + UploadCode + " - Mod: OFFILE"));
}

void TForm1::AdaugaBtnClick() {
    AppendContact(EntryRow());
}

void TForm1::AppendContact(const TEntryControls& source) {
    TLogbookData* record = FLogbook.NewRecord();
    // Rows are never removed: the count before appending numbers the contact.
    record->Id = FLogbook.Count();
    source.StoreInto(*record);
    record->Uploaded = 0;
    FLogbook.AppendRow(record);
    RefreshListView();
    UploadNewQso(*record);
}

TLogbookData* TForm1::RecordAt(int row) {
    return row >= 0 && row < FLogbook.Count() ? FLogbook.Row(row).Data : nullptr;
}

// Runs alike for the row losing the selection and the row gaining it, so
// after a click on another row the entry row holds the row clicked last.
void TForm1::ListView1SelectItem(int row, bool /*selected*/) {
    RealTimeMode = false;
    ui->EditBtn->setEnabled(true);
    ui->DatePicker->setEnabled(true);
    ui->OraPicker->setEnabled(true);
    const TDateTime utc = UtcNow();
    ui->DatePicker->SetDate(utc);
    ui->OraPicker->SetDateTime(utc);
    TLogbookData* record = RecordAt(row);
    if (!record)
        return;
    EntryRow().Load(*record);
    SetEntryColour(kSkyBlue);
    ui->AdaugaBtn->setEnabled(false);
    TakeSnapshot(*record, *SelectedSnapshot);
    FShownRecord = record;
}

TEntryControls TForm1::EntryRow() const {
    return TEntryControls::Of(*ui);
}

void TForm1::ReloadShownContact() {
    if (!FShownRecord)
        return;
    EntryRow().Load(*FShownRecord);
    TakeSnapshot(*FShownRecord, *SelectedSnapshot);
}

void TForm1::EditBtnClick() {
    if (TLogbookData* record = RecordAt(ui->ListView1->FirstSelectedRow())) {
        EntryRow().StoreInto(*record);
        RefreshListView();
        UploadEditedQso(EditKey(*record, *SelectedSnapshot), *record);
    }
    FShownRecord = nullptr;
    ui->EditBtn->setEnabled(false);
    ui->AdaugaBtn->setEnabled(true);
    ClearEntryFields(TLocator::Clear);
    SetEntryColour(SystemColor(TSystemColor::clWindow));
    // The real-time box is read now, whether or not the dialog was last
    // closed with OK.
    if (Form2 && Form2->Controls().TimeBox->isChecked()) {
        RealTimeMode = true;
        const TDateTime utc = UtcNow();
        ui->OraPicker->SetDateTime(utc);
        ui->DatePicker->SetDateTime(utc);
        ui->DatePicker->setEnabled(false);
        ui->OraPicker->setEnabled(false);
    }
    ReturnFocus();
}

void TForm1::StergeBtnClick() {
    ClearEntryFields(TLocator::Clear);
    ReturnFocus();
}

void TForm1::ClearEntryFields(TLocator locator) {
    ui->EditIndicativ->clear();
    ui->EditRX->setText(QStringLiteral("59"));
    ui->EditTX->setText(QStringLiteral("59"));
    if (locator == TLocator::Clear)
        ui->EditLocator->clear();
}

void TForm1::UploadServer1Click() {
    ResendQso(*FView, RecordAt(ui->ListView1->FirstSelectedRow()), PostThrough(*this));
}

void TForm1::Sterge1Click() {
    // Contacts cannot be deleted.
}

void TForm1::RefreshListView() {
    FLogbook.RefreshListView();
}

void TForm1::ReturnFocus() {
    ui->EditIndicativ->setFocus();
    if (!RealTimeMode)
        ui->DatePicker->setFocus();
}

void TForm1::SetEntryColour(const QColor& colour) {
    QWidget* const controls[] = {ui->DatePicker, ui->OraPicker, ui->EditIndicativ,
                                 ui->EditRX,     ui->EditTX,    ui->EditLocator,
                                 ui->BandCombo,  ui->ModCombo,  ui->QSLCheckBox};
    // Enabled controls only: a disabled one keeps the system's disabled
    // colours, whatever the state of the row.
    for (QWidget* control : controls) {
        QPalette palette = control->palette();
        for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
            palette.setColor(group, QPalette::Base, colour);   // edit fields and pickers
            palette.setColor(group, QPalette::Button, colour); // the closed drop-down lists
            palette.setColor(group, QPalette::Window, colour); // the check box's own area
        }
        control->setPalette(palette);
    }
    ui->QSLCheckBox->setAutoFillBackground(true);
}

void TForm1::ShowQsoSummary(const TLogbookData& record) {
    ::ShowQsoSummary(*FView, record);
}

bool TForm1::UploadNewQso(TLogbookData& record) {
    return ::UploadNewQso(*FView, record, PostThrough(*this));
}

void TForm1::UploadEditedQso(const TLogbookData& key, TLogbookData& changed) {
    ::UploadEditedQso(*FView, key, changed, PostThrough(*this));
}

bool TForm1::PostToServer(const TStringList& body, std::string& reply) {
    return ::PostToServer(body, reply, PostSettings);
}
