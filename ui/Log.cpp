#include "ui/Log.h"

#include "ui/Setari.h"
#include "ui/logbook_model.h"
#include "ui_Log.h"
#include "ui_Setari.h"

#include "core/settings.h"
#include "core/utc_clock.h"
#include "framework/qt/focus_navigation.h"
#include "framework/qt/message_box.h"
#include "framework/qt/qt_application.h"
#include "framework/qt/qt_text.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QMenu>
#include <QShowEvent>
#include <QTimer>

TForm1* Form1 = nullptr;

namespace {

const char* const kVersionTitle = "QQ9XYZ Logbook v1.0.4.1 Beta";

} // namespace

TForm1::TForm1(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::TForm1>()) {
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

    WireHandlers();
    RunGuarded([this] { FormCreate(); });
}

TForm1::~TForm1() {
    if (Form1 == this)
        Form1 = nullptr;
}

void TForm1::WireHandlers() {
    connect(Timer1, &QTimer::timeout, this, Guarded([this] { Timer1Timer(); }));
    connect(Timer2, &QTimer::timeout, this, Guarded([this] { Timer2Timer(); }));
    connect(ui->CloseBtn, &QPushButton::clicked, this, Guarded([this] { CloseBtnClick(); }));
    connect(ui->SetariBtn, &QPushButton::clicked, this, Guarded([this] { SetariBtnClick(); }));
    connect(Sterge1, &QAction::triggered, this, Guarded([this] { Sterge1Click(); }));
    connect(ui->ListView1, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        PopupMenuListView->popup(ui->ListView1->viewport()->mapToGlobal(pos));
    });
    ui->ListView1->OnSelectItem = [this](int row, bool selected) {
        ListView1SelectItem(row, selected);
    };

    SetOnKeyPress(ui->DatePicker, [this](QWidget* s, char& k) { DatePickerKeyPress(s, k); });
    SetOnKeyPress(ui->OraPicker, [this](QWidget* s, char& k) { OraPickerKeyPress(s, k); });
    SetOnKeyPress(ui->BandCombo, [this](QWidget* s, char& k) { BandComboKeyPress(s, k); });
    SetOnKeyPress(ui->ModCombo, [this](QWidget* s, char& k) { ModComboKeyPress(s, k); });
    SetOnKeyPress(ui->EditIndicativ, [this](QWidget* s, char& k) { EditIndicativKeyPress(s, k); });
    SetOnKeyPress(ui->EditRX, [this](QWidget* s, char& k) { EditRXKeyPress(s, k); });
    SetOnKeyPress(ui->EditTX, [this](QWidget* s, char& k) { EditTXKeyPress(s, k); });
    SetOnKeyPress(ui->EditLocator, [this](QWidget* s, char& k) { EditLocatorKeyPress(s, k); });
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
    ui->EditRX->setText(QStringLiteral("59"));
    ui->EditTX->setText(QStringLiteral("59"));
    ui->BandCombo->setCurrentIndex(5); // "15m"
    ui->ModCombo->setCurrentIndex(4);  // "SSB"
    ui->Memo1->setPlainText(QStringLiteral("Ready"));
    ui->DebugMemo->clear();
    ui->EditIndicativ->clear();
    FormatSettings().LongTimeFormat = "hh:mm:ss";
    ui->DatePicker->SetDate(UtcNow());
    ui->OraPicker->SetDateTime(UtcNow());
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
    if (RealTimeMode) {
        ui->OraPicker->SetDateTime(UtcNow());
        ui->DatePicker->SetDateTime(UtcNow());
    }
    ui->Panel1->setText(ToQString(FormatDateTime("HH:MM:SS", UtcNow())));
    ui->Panel2->setText(ToQString(FormatDateTime("HH:MM:SS", Now())));
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
    // Closing the main window ends the program at once, without a question.
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
    RealTimeMode = dialog.TimeBox->isChecked();
    // Not reset here: in real-time mode the next clock tick sets them.
    ui->DatePicker->setEnabled(!RealTimeMode);
    ui->OraPicker->setEnabled(!RealTimeMode);
    ui->EditIndicativ->setFocus();
    ui->Memo1->setPlainText(
        ToQString("Setare noua -> Indicativ: " + DisplayCallsign + " - Mod: Timp Real"));
    if (!RealTimeMode) {
        ui->DatePicker->setFocus();
        ui->Memo1->setPlainText(ToQString("Setare noua -> Indicativ: " + DisplayCallsign +
                                          " - Upload Code: " + UploadCode + " - Mod: OFFILE"));
    }
}

void TForm1::ListView1SelectItem(int /*row*/, bool /*selected*/) {
    // Loading the row into the entry row and the snapshot complete this with
    // contact entry.
    RealTimeMode = false;
    ui->EditBtn->setEnabled(true);
    ui->DatePicker->setEnabled(true);
    ui->OraPicker->setEnabled(true);
    ui->DatePicker->SetDate(UtcNow());
    ui->OraPicker->SetDateTime(UtcNow());
}

void TForm1::Sterge1Click() {
    // Contacts cannot be deleted.
}

void TForm1::DatePickerKeyPress(QWidget* sender, char& key) {
    EnterMovesToNextControl(sender, key);
}
void TForm1::OraPickerKeyPress(QWidget* sender, char& key) {
    EnterMovesToNextControl(sender, key);
}
void TForm1::BandComboKeyPress(QWidget* sender, char& key) {
    EnterMovesToNextControl(sender, key);
}
void TForm1::ModComboKeyPress(QWidget* sender, char& key) {
    EnterMovesToNextControl(sender, key);
}
void TForm1::EditIndicativKeyPress(QWidget* sender, char& key) {
    EnterMovesToNextControl(sender, key);
}
void TForm1::EditRXKeyPress(QWidget* sender, char& key) {
    EnterMovesToNextControl(sender, key);
}
void TForm1::EditTXKeyPress(QWidget* sender, char& key) {
    EnterMovesToNextControl(sender, key);
}
void TForm1::EditLocatorKeyPress(QWidget* sender, char& key) {
    EnterMovesToNextControl(sender, key);
}

void TForm1::RefreshListView() {
    FLogbook.RefreshListView();
}

void TForm1::ReturnFocus() {
    ui->EditIndicativ->setFocus();
    if (!RealTimeMode)
        ui->DatePicker->setFocus();
}
